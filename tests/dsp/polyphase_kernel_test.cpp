// The lane kernels where rounding through the 64-bit format and rounding once part ways: sums
// whose exact value lies within a hair of the point halfway between two doubles.

#include "dsp/polyphase_kernel.hpp"
#include "dsp/cpu_features.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "dsp/extended.hpp"

namespace {

using Kernel = void (*)(const double*, const PhaseTerm*, std::int64_t, double*);

std::vector<std::pair<const char*, Kernel>> fastKernels() {
    std::vector<std::pair<const char*, Kernel>> kernels = {{"chosen", accumulateLanes},
                                                           {"x87", accumulateLanesX87}};
    if (hasAvx512()) {
        kernels.emplace_back("avx512", accumulateLanesAvx512);
    }
    return kernels;
}

// One term per lane: acc[w] + tap * sample[w] with tap * sample[w] close to half the spacing of
// the doubles around acc[w] (or to that less or more a few of its 64-bit steps), of either sign.
struct HalfwayCase {
    double acc[kLanes];
    double samples[kLanes];
    double tap;
};

HalfwayCase halfwayCase(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::uniform_int_distribution<int> steps(-3, 3);
    HalfwayCase c{};
    c.tap = std::ldexp(unit(rng), exponent(rng)) * (rng() % 2 ? 1 : -1);
    for (int w = 0; w < kLanes; ++w) {
        const double acc = std::ldexp(unit(rng), exponent(rng)) * (rng() % 2 ? 1 : -1);
        const double spacing = std::nextafter(std::abs(acc), INFINITY) - std::abs(acc);
        // Half the spacing, moved by whole 64-bit steps (2^-11 of the spacing) and by a little
        // less than one such step, so the product sits on, just off or exactly between them.
        const double nudge =
            std::ldexp(spacing, -11) * steps(rng) +
            std::ldexp(spacing, -12 - static_cast<int>(rng() % 40)) * (rng() % 3 == 0 ? 0
                                                                       : rng() % 2    ? 1
                                                                                      : -1);
        const double wanted = (0.5 * spacing + nudge) * (rng() % 2 ? 1 : -1);
        c.acc[w] = acc;
        c.samples[w] = wanted / c.tap;
    }
    return c;
}

double extendedTerm(double acc, double tap, double sample) {
    return stored(acc + static_cast<long double>(tap) * static_cast<long double>(sample));
}

TEST(PolyphaseKernelTest, SumsNextToTheHalfwayPointRoundAsInExtendedPrecision) {
    std::mt19937_64 rng(29);
    int fusedDiffers = 0;
    for (int round = 0; round < 4000; ++round) {
        const HalfwayCase c = halfwayCase(rng);
        const PhaseTerm term{0, c.tap};
        for (const auto& [name, kernel] : fastKernels()) {
            double acc[kLanes];
            std::copy(std::begin(c.acc), std::end(c.acc), acc);
            kernel(c.samples, &term, 1, acc);
            for (int w = 0; w < kLanes; ++w) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(acc[w]),
                          std::bit_cast<std::uint64_t>(extendedTerm(c.acc[w], c.tap, c.samples[w])))
                    << name << ": " << c.acc[w] << " + " << c.tap << " * " << c.samples[w];
            }
        }
        for (int w = 0; w < kLanes; ++w) {
            fusedDiffers += std::fma(c.tap, c.samples[w], c.acc[w]) !=
                            extendedTerm(c.acc[w], c.tap, c.samples[w]);
        }
    }
    // The cases really are the ones where a single rounding would give another double.
    EXPECT_GT(fusedDiffers, 1000);
}

// Long sums of terms of every size, the product sometimes far above the sum (cancellation) and
// sometimes far below it, compared term by term through the whole chain.
TEST(PolyphaseKernelTest, LongMixedSumsMatchTheExtendedChain) {
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-60, 60);
    for (int round = 0; round < 300; ++round) {
        std::vector<double> samples(kLanes + 40);
        for (double& s : samples) {
            s = std::ldexp(unit(rng), exponent(rng) / 4);
        }
        std::vector<PhaseTerm> terms;
        for (int t = 40; t >= 0; t -= 1 + static_cast<int>(rng() % 3)) {
            terms.push_back(PhaseTerm{-t, std::ldexp(unit(rng), exponent(rng))});
        }
        const double* newest = samples.data() + 40;
        double expected[kLanes];
        for (int w = 0; w < kLanes; ++w) {
            expected[w] = std::ldexp(unit(rng), exponent(rng));
        }
        double start[kLanes];
        std::copy(std::begin(expected), std::end(expected), start);
        for (int w = 0; w < kLanes; ++w) {
            for (const PhaseTerm& term : terms) {
                expected[w] = extendedTerm(expected[w], term.tap, newest[term.offset + w]);
            }
        }
        for (const auto& [name, kernel] : fastKernels()) {
            double acc[kLanes];
            std::copy(std::begin(start), std::end(start), acc);
            kernel(newest, terms.data(), static_cast<std::int64_t>(terms.size()), acc);
            for (int w = 0; w < kLanes; ++w) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(acc[w]),
                          std::bit_cast<std::uint64_t>(expected[w]))
                    << name << ", round " << round << ", lane " << w;
            }
        }
    }
}

}  // namespace
