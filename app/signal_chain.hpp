#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "dsp/disc_parameters.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/mid_side.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/tracking_error.hpp"
#include "dsp/upsampler.hpp"
#include "wave/wave_info.hpp"
#include "wave/wave_writer.hpp"

// The steps of the chain that the user sees announced, in their order.
enum class ChainStep {
    MidSide,
    Filtering,
    Upsampling,
    Interpolation,
    InverseFiltering,
    LeftRight,
};

struct ChainResult {
    std::vector<std::int16_t> outputSamples;  // 2N dithered samples, left then right
    double outputGain = 1.0;
};

// Tells nobody anything: for runs without a screen.
struct SilentProgress {
    void starting(ChainStep) {}
    void finished(ChainStep) {}
    void stageFinished(int) {}
};

// From the loaded samples to the output samples. Each stage takes its input buffer over and the
// buffer is gone once the stage has consumed it. `progress` hears of every step as it starts
// and ends, and of each upsampling stage as it ends. `reservation`, if given, holds the memory of
// the 144-fold signal, made while the user answered.
template <typename Progress>
ChainResult runSignalChain(std::vector<std::int16_t> inputSamples, const WaveInfo& info,
                           const DiscParameters& discParameters, const CoefficientSet& coefficients,
                           int threadCount, Progress& progress,
                           BufferReservation* reservation = nullptr) {
    const std::int32_t frameCount = info.frameCount;

    progress.starting(ChainStep::MidSide);
    MidSideComponents components = convertToMidSide(std::move(inputSamples), frameCount);
    progress.finished(ChainStep::MidSide);

    progress.starting(ChainStep::Filtering);
    SampleBuffer filteredLateral =
        filterLateral(std::move(components.midComponent), info.sampleRate);
    progress.finished(ChainStep::Filtering);

    progress.starting(ChainStep::Upsampling);
    SampleBuffer highRateLateral = upsampleFourStages(
        std::move(filteredLateral), coefficients, threadCount,
        [&progress](int stage) { progress.stageFinished(stage); }, reservation);
    progress.finished(ChainStep::Upsampling);

    progress.starting(ChainStep::Interpolation);
    const GrooveGeometry geometry = deriveGrooveGeometry(discParameters, info.sampleRate);
    SampleBuffer distortedLateral = calculateInterpolatedOutput(
        std::move(highRateLateral), frameCount, discParameters.fullScaleLateralAmplitude, geometry,
        threadCount);
    progress.finished(ChainStep::Interpolation);

    progress.starting(ChainStep::InverseFiltering);
    SampleBuffer restoredLateral =
        inverseFilterLateral(std::move(distortedLateral), info.sampleRate);
    progress.finished(ChainStep::InverseFiltering);

    progress.starting(ChainStep::LeftRight);
    StereoOutput stereo = convertToLeftRight(restoredLateral, components.sideComponent, frameCount);
    progress.finished(ChainStep::LeftRight);
    restoredLateral.release();
    components.sideComponent.release();

    ChainResult result;
    result.outputGain = chooseOutputGain(stereo.peakMagnitude);
    result.outputSamples = quantiseOutput(std::move(stereo.stereoOutput), result.outputGain);
    return result;
}
