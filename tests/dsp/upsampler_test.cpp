#include "dsp/upsample_stage.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dsp/coefficient_file.hpp"
#include "dsp/cpu_features.hpp"
#include "dsp/extended.hpp"
#include "dsp/polyphase_kernel.hpp"
#include "tests/reference/reference_upsampler.hpp"
#include "tests/support/buffers.hpp"
#include "tests/support/whole_signal.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kDenormal = std::numeric_limits<double>::denorm_min();

std::uint64_t bitsOf(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

// Compares bit patterns, so that −0 differs from +0 and NaNs must carry the same payload.
::testing::AssertionResult sameBits(const std::vector<double>& expected,
                                    const SampleBuffer& actual) {
    if (expected.size() != actual.size()) {
        return ::testing::AssertionFailure()
               << "length " << actual.size() << ", expected " << expected.size();
    }
    for (std::size_t n = 0; n < expected.size(); ++n) {
        if (bitsOf(expected[n]) != bitsOf(actual[n])) {
            return ::testing::AssertionFailure()
                   << "element " << n << " is " << actual[n] << " (0x" << std::hex
                   << bitsOf(actual[n]) << "), expected " << expected[n] << " (0x"
                   << bitsOf(expected[n]) << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

// Value pools the random cases draw from.
enum class Pool { Ordinary, WithZeros, SignedZerosAndUnderflow, NonFinite, Huge };

double draw(Pool pool, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> ordinary(-1.0, 1.0);
    const int pick = static_cast<int>(rng() % 16);
    switch (pool) {
        case Pool::Ordinary:
            return ordinary(rng);
        case Pool::WithZeros:
            return pick < 5 ? 0.0 : pick < 8 ? -0.0 : ordinary(rng);
        case Pool::SignedZerosAndUnderflow: {
            const double tiny[] = {0.0,       -0.0,       1e-300,        -1e-300,
                                   kDenormal, -kDenormal, 3 * kDenormal, -7 * kDenormal,
                                   2.5e-308,  -2.5e-308,  1e-160,        -1e-160};
            return pick < 12 ? tiny[pick] : ordinary(rng);
        }
        case Pool::NonFinite: {
            const double special[] = {kInf, -kInf, std::nan(""), -std::nan("7")};
            return pick < 2 ? special[rng() % 4] : pick < 6 ? 0.0 : ordinary(rng) * 3e4;
        }
        case Pool::Huge: {
            const double huge[] = {1e308, -1.7e308, 6e307, -3e307, 1e300};
            return pick < 6 ? huge[rng() % 5] : ordinary(rng) * 3e4;
        }
    }
    return 0.0;
}

std::vector<double> drawMany(Pool pool, std::size_t count, std::mt19937_64& rng) {
    std::vector<double> values(count);
    for (double& value : values) {
        value = draw(pool, rng);
    }
    return values;
}

// Taps of an Mth-band low-pass: exact zeros at the delay plus every multiple of the factor.
std::vector<double> mthBandTaps(int stageIndex, std::mt19937_64& rng) {
    const UpsampleStageDesign& stage = kUpsampleStages[stageIndex];
    std::vector<double> taps = drawMany(Pool::Ordinary, stage.tapCount, rng);
    for (int k = 0; k < stage.tapCount; ++k) {
        if ((k - stage.delay) % stage.factor == 0) {
            taps[k] = k == stage.delay ? 1.0 / stage.factor : 0.0;
        }
    }
    return taps;
}

struct RandomCase {
    const char* name;
    Pool samples;
    Pool taps;
    bool mthBand;
    bool nonFiniteTap;
};

const RandomCase kRandomCases[] = {
    {"ordinary", Pool::Ordinary, Pool::Ordinary, false, false},
    {"zero taps and samples", Pool::WithZeros, Pool::WithZeros, false, false},
    {"mth-band taps", Pool::WithZeros, Pool::Ordinary, true, false},
    {"signed zeros and underflow", Pool::SignedZerosAndUnderflow, Pool::SignedZerosAndUnderflow,
     false, false},
    {"underflow with mth-band taps", Pool::SignedZerosAndUnderflow, Pool::Ordinary, true, false},
    {"infinite and NaN samples", Pool::NonFinite, Pool::WithZeros, false, false},
    {"huge samples and taps", Pool::Huge, Pool::Huge, false, false},
    {"infinite or NaN tap", Pool::Ordinary, Pool::WithZeros, false, true},
};

TEST(UpsamplerTest, StageLengthsForTenSeconds) {
    const std::int64_t expected[] = {882256, 2646851, 10587473, 63524925};
    std::int64_t length = 441000;
    for (int stage = 0; stage < 4; ++stage) {
        length = upsampleStageOutputLength(stage, length);
        EXPECT_EQ(length, expected[stage]) << "stage " << stage + 1;
    }
    EXPECT_EQ(length, 144 * 441000 + 20925);
    EXPECT_EQ(upsampleStageOutputLength(0, 0), 256);
}

TEST(UpsamplerTest, FastStageMatchesScatterBitForBit) {
    std::mt19937_64 rng(20261209);
    const std::size_t lengths[] = {1, 2, 3, 41, 300};
    for (const RandomCase& c : kRandomCases) {
        for (int stage = 0; stage < 4; ++stage) {
            for (std::size_t length : lengths) {
                const int tapCount = kUpsampleStages[stage].tapCount;
                std::vector<double> taps =
                    c.mthBand ? mthBandTaps(stage, rng) : drawMany(c.taps, tapCount, rng);
                if (c.nonFiniteTap) {
                    taps[rng() % tapCount] = rng() % 2 ? kInf : std::nan("3");
                }
                const std::vector<double> input = drawMany(c.samples, length, rng);
                const std::vector<double> expected = referenceUpsampleStage(stage, input, taps);
                for (int threads : {1, 2, 3}) {
                    EXPECT_TRUE(
                        sameBits(expected, upsampleStage(stage, bufferOf(input), taps, threads)))
                        << c.name << ", stage " << stage + 1 << ", " << length << " samples, "
                        << threads << " threads";
                }
                // As a stream, the input in pieces of random sizes, empty ones included.
                UpsampleStage stream(stage, taps, 2);
                SampleBlock streamed;
                for (std::size_t at = 0; at < length;) {
                    const std::size_t piece = std::min<std::size_t>(length - at, rng() % 40);
                    stream.process({input.data() + at, piece}, streamed);
                    at += piece;
                }
                stream.finish(streamed);
                EXPECT_TRUE(sameBits(expected, bufferOf({streamed.begin(), streamed.end()})))
                    << c.name << ", stage " << stage + 1 << ", " << length << " samples, in pieces";
            }
        }
    }
}

// A stage that hands its outputs straight to the next keeps there what a plain push followed by
// take() keeps: the same samples, group maxima and non-finite indices, whatever the
// pieces (some large enough for several chunks on several threads) and the group boundaries.
TEST(UpsamplerTest, ChainedStageKeepsWhatAPlainPushKeeps) {
    std::mt19937_64 rng(20261210);
    for (const RandomCase& c : kRandomCases) {
        for (int stage = 0; stage < 3; ++stage) {
            const std::vector<double> taps =
                c.mthBand ? mthBandTaps(stage, rng)
                          : drawMany(c.taps, kUpsampleStages[stage].tapCount, rng);
            const std::vector<double> nextTaps = mthBandTaps(stage + 1, rng);
            // Sums over values that are not finite take the slow path: a few such samples in a
            // long input, and short inputs where most sums overflow or a tap is not finite.
            const bool slow = c.nonFiniteTap || c.samples == Pool::Huge;
            std::vector<double> input = drawMany(
                c.samples == Pool::NonFinite ? Pool::Ordinary : c.samples, slow ? 500 : 14000, rng);
            if (c.samples == Pool::NonFinite) {
                for (int k = 0; k < 6; ++k) {
                    input[rng() % input.size()] = draw(Pool::NonFinite, rng) * kInf;
                }
            }
            for (int threads : {1, 2, 3}) {
                UpsampleStage chained(stage, taps, threads);
                UpsampleStage chainedNext(stage + 1, nextTaps);
                UpsampleStage plain(stage, taps, threads);
                UpsampleStage plainNext(stage + 1, nextTaps);
                for (std::size_t at = 0; at < input.size();) {
                    const std::size_t piece = std::min<std::size_t>(
                        input.size() - at, rng() % 4 == 0 ? 4096 + rng() % 3000 : rng() % 50);
                    chained.process({input.data() + at, piece}, chainedNext);
                    SampleBlock made;
                    plain.process({input.data() + at, piece}, made);
                    plainNext.take(made);
                    at += piece;
                }
                const std::string where = std::string(c.name) + ", stage " +
                                          std::to_string(stage + 1) + ", " +
                                          std::to_string(threads) + " threads";
                const KeptSamples& kept = chainedNext.kept();
                const KeptSamples& plainKept = plainNext.kept();
                EXPECT_EQ(chained.nextRow(), plain.nextRow()) << where;
                ASSERT_EQ(kept.received(), plainKept.received()) << where;
                EXPECT_EQ(kept.base(), plainKept.base()) << where;
                EXPECT_TRUE(sameBits({plainKept.samples().begin(), plainKept.samples().end()},
                                     bufferOf({kept.samples().begin(), kept.samples().end()})))
                    << where << ", kept samples";
                EXPECT_TRUE(
                    sameBits({plainKept.groupLargest().begin(), plainKept.groupLargest().end()},
                             bufferOf({kept.groupLargest().begin(), kept.groupLargest().end()})))
                    << where << ", group maxima";
                EXPECT_EQ(kept.nonFinite(), plainKept.nonFinite()) << where;
            }
        }
    }
}

// A lone term that underflows to −0 followed by a stuffed zero under a positive tap: the full
// sum ends at +0, the sum over the kept samples alone at −0.
TEST(UpsamplerTest, StuffedZeroTurnsUnderflowedNegativeZeroPositive) {
    const double sample = 1e-300;
    std::vector<double> taps(256, 0.0);
    taps[2] = -1e-300;
    taps[1] = 1.0;
    ASSERT_EQ(bitsOf(stored(static_cast<long double>(taps[2]) * (2 * sample))), bitsOf(-0.0));
    for (std::size_t length : {2, 300}) {
        const std::vector<double> input(length, sample);
        const std::vector<double> expected = referenceUpsampleStage(0, input, taps);
        for (std::size_t n = 2; n < 2 * length; n += 2) {
            ASSERT_EQ(bitsOf(expected[n]), bitsOf(0.0)) << "output " << n;
        }
        for (int threads : {1, 2}) {
            EXPECT_TRUE(sameBits(expected, upsampleStage(0, bufferOf(input), taps, threads)))
                << length << " samples, " << threads << " threads";
        }
    }
}

TEST(UpsamplerTest, FourStagesMatchScatterBitForBit) {
    std::mt19937_64 rng(7);
    for (std::size_t length : {1, 12}) {
        CoefficientSet coefficients;
        std::vector<std::vector<double>> taps(4);
        for (int stage = 0; stage < 4; ++stage) {
            taps[stage] = mthBandTaps(stage, rng);
            coefficients.taps[stage] = taps[stage];
        }
        const std::vector<double> input = drawMany(Pool::Ordinary, length, rng);
        std::vector<int> stagesReported;
        const SampleBuffer output = upsampleFourStages(
            bufferOf(input), coefficients, 2, [&](int stage) { stagesReported.push_back(stage); });
        EXPECT_TRUE(sameBits(referenceUpsampleFourStages(input, taps), output));
        EXPECT_EQ(stagesReported, (std::vector<int>{1, 2, 3, 4}));
    }
}

// A single 1 at each stage's delay tap passes every sample through with the gain 144.
TEST(UpsamplerTest, DelayTapOnlyGivesScaledSamplesAtTheTotalDelay) {
    CoefficientSet coefficients;
    for (int stage = 0; stage < 4; ++stage) {
        coefficients.taps[stage].assign(kUpsampleStages[stage].tapCount, 0.0);
        coefficients.taps[stage][kUpsampleStages[stage].delay] = 1.0;
    }
    std::mt19937_64 rng(3);
    std::vector<double> input(200);
    for (double& sample : input) {
        sample = static_cast<double>(static_cast<int>(rng() % 65536) - 32768);
    }
    input[5] = 0.37;  // not a multiple of a power of two: rounded twice on the way
    const SampleBuffer output = upsampleFourStages(bufferOf(input), coefficients, 2, [](int) {});
    ASSERT_EQ(output.size(), 144 * input.size() + 20925);
    std::size_t nonZero = 0;
    for (std::size_t n = 0; n < output.size(); ++n) {
        if (n >= 10447 && (n - 10447) % 144 == 0 && (n - 10447) / 144 < input.size()) {
            const double sample = input[(n - 10447) / 144];
            if (sample == 0.37) {
                EXPECT_NEAR(output[n], sample * 144, 1e-13) << "output " << n;
            } else {
                EXPECT_EQ(output[n], sample * 144) << "output " << n;
            }
        } else if (output[n] != 0.0) {
            ++nonZero;
        }
    }
    EXPECT_EQ(nonZero, 0u);
}

TEST(UpsamplerTest, TapsBeyondTheCountAreIgnoredAndMissingOnesAreZero) {
    std::mt19937_64 rng(11);
    const std::vector<double> input = drawMany(Pool::Ordinary, 60, rng);
    const std::vector<double> taps = drawMany(Pool::Ordinary, 69, rng);
    std::vector<double> longer = taps;
    longer.insert(longer.end(), {5.0, -3.0, 1e10});
    const std::vector<double> expected = referenceUpsampleStage(2, input, taps);
    EXPECT_TRUE(sameBits(expected, upsampleStage(2, bufferOf(input), longer, 1)));

    std::vector<double> shorter(taps.begin(), taps.begin() + 40);
    std::vector<double> padded = shorter;
    padded.resize(69, 0.0);
    EXPECT_TRUE(sameBits(referenceUpsampleStage(2, input, padded),
                         upsampleStage(2, bufferOf(input), shorter, 2)));
}

TEST(UpsamplerTest, EmptyInputGivesZerosOfTheTapCount) {
    for (int stage = 0; stage < 4; ++stage) {
        const std::vector<double> taps(kUpsampleStages[stage].tapCount, 0.5);
        EXPECT_TRUE(sameBits(referenceUpsampleStage(stage, {}, taps),
                             upsampleStage(stage, SampleBuffer(), taps, 2)));
    }
}

// An input large enough to live in mapped memory that is given back while the stage runs: spot
// checks around every point where input pages are released, and at random elsewhere.
TEST(UpsamplerTest, LongInputReleasedWhileRunningStaysExact) {
    std::mt19937_64 rng(5);
    const int stage = 3;
    std::vector<double> input = drawMany(Pool::Ordinary, 700000, rng);
    for (double& sample : input) {
        sample *= 30000;
    }
    const std::vector<double> taps = mthBandTaps(stage, rng);
    const SampleBuffer output = upsampleStage(stage, bufferOf(input), taps, 2);
    ASSERT_EQ(output.size(), 6 * input.size() + 87);
    std::vector<std::int64_t> checks;
    for (std::int64_t row = 0; row < static_cast<std::int64_t>(input.size()) + 20;
         row += std::int64_t{1} << 17) {
        for (std::int64_t n = 6 * row - 120; n < 6 * row + 120; ++n) {
            checks.push_back(n);
        }
    }
    for (int i = 0; i < 3000; ++i) {
        checks.push_back(static_cast<std::int64_t>(rng() % output.size()));
    }
    for (std::int64_t n = static_cast<std::int64_t>(output.size()) - 200;
         n < static_cast<std::int64_t>(output.size()); ++n) {
        checks.push_back(n);
    }
    for (std::int64_t n : checks) {
        if (n < 0 || n >= static_cast<std::int64_t>(output.size())) {
            continue;
        }
        ASSERT_EQ(bitsOf(output[n]), bitsOf(referenceUpsampleOutput(stage, input, taps, n)))
            << "output " << n;
    }
}

TEST(UpsamplerTest, RealCoefficientFilesMatchScatter) {
    const std::string folder = std::string(CARTRIVEX_SOURCE_DIR) + "/data/";
    if (!std::filesystem::exists(folder + "filter1.dat")) {
        GTEST_SKIP() << "no coefficient files in " << folder;
    }
    std::mt19937_64 rng(13);
    for (int stage = 0; stage < 4; ++stage) {
        const std::vector<double> taps = readCoefficientFile(
            folder + kUpsampleStages[stage].coefficientFile, kUpsampleStages[stage].tapCount);
        const std::vector<double> input = drawMany(Pool::WithZeros, 300, rng);
        EXPECT_TRUE(sameBits(referenceUpsampleStage(stage, input, taps),
                             upsampleStage(stage, bufferOf(input), taps, 2)))
            << "stage " << stage + 1;
    }
}

TEST(PolyphaseKernelTest, EveryLaneKernelMatchesPlainLoop) {
    using Kernel = void (*)(const double*, const PhaseTerm*, std::int64_t, double*);
    std::vector<std::pair<const char*, Kernel>> kernels = {{"chosen", accumulateLanes},
                                                           {"x87", accumulateLanesX87},
                                                           {"portable", accumulateLanesPortable}};
    if (hasAvx512()) {
        kernels.emplace_back("avx512", accumulateLanesAvx512);
    }
    std::mt19937_64 rng(17);
    for (Pool pool : {Pool::Ordinary, Pool::WithZeros, Pool::SignedZerosAndUnderflow,
                      Pool::NonFinite, Pool::Huge}) {
        for (int round = 0; round < 20; ++round) {
            const std::vector<double> samples = drawMany(pool, 64, rng);
            std::vector<PhaseTerm> terms;
            for (int t = 15; t >= 0; --t) {
                terms.push_back(PhaseTerm{-t, draw(pool, rng)});
            }
            const double* newest = samples.data() + 20;
            double direct[kLanes] = {};
            for (int w = 0; w < kLanes; ++w) {
                for (const PhaseTerm& term : terms) {
                    direct[w] = stored(direct[w] + static_cast<long double>(term.tap) *
                                                       newest[term.offset + w]);
                }
            }
            for (const auto& [name, kernel] : kernels) {
                double acc[kLanes] = {};
                kernel(newest, terms.data(), static_cast<std::int64_t>(terms.size()), acc);
                for (int w = 0; w < kLanes; ++w) {
                    ASSERT_EQ(bitsOf(acc[w]), bitsOf(direct[w]))
                        << name << ", pool " << static_cast<int>(pool) << ", lane " << w;
                }
            }
        }
    }
}

}  // namespace

// Our filters, on content below 20 kHz near full scale: at the input instants and between them
// the 144-fold signal follows the band-limited original to within 1e-6 of full scale, once the
// filters' start-up is past.
TEST(UpsamplerTest, OurFiltersFollowBandLimitedContentBetweenTheSamples) {
    const std::string folder = std::string(CARTRIVEX_SOURCE_DIR) + "/data/";
    CoefficientSet coefficients;
    for (int stage = 0; stage < 4; ++stage) {
        coefficients.taps[stage] = readCoefficientFile(
            folder + kUpsampleStages[stage].coefficientFile, kUpsampleStages[stage].tapCount);
    }
    const struct {
        double hertz, amplitude, phase;
    } tones[] = {{997.0, 16000.0, 0.3}, {7001.0, 9000.0, 1.1}, {18999.0, 7000.0, 2.0}};
    auto original = [&](double t) {
        double value = 0.0;
        for (const auto& tone : tones) {
            value += tone.amplitude * std::sin(2.0 * M_PI * tone.hertz * t + tone.phase);
        }
        return value;
    };
    constexpr int kFrames = 2000;
    SampleBuffer input(kFrames);
    for (int i = 0; i < kFrames; ++i) {
        input[i] = original(i / 44100.0);
    }
    const SampleBuffer high = upsampleFourStages(std::move(input), coefficients, 2, [](int) {});
    double worst = 0.0;
    for (int i = 400; i < kFrames - 400; ++i) {
        for (const int p : {0, 1, 17, 72, 131, 143}) {
            const double expected = original((i + p / 144.0) / 44100.0);
            worst = std::max(worst, std::fabs(high[144 * i + 10447 + p] - expected));
        }
    }
    EXPECT_LT(worst, 1e-6 * 32768.0);
}
