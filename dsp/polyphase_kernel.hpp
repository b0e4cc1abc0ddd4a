#pragma once

#include <cstdint>

// One term of a polyphase sum: the tap and the position of its sample relative to the newest
// kept sample of the output (0 for the newest, negative for older ones).
struct PhaseTerm {
    std::int64_t offset;
    double tap;
};

// Outputs computed side by side by the lane kernels.
inline constexpr int kLanes = 16;

// For each term in order and each lane w: acc[w] = stored(acc[w] + tap * newest[offset + w]),
// the product and the sum formed in extended precision, the sum rounded to double each time.
// The lanes are independent, so their sums are those of the plain one-output-at-a-time loop.
void accumulateLanes(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                     double* acc);

using LaneKernel = void (*)(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                            double* acc);

// The faster of the kernels this processor can run, by a short measurement; accumulateLanes
// measures once, on first use, and keeps to its choice.
LaneKernel fastestLaneKernel();

// Makes accumulateLanes use `kernel` from now on (nullptr: the measured choice again). All
// kernels give the same sums; this is for comparing them through the whole chain.
void useLaneKernel(LaneKernel kernel);

// The x87 form, and the AVX-512 form for processors that have it.
void accumulateLanesX87(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                        double* acc);
void accumulateLanesAvx512(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                           double* acc);

// The same in plain C++; the yardstick for the fast kernel and the path for odd cases.
void accumulateLanesPortable(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                             double* acc);

// Puts the x87 unit into the state the chain is defined in (64-bit significand, round to
// nearest, every exception masked) for the life of the object, and restores it afterwards.
class ExtendedPrecisionScope {
  public:
    ExtendedPrecisionScope();
    ~ExtendedPrecisionScope();
    ExtendedPrecisionScope(const ExtendedPrecisionScope&) = delete;
    ExtendedPrecisionScope& operator=(const ExtendedPrecisionScope&) = delete;

  private:
    std::uint16_t saved_ = 0;
};
