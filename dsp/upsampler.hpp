#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dsp/buffer_reservation.hpp"
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

// One interpolation stage: every kept sample scaled by the factor, convolved with the taps.
// Takes the input over and releases it (progressively, for large inputs). The result equals
// the scatter convolution over the zero-stuffed input bit for bit, for any thread count.
SampleBuffer upsampleStage(int stageIndex, SampleBuffer input, const std::vector<double>& taps,
                           int threadCount);

// The same, writing its output to `output`, which holds upsampleStageOutputLength elements
// (every one is written).
void upsampleStageInto(int stageIndex, SampleBuffer input, const std::vector<double>& taps,
                       int threadCount, double* output);

// The same with the input held in the last `inputLength` elements of `buffer`, which has the
// output's length: the output takes the input's place. Does nothing when the sizes disagree.
void upsampleStageInPlace(int stageIndex, SampleBuffer& buffer, std::int64_t inputLength,
                          const std::vector<double>& taps, int threadCount);

// Length of the output of all four stages for an input of `inputLength` samples.
std::int64_t highRateLength(std::int64_t inputLength);

// All four stages in order; `afterStage(n)` (if given) is called when stage n (1..4) is done.
// The 144-fold buffer is the reserved one when there is one. Stage 3 writes its output into the
// end of that buffer, and stage 4 fills the buffer over it, so the two never take memory side
// by side.
template <typename AfterStage>
SampleBuffer upsampleFourStages(SampleBuffer filteredLateral, const CoefficientSet& coefficients,
                                int threadCount, AfterStage afterStage,
                                BufferReservation* reservation = nullptr) {
    SampleBuffer signal = std::move(filteredLateral);
    for (int stage = 0; stage < 2; ++stage) {
        signal = upsampleStage(stage, std::move(signal), coefficients.taps[stage], threadCount);
        afterStage(stage + 1);
    }
    const std::int64_t thirdLength =
        upsampleStageOutputLength(2, static_cast<std::int64_t>(signal.size()));
    const std::int64_t finalLength = upsampleStageOutputLength(3, thirdLength);
    SampleBuffer highRate;
    if (reservation != nullptr) {
        highRate = reservation->take();
    }
    if (highRate.size() != static_cast<std::size_t>(finalLength)) {
        highRate.release();
        highRate = SampleBuffer(static_cast<std::size_t>(finalLength));
    }
    upsampleStageInto(2, std::move(signal), coefficients.taps[2], threadCount,
                      highRate.data() + (finalLength - thirdLength));
    afterStage(3);
    upsampleStageInPlace(3, highRate, thirdLength, coefficients.taps[3], threadCount);
    afterStage(4);
    return highRate;
}
