#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/support/buffers.hpp"
#include "wave/dither_generator.hpp"
#include "wave/output_quantiser.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The dither sequence worked out in 64-bit arithmetic: s = (s * 134775813 + 1) mod 2^32, and
// the value is floor(s / 2) / 2^31.
std::vector<double> ditherValues(std::size_t count) {
    std::vector<double> values;
    std::uint64_t s = 4294967295ull;
    for (std::size_t i = 0; i < count; ++i) {
        s = (s * 134775813ull + 1ull) % 4294967296ull;
        values.push_back(std::ldexp(static_cast<double>(s / 2), -31));
    }
    return values;
}

TEST(DitherGenerator, DrawsTheFixedSequence) {
    DitherGenerator dither;
    EXPECT_EQ(dither.state, 4294967295u);
    EXPECT_NEAR(dither.next(), 0.96862006, 1e-8);
    EXPECT_NEAR(dither.next(), 0.20171141, 1e-8);
    EXPECT_NEAR(dither.next(), 0.51951597, 1e-8);

    DitherGenerator again;
    for (const double expected : ditherValues(100000)) {
        const double value = again.next();
        ASSERT_EQ(value, expected);
        ASSERT_GE(value, 0.0);
        ASSERT_LT(value, 1.0);
    }
}

TEST(ChooseOutputGain, AttenuatesOnlyAbove32766) {
    const struct {
        double peak;
        double gain;
    } cases[] = {
        {0.0, 1.0},
        {1.0, 1.0},
        {32766.0, 1.0},
        {std::nextafter(32766.0, 40000.0), 32766.0 / std::nextafter(32766.0, 40000.0)},
        {32767.0, 32766.0 / 32767.0},
        {32768.0, 32766.0 / 32768.0},
        {65532.0, 0.5},
        {kInf, 0.0},
        {kNaN, 1.0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chooseOutputGain(c.peak), c.gain) << c.peak;
    }
    EXPECT_LT(chooseOutputGain(32767.0), 1.0);
}

TEST(QuantiseSample, RoundsTiesToEvenAndGuardsTheRange) {
    // With r1 = r2 = 0.5 the dither adds exactly 0.
    const struct {
        double value;
        double gain;
        double r1;
        double r2;
        std::int16_t sample;
    } cases[] = {
        {0.5, 1.0, 0.5, 0.5, 0},           {1.5, 1.0, 0.5, 0.5, 2},
        {2.5, 1.0, 0.5, 0.5, 2},           {-0.5, 1.0, 0.5, 0.5, 0},
        {-1.5, 1.0, 0.5, 0.5, -2},         {-2.5, 1.0, 0.5, 0.5, -2},
        {0.0, 1.0, 0.0, 0.5, 0},    // v = -0.5
        {0.0, 1.0, 0.75, 0.75, 0},  // v = +0.5
        {0.0, 1.0, 0.0, 0.25, -1},  // v = -0.75
        {0.0, 1.0, 0.9, 0.9, 1},    // v = +0.8
        {1000.0, 0.5, 0.5, 0.5, 500},      {32766.0, 1.0, 0.999, 0.999, 32767},
        {-32766.0, 1.0, 0.0, 0.0, -32767}, {40000.0, 1.0, 0.5, 0.5, 32767},
        {-40000.0, 1.0, 0.5, 0.5, -32767}, {-32768.0, 1.0, 0.5, 0.5, -32767},
        {kInf, 1.0, 0.5, 0.5, 32767},      {-kInf, 1.0, 0.5, 0.5, -32767},
        {kNaN, 1.0, 0.5, 0.5, 0},          {100.0, kNaN, 0.5, 0.5, 0},
        {kInf, 0.0, 0.5, 0.5, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quantiseSample(c.value, c.gain, c.r1, c.r2), c.sample)
            << c.value << " " << c.gain << " " << c.r1 << " " << c.r2;
    }
}

TEST(QuantiseSample, ScalesInExtendedPrecision) {
    // In double the product would be exactly 101.5 and round to 102; its extended value lies
    // just below the half.
    const double gain = chooseOutputGain(32767.0);
    const double value = 101.5 / gain;
    ASSERT_EQ(gain * value, 101.5);
    EXPECT_EQ(quantiseSample(value, gain, 0.5, 0.5), 101);
}

TEST(QuantiseOutput, DrawsTwoValuesPerSampleInOrder) {
    const std::vector<double> input = {0.0, 0.0, 100.25, -100.25, 32766.0, -32766.0, 12.5, -7.0};
    const double gain = 0.75;
    const std::vector<double> dither = ditherValues(2 * input.size());
    std::vector<std::int16_t> expected;
    for (std::size_t k = 0; k < input.size(); ++k) {
        long double v = static_cast<long double>(gain) * input[k];
        v = v + dither[2 * k] + dither[2 * k + 1] - 1.0L;
        expected.push_back(static_cast<std::int16_t>(std::nearbyint(v)));
    }
    EXPECT_EQ(quantiseOutput(bufferOf(input), gain), expected);

    // Split in two with one generator, the output is the same.
    DitherGenerator generator;
    std::vector<std::int16_t> joined =
        quantiseOutput(bufferOf({input.begin(), input.begin() + 4}), gain, generator);
    const std::vector<std::int16_t> rest =
        quantiseOutput(bufferOf({input.begin() + 4, input.end()}), gain, generator);
    joined.insert(joined.end(), rest.begin(), rest.end());
    EXPECT_EQ(joined, expected);

    EXPECT_TRUE(quantiseOutput(SampleBuffer(), 1.0).empty());
}

TEST(QuantiseOutput, SilenceGivesDitherAloneAndFullScaleNeverGivesMinus32768) {
    SampleBuffer silence(20000);
    const std::vector<std::int16_t> quiet = quantiseOutput(std::move(silence), 1.0);
    int counts[3] = {0, 0, 0};
    for (const std::int16_t s : quiet) {
        ASSERT_GE(s, -1);
        ASSERT_LE(s, 1);
        ++counts[s + 1];
    }
    EXPECT_GT(counts[0], 0);
    EXPECT_GT(counts[2], 0);
    EXPECT_GT(counts[1], counts[0]);  // triangular: 0 is the most likely

    SampleBuffer loud(20000);
    for (std::size_t k = 0; k < loud.size(); ++k) {
        loud[k] = k % 2 == 0 ? -32768.0 : 32768.0;
    }
    const std::vector<std::int16_t> samples =
        quantiseOutput(std::move(loud), chooseOutputGain(32768.0));
    for (const std::int16_t s : samples) {
        ASSERT_NE(s, -32768);
        ASSERT_GE(std::abs(s), 32765);
    }
}

TEST(AttenuationDecibels, RoundsTheFigureToTwoDecimals) {
    const struct {
        double peak;
        double decibels;
    } cases[] = {
        {32766.0, 0.0},  {32767.0, 0.0},  {32768.0, 0.0},   {33150.0, 0.1},
        {40000.0, 1.73}, {65532.0, 6.02}, {100000.0, 9.69},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(attenuationDecibels(chooseOutputGain(c.peak)), c.decibels) << c.peak;
    }
}

}  // namespace
