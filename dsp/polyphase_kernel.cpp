#include "dsp/polyphase_kernel.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <vector>

#include "dsp/cpu_features.hpp"
#include "dsp/extended.hpp"

static_assert(sizeof(PhaseTerm) == 16 && offsetof(PhaseTerm, offset) == 0 &&
                  offsetof(PhaseTerm, tap) == 8,
              "the lane kernel reads terms as (offset, tap) pairs of 8 bytes each");

void accumulateLanesPortable(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                             double* acc) {
    for (std::int64_t c = 0; c < termCount; ++c) {
        const long double tap = terms[c].tap;
        const double* samples = newest + terms[c].offset;
        for (int w = 0; w < kLanes; ++w) {
            acc[w] = stored(acc[w] + tap * static_cast<long double>(samples[w]));
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)

ExtendedPrecisionScope::ExtendedPrecisionScope() {
    const std::uint16_t chain = 0x037F;  // all exceptions masked, 64-bit significand, nearest
    asm volatile("fnstcw %0" : "=m"(saved_));
    asm volatile("fldcw %0" : : "m"(chain));
}

ExtendedPrecisionScope::~ExtendedPrecisionScope() {
    asm volatile("fldcw %0" : : "m"(saved_));
}

// One lane: load the lane's sample, multiply it by the tap below it on the stack, add the stored
// sum, store it as double.
// clang-format off
#define CARTRIVEX_LANE(w)        \
    "fldl " #w "*8(%[p])\n\t"    \
    "fmul %%st(1), %%st\n\t"     \
    "faddl " #w "*8(%[a])\n\t"   \
    "fstpl " #w "*8(%[a])\n\t"
// clang-format on

void accumulateLanesX87(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                        double* acc) {
    static_assert(kLanes == 16, "the kernel below is written out for 16 lanes");
    if (termCount <= 0) {
        return;
    }
    const double* samples = nullptr;
    asm volatile(
        "1:\n\t"
        "movq (%[t]), %[p]\n\t"
        "leaq (%[base],%[p],8), %[p]\n\t"
        "fldl 8(%[t])\n\t"
        CARTRIVEX_LANE(0) CARTRIVEX_LANE(1) CARTRIVEX_LANE(2) CARTRIVEX_LANE(3)
        CARTRIVEX_LANE(4) CARTRIVEX_LANE(5) CARTRIVEX_LANE(6) CARTRIVEX_LANE(7)
        CARTRIVEX_LANE(8) CARTRIVEX_LANE(9) CARTRIVEX_LANE(10) CARTRIVEX_LANE(11)
        CARTRIVEX_LANE(12) CARTRIVEX_LANE(13) CARTRIVEX_LANE(14) CARTRIVEX_LANE(15)
        "fstp %%st(0)\n\t"
        "addq $16, %[t]\n\t"
        "decq %[n]\n\t"
        "jnz 1b\n\t"
        : [t] "+r"(terms), [n] "+r"(termCount), [p] "=&r"(samples)
        : [base] "r"(newest), [a] "r"(acc)
        : "st", "st(1)", "memory", "cc");
}

#undef CARTRIVEX_LANE

namespace {

// Runs `kernel` over a stage-like workload and returns the time it took.
double timeKernel(LaneKernel kernel, const std::vector<double>& samples,
                  const std::vector<PhaseTerm>& terms) {
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 8; ++round) {
        for (std::size_t q = terms.size(); q + kLanes <= samples.size(); q += kLanes) {
            double acc[kLanes] = {};
            kernel(samples.data() + q, terms.data(), static_cast<std::int64_t>(terms.size()), acc);
            asm volatile("" : : "r"(acc) : "memory");
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

LaneKernel fastestLaneKernel() {
    if (!hasAvx512()) {
        return accumulateLanesX87;
    }
    // Both give the same sums, so the choice is speed alone, and speed depends on more than the
    // feature flags: measured, the wide kernel is the faster on some processors that have it and
    // the slower on others. A few milliseconds of stage-like work decide, best of three each.
    std::vector<double> samples(4096);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (double& sample : samples) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        sample = static_cast<double>(static_cast<std::int64_t>(state >> 11)) * 0x1p-40 - 2048.0;
    }
    std::vector<PhaseTerm> terms;
    for (int t = 14; t >= 0; --t) {
        terms.push_back(PhaseTerm{-t, 0.01 * (t + 1) - 0.07});
    }
    const ExtendedPrecisionScope precision;
    double wide = 1e9;
    double x87 = 1e9;
    for (int trial = 0; trial < 3; ++trial) {
        wide = std::min(wide, timeKernel(accumulateLanesAvx512, samples, terms));
        x87 = std::min(x87, timeKernel(accumulateLanesX87, samples, terms));
    }
    return wide < x87 ? accumulateLanesAvx512 : accumulateLanesX87;
}

namespace {

std::atomic<LaneKernel> chosenKernel{nullptr};

}  // namespace

void useLaneKernel(LaneKernel kernel) {
    chosenKernel.store(kernel, std::memory_order_relaxed);
}

void accumulateLanes(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                     double* acc) {
    LaneKernel kernel = chosenKernel.load(std::memory_order_relaxed);
    if (kernel == nullptr) {
        static const LaneKernel measured = fastestLaneKernel();
        kernel = measured;
    }
    kernel(newest, terms, termCount, acc);
}

#else

ExtendedPrecisionScope::ExtendedPrecisionScope() {}
ExtendedPrecisionScope::~ExtendedPrecisionScope() {}

void accumulateLanesX87(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                        double* acc) {
    accumulateLanesPortable(newest, terms, termCount, acc);
}

LaneKernel fastestLaneKernel() {
    return accumulateLanesPortable;
}

void useLaneKernel(LaneKernel) {}

void accumulateLanes(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                     double* acc) {
    accumulateLanesPortable(newest, terms, termCount, acc);
}

#endif
