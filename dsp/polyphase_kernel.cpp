#include "dsp/polyphase_kernel.hpp"

#include <cstddef>

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

void accumulateLanes(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                     double* acc) {
    if (hasAvx512()) {
        accumulateLanesAvx512(newest, terms, termCount, acc);
    } else {
        accumulateLanesX87(newest, terms, termCount, acc);
    }
}

#else

ExtendedPrecisionScope::ExtendedPrecisionScope() {}
ExtendedPrecisionScope::~ExtendedPrecisionScope() {}

void accumulateLanesX87(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                        double* acc) {
    accumulateLanesPortable(newest, terms, termCount, acc);
}

void accumulateLanes(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                     double* acc) {
    accumulateLanesPortable(newest, terms, termCount, acc);
}

#endif
