#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "dsp/disc_parameters.hpp"
#include "dsp/upsample_design.hpp"
#include "engine/streaming_chain.hpp"
#include "wave/output_quantiser.hpp"
#include "wave/wave_info.hpp"

// The steps of the chain that the user sees announced, in their order.
enum class ChainStep {
    MidSide,
    Filtering,
    Upsampling,
    Interpolation,
    InverseFiltering,
    LeftRight,
};

inline constexpr std::array<ChainStep, 6> kChainSteps = {
    ChainStep::MidSide,       ChainStep::Filtering,        ChainStep::Upsampling,
    ChainStep::Interpolation, ChainStep::InverseFiltering, ChainStep::LeftRight,
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

// From the loaded 16-bit stereo samples to the output samples of a whole file held in memory.
// The steps run side by side over the stream, so each is announced as started before any runs,
// and each is reported finished, in order, once the last frame is through all of them: nothing
// is reported done before its work is. `progress` hears of every step's start and end, and of
// each upsampling stage's end.
template <typename Progress>
ChainResult runSignalChain(std::vector<std::int16_t> inputSamples, const WaveInfo& info,
                           const DiscParameters& discParameters, const CoefficientSet& coefficients,
                           int threadCount, Progress& progress) {
    const std::int64_t frames = std::max<std::int64_t>(info.frameCount, 0);
    progress.starting(kChainSteps.front());

    ChainSettings settings;
    settings.sampleRate = info.sampleRate;
    settings.disc = discParameters;
    settings.coefficients = &coefficients;
    settings.threadCount = threadCount;
    StreamingChain chain(settings);
    SampleBuffer stereoOutput(static_cast<std::size_t>(2 * frames));
    std::int64_t made = 0;
    constexpr std::int64_t kPiece = 16384;
    std::vector<double> piece(2 * kPiece);
    for (std::int64_t at = 0; at < frames; at += kPiece) {
        const std::int64_t count = std::min(kPiece, frames - at);
        std::copy_n(inputSamples.begin() + 2 * at, 2 * count, piece.begin());
        chain.pushFrames(piece.data(), count);
        made += chain.pullFrames(stereoOutput.data() + 2 * made, frames - made);
    }
    std::vector<std::int16_t>().swap(inputSamples);
    chain.finish();
    made += chain.pullFrames(stereoOutput.data() + 2 * made, frames - made);

    for (std::size_t step = 0; step < kChainSteps.size(); ++step) {
        if (step > 0) {
            progress.starting(kChainSteps[step]);
        }
        if (kChainSteps[step] == ChainStep::Upsampling) {
            for (int stage = 1; stage <= static_cast<int>(kUpsampleStages.size()); ++stage) {
                progress.stageFinished(stage);
            }
        }
        progress.finished(kChainSteps[step]);
    }

    ChainResult result;
    result.outputGain = chooseOutputGain(chain.peakMagnitude());
    result.outputSamples = quantiseOutput(std::move(stereoOutput), result.outputGain);
    return result;
}
