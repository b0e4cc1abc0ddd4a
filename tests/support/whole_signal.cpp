#include "tests/support/whole_signal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "dsp/block.hpp"
#include "dsp/mid_side.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/tracking_stage.hpp"
#include "dsp/tracking_stage_impl.hpp"
#include "dsp/upsample_stage.hpp"

namespace {

SampleBuffer bufferFrom(const SampleBlock& block) {
    SampleBuffer buffer(block.size());
    std::copy(block.begin(), block.end(), buffer.begin());
    return buffer;
}

std::span<const double> firstValues(const SampleBuffer& buffer, std::size_t count) {
    return {buffer.data(), std::min(count, buffer.size())};
}

SampleBuffer runLateralFilter(SampleBuffer input, int sampleRate, LateralDirection direction) {
    LateralFilter filter(sampleRate, direction);
    SampleBlock output;
    filter.process(input, output);
    filter.finish(output);
    return bufferFrom(output);
}

// A high-rate signal held whole, as a source for the interpolation pass.
class HeldHighRateSignal {
  public:
    HeldHighRateSignal(const double* samples, std::int64_t length)
        : samples_(samples), length_(length) {}

    bool ready(std::int64_t n) const { return n >= 0 && n < length_; }
    double at(std::int64_t n) const { return samples_[n]; }
    void form(std::int64_t first, std::int64_t count, double* out) const {
        std::copy_n(samples_ + first, count, out);
    }
    // The largest of the samples held.
    double bound(std::int64_t first, std::int64_t last) const {
        double largest = 0.0;
        for (std::int64_t n = first; n <= last; ++n) {
            const double magnitude = std::fabs(samples_[n]);
            if (!(magnitude <= largest)) {
                largest =
                    std::isfinite(magnitude) ? magnitude : std::numeric_limits<double>::infinity();
            }
        }
        return largest;
    }
    void releaseBefore(std::int64_t) {}

  private:
    const double* samples_;
    std::int64_t length_;
};

}  // namespace

template class TrackingStage<HeldHighRateSignal>;

MidSideComponents convertToMidSide(const std::vector<std::int16_t>& inputSamples,
                                   std::int32_t frameCount) {
    const std::size_t frames = frameCount > 0 ? static_cast<std::size_t>(frameCount) : 0;
    const std::vector<double> interleaved(inputSamples.begin(),
                                          inputSamples.begin() + static_cast<long>(2 * frames));
    MidSideSplit split(2);
    SampleBlock mid;
    SampleBlock side;
    split.process(interleaved, mid, side);
    split.finish(mid, side);
    return {bufferFrom(mid), bufferFrom(side)};
}

StereoOutput convertToLeftRight(const SampleBuffer& restoredLateral,
                                const SampleBuffer& sideComponent, std::int32_t frameCount) {
    const std::size_t frames = frameCount > 0 ? static_cast<std::size_t>(frameCount) : 0;
    LeftRightJoin join(2);
    SampleBlock stereo;
    join.process(firstValues(restoredLateral, frames), firstValues(sideComponent, frames), stereo);
    join.finish(stereo);
    StereoOutput result{bufferFrom(stereo), 0.0};
    for (const double value : stereo) {
        if (std::fabs(value) > result.peakMagnitude) {
            result.peakMagnitude = std::fabs(value);
        }
    }
    return result;
}

SampleBuffer filterLateral(SampleBuffer midComponent, int sampleRate) {
    return runLateralFilter(std::move(midComponent), sampleRate, LateralDirection::Recording);
}

SampleBuffer inverseFilterLateral(SampleBuffer distortedLateral, int sampleRate) {
    return runLateralFilter(std::move(distortedLateral), sampleRate, LateralDirection::Playback);
}

std::int64_t upsampleStageOutputLength(int stageIndex, std::int64_t inputLength) {
    if (stageIndex < 0 || stageIndex >= static_cast<int>(kUpsampleStages.size()) ||
        inputLength < 0) {
        return 0;
    }
    const UpsampleStageDesign& stage = kUpsampleStages[static_cast<std::size_t>(stageIndex)];
    return stage.factor * inputLength + stage.tapCount;
}

std::int64_t highRateLength(std::int64_t inputLength) {
    std::int64_t length = inputLength;
    for (int stage = 0; stage < static_cast<int>(kUpsampleStages.size()); ++stage) {
        length = upsampleStageOutputLength(stage, length);
    }
    return length;
}

SampleBuffer upsampleStage(int stageIndex, SampleBuffer input, const std::vector<double>& taps,
                           int threadCount) {
    if (stageIndex < 0 || stageIndex >= static_cast<int>(kUpsampleStages.size())) {
        return SampleBuffer();
    }
    UpsampleStage stage(stageIndex, taps, threadCount);
    SampleBlock output;
    output.reserve(static_cast<std::size_t>(
        upsampleStageOutputLength(stageIndex, static_cast<std::int64_t>(input.size()))));
    stage.process(input, output);
    input.release();
    stage.finish(output);
    return bufferFrom(output);
}

SampleBuffer calculateInterpolatedOutput(SampleBuffer highRateLateral, std::int32_t frameCount,
                                         double fullScaleLateralAmplitude,
                                         const GrooveGeometry& geometry, int threadCount) {
    const std::int64_t frames = std::max<std::int32_t>(frameCount, 0);
    // The pass reads the last stage's stuffed length, limited to the signal handed over.
    const std::int64_t length = static_cast<std::int64_t>(highRateLateral.size());
    const std::int64_t readable =
        std::min(highRateLength(frames) - kUpsampleStages.back().tapCount, length);
    HeldHighRateSignal source(highRateLateral.data(), length);
    TrackingSettings settings;
    settings.fullScaleLateralAmplitude = fullScaleLateralAmplitude;
    settings.geometry = geometry;
    settings.threadCount = threadCount;
    TrackingStage<HeldHighRateSignal> pass(settings, source);
    SampleBlock distorted;
    distorted.reserve(static_cast<std::size_t>(frames));
    pass.finish(readable, frames, distorted);
    return bufferFrom(distorted);
}
