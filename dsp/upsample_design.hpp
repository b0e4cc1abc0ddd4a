#pragma once

#include <array>
#include <cstdint>
#include <vector>

// The design of each upsampling stage: its factor, its number of taps, the file they are read
// from and its delay.
struct UpsampleStageDesign {
    int factor;
    int tapCount;
    const char* coefficientFile;
    int delay;  // in samples of the stage's output rate
};

inline constexpr std::array<UpsampleStageDesign, 4> kUpsampleStages = {{
    {2, 256, "filter1.dat", 128},
    {3, 83, "filter2.dat", 41},
    {4, 69, "filter3.dat", 34},
    {6, 87, "filter4.dat", 43},
}};

// The factor of all four stages together: 144.
constexpr std::int64_t upsampleFactor() {
    std::int64_t product = 1;
    for (const UpsampleStageDesign& stage : kUpsampleStages) {
        product *= stage.factor;
    }
    return product;
}

// The delay of the four filters together at the final rate: each stage's delay times the factors
// of the stages after it (10447). High-rate index j has the nominal time (j − delay)/(144 fs).
constexpr std::int64_t upsampleAlignmentDelay() {
    std::int64_t delay = 0;
    for (const UpsampleStageDesign& stage : kUpsampleStages) {
        delay = delay * stage.factor + stage.delay;
    }
    return delay;
}

inline constexpr std::int64_t kUpsampleFactor = upsampleFactor();
inline constexpr std::int64_t kUpsampleAlignmentDelay = upsampleAlignmentDelay();
static_assert(kUpsampleFactor == 144 && kUpsampleAlignmentDelay == 10447);

// The taps of the four stages, read once before any processing starts.
struct CoefficientSet {
    std::array<std::vector<double>, 4> taps;
};
