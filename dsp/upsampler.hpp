#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dsp/sample_buffer.hpp"

struct UpsampleStage {
    int factor;
    int tapCount;
    const char* coefficientFile;
    int delay;  // in samples of the stage's output rate
};

inline constexpr std::array<UpsampleStage, 4> kUpsampleStages = {{
    {2, 256, "filter1.dat", 128},
    {3, 83, "filter2.dat", 41},
    {4, 69, "filter3.dat", 34},
    {6, 87, "filter4.dat", 43},
}};

// The factor of all four stages together: 144.
constexpr std::int64_t upsampleFactor() {
    std::int64_t product = 1;
    for (const UpsampleStage& stage : kUpsampleStages) {
        product *= stage.factor;
    }
    return product;
}

// The delay of the four filters together at the final rate: each stage's delay times the factors
// of the stages after it (10447). High-rate index j has the nominal time (j − delay)/(144 fs).
constexpr std::int64_t upsampleAlignmentDelay() {
    std::int64_t delay = 0;
    for (const UpsampleStage& stage : kUpsampleStages) {
        delay = delay * stage.factor + stage.delay;
    }
    return delay;
}

inline constexpr std::int64_t kUpsampleFactor = upsampleFactor();
inline constexpr std::int64_t kUpsampleAlignmentDelay = upsampleAlignmentDelay();
static_assert(kUpsampleFactor == 144 && kUpsampleAlignmentDelay == 10447);

// The taps of the four stages, read once before the dialogue starts.
struct CoefficientSet {
    std::array<std::vector<double>, 4> taps;
};

// Length of stage `stageIndex`'s output (0-based index) for an input of `inputLength` samples.
std::int64_t upsampleStageOutputLength(int stageIndex, std::int64_t inputLength);

// One interpolation stage over a whole signal: every kept sample scaled by the factor, convolved
// with the taps; the stream of dsp/upsample_stream run over it in one block. Takes the input
// over and releases it. The result equals the scatter convolution over the zero-stuffed input
// bit for bit, for any thread count.
SampleBuffer upsampleStage(int stageIndex, SampleBuffer input, const std::vector<double>& taps,
                           int threadCount);

// Length of the output of all four stages for an input of `inputLength` samples.
std::int64_t highRateLength(std::int64_t inputLength);

// All four stages in order over a whole signal; `afterStage(n)` (if given) is called when stage n
// (1..4) is done.
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
