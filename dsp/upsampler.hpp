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

// The taps of the four stages, read once before the dialogue starts.
struct CoefficientSet {
    std::array<std::vector<double>, 4> taps;
};

// Length of stage `stageIndex`'s output (0-based index) for an input of `inputLength` samples.
std::int64_t upsampleStageOutputLength(int stageIndex, std::int64_t inputLength);

// One interpolation stage: every kept sample scaled by the factor, convolved with the taps.
// Takes the input over and releases it (progressively, for large inputs). The result equals
// the scatter convolution over the zero-stuffed input bit for bit, for any thread count. The
// result goes into `storage` when that has the output's length (every element is written), and
// into a new buffer otherwise.
SampleBuffer upsampleStage(int stageIndex, SampleBuffer input, const std::vector<double>& taps,
                           int threadCount, SampleBuffer storage = SampleBuffer());

// Length of the output of all four stages for an input of `inputLength` samples.
std::int64_t highRateLength(std::int64_t inputLength);

// All four stages in order; `afterStage(n)` (if given) is called when stage n (1..4) is done.
// The last stage writes into the reserved buffer when there is one.
template <typename AfterStage>
SampleBuffer upsampleFourStages(SampleBuffer filteredLateral, const CoefficientSet& coefficients,
                                int threadCount, AfterStage afterStage,
                                BufferReservation* reservation = nullptr) {
    SampleBuffer signal = std::move(filteredLateral);
    for (int stage = 0; stage < 4; ++stage) {
        SampleBuffer storage;
        if (stage == 3 && reservation != nullptr) {
            storage = reservation->take();
        }
        signal = upsampleStage(stage, std::move(signal), coefficients.taps[stage], threadCount,
                               std::move(storage));
        afterStage(stage + 1);
    }
    return signal;
}
