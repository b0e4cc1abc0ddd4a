#pragma once

// The chain's stages run over whole signals, one stage at a time, each in a single block: for the
// tests that look at one stage alone.

#include <cstdint>
#include <utility>
#include <vector>

#include "dsp/groove_geometry.hpp"
#include "dsp/sample_buffer.hpp"
#include "dsp/upsample_design.hpp"

struct MidSideComponents {
    SampleBuffer midComponent;   // (L + R) / 2: the lateral modulation component
    SampleBuffer sideComponent;  // (L - R) / 2: passes the chain untouched
};

// The interleaved left/right samples of `frameCount` frames into their components.
MidSideComponents convertToMidSide(const std::vector<std::int16_t>& inputSamples,
                                   std::int32_t frameCount);

struct StereoOutput {
    SampleBuffer stereoOutput;  // 2N values, left at 2i, right at 2i + 1, not yet scaled
    double peakMagnitude = 0.0;
};

// The restored lateral component joined with the side component, and the largest magnitude
// among the stored values, left before right.
StereoOutput convertToLeftRight(const SampleBuffer& restoredLateral,
                                const SampleBuffer& sideComponent, std::int32_t frameCount);

// The lateral filter and its inverse over a whole signal.
SampleBuffer filterLateral(SampleBuffer midComponent, int sampleRate);
SampleBuffer inverseFilterLateral(SampleBuffer distortedLateral, int sampleRate);

// Length of stage `stageIndex`'s output (0-based index) for an input of `inputLength` samples.
std::int64_t upsampleStageOutputLength(int stageIndex, std::int64_t inputLength);

// Length of the output of all four stages for an input of `inputLength` samples.
std::int64_t highRateLength(std::int64_t inputLength);

// One upsampling stage pushed over a whole signal, every output made.
SampleBuffer upsampleStage(int stageIndex, SampleBuffer input, const std::vector<double>& taps,
                           int threadCount);

// All four stages in order over a whole signal; `afterStage(n)` is called when stage n (1..4) is
// done.
template <typename AfterStage>
SampleBuffer upsampleFourStages(SampleBuffer filteredLateral, const CoefficientSet& coefficients,
                                int threadCount, AfterStage afterStage) {
    SampleBuffer signal = std::move(filteredLateral);
    for (int stage = 0; stage < static_cast<int>(kUpsampleStages.size()); ++stage) {
        signal = upsampleStage(stage, std::move(signal), coefficients.taps[stage], threadCount);
        afterStage(stage + 1);
    }
    return signal;
}

// The high-rate index that lines up with input sample 0.
inline constexpr std::int32_t kAlignmentDelay = static_cast<std::int32_t>(kUpsampleAlignmentDelay);

// The interpolation pass over a high-rate signal held whole, read as far as the last stage's
// stuffed length for `frameCount` frames reaches; returns `frameCount` values.
SampleBuffer calculateInterpolatedOutput(SampleBuffer highRateLateral, std::int32_t frameCount,
                                         double fullScaleLateralAmplitude,
                                         const GrooveGeometry& geometry, int threadCount);
