#include "app/signal_chain.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dsp/coefficient_set.hpp"
#include "dsp/extended.hpp"
#include "tests/reference/reference_chain.hpp"
#include "tests/support/buffers.hpp"

namespace {

struct ChainCase {
    std::int32_t frames;
    double revolutionsPerMinute;
    double radius;
    double amplitude;
    double degrees;
    int loudness;  // peak of the random input
};

std::vector<std::int16_t> randomInput(std::int32_t frames, int loudness, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> sample(-loudness, loudness);
    std::vector<std::int16_t> samples(2 * static_cast<std::size_t>(frames));
    // A smooth part (so the distortion has something to move) plus noise.
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const int smooth = static_cast<int>(loudness * 0.6 * std::sin(0.013 * (k / 2)));
        const int value = smooth + sample(random) / 3;
        samples[k] = static_cast<std::int16_t>(std::clamp(value, -32768, 32767));
    }
    return samples;
}

class SignalChainTest : public ::testing::TestWithParam<ChainCase> {
  protected:
    static void SetUpTestSuite() {
        std::string message;
        ASSERT_TRUE(loadCoefficientSet(CARTRIVEX_SOURCE_DIR, coefficients_, message)) << message;
    }
    static CoefficientSet coefficients_;
};

CoefficientSet SignalChainTest::coefficients_;

// The chain as the program runs it, against every step written out the long way.
TEST_P(SignalChainTest, MatchesTheDirectImplementationForAnyThreadCount) {
    const ChainCase& c = GetParam();
    const DiscParameters parameters{c.revolutionsPerMinute, c.radius, c.amplitude, c.degrees};
    const std::vector<std::int16_t> input =
        randomInput(c.frames, c.loudness, static_cast<unsigned>(c.frames * 7 + c.loudness));
    const std::vector<std::vector<double>> taps(coefficients_.taps.begin(),
                                                coefficients_.taps.end());
    const ReferenceOutput expected = referenceProcess(input, c.frames, parameters, taps);
    for (const int threads : {1, 2, 3}) {
        SilentProgress progress;
        const ChainResult result = runSignalChain(input, acceptedWaveInfo(c.frames), parameters,
                                                  coefficients_, threads, progress);
        EXPECT_EQ(result.outputGain, expected.outputGain) << threads << " threads";
        ASSERT_EQ(result.outputSamples.size(), expected.outputSamples.size());
        EXPECT_EQ(result.outputSamples, expected.outputSamples) << threads << " threads";
    }
}

const double k33 = stored(100.0L / 3.0L);

INSTANTIATE_TEST_SUITE_P(SeededInputs, SignalChainTest,
                         ::testing::Values(ChainCase{1, 45, 60, 0.05, 1.5, 30000},
                                           ChainCase{2, k33, 60, 0.05, 1.5, 100},
                                           ChainCase{3, 45, 60, 0.05, -1.5, 32767},
                                           ChainCase{400, 45, 60, 0.05, 1.5, 20000},
                                           ChainCase{400, k33, 120, 0.08, -3, 32767},
                                           ChainCase{257, 45, 60, 0.0, 1.5, 15000},
                                           ChainCase{300, k33, 60, 0.05, 0.0, 15000},
                                           ChainCase{350, 45, 60, 5.0, 89.9, 32767},
                                           ChainCase{333, 45, -60, 0.05, 30, 25000},
                                           ChainCase{220, k33, 1e-3, 10.0, -60, 32767},
                                           // the 144-fold stages run over several superblocks
                                           ChainCase{12000, 45, 60, 0.05, 1.5, 20000}));

// A loud input must come out scaled so that it does not clip, with the same bytes.
TEST(SignalChainGainTest, TheGainKeepsEveryValueInRange) {
    CoefficientSet coefficients;
    std::string message;
    ASSERT_TRUE(loadCoefficientSet(CARTRIVEX_SOURCE_DIR, coefficients, message)) << message;
    std::vector<std::int16_t> input(2 * 500);
    for (std::size_t k = 0; k < input.size(); ++k) {
        input[k] = static_cast<std::int16_t>(((k / 2) / 20) % 2 == 0 ? 32767 : -32768);
    }
    SilentProgress progress;
    const ChainResult result = runSignalChain(input, acceptedWaveInfo(500), {45, 60, 0.05, 1.5},
                                              coefficients, 2, progress);
    EXPECT_LT(result.outputGain, 1.0);
    for (const std::int16_t s : result.outputSamples) {
        EXPECT_GE(s, -32767);
    }
}

}  // namespace
