#include "dsp/shelving_filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "tests/reference/reference_shelving.hpp"
#include "tests/support/buffers.hpp"
#include "tests/support/whole_signal.hpp"

namespace {

// Within half a unit of the tenth significant digit.
void expectTenDigits(double actual, double expected) {
    const double unit = std::pow(10.0, std::floor(std::log10(std::fabs(expected))) - 9);
    EXPECT_NEAR(actual, expected, 0.51 * unit);
}

std::vector<double> sine(std::size_t count, double amplitude, double phase) {
    std::vector<double> x(count);
    for (std::size_t n = 0; n < count; ++n) {
        x[n] = amplitude * std::sin(2 * M_PI * 1000 * static_cast<double>(n) / 44100 + phase);
    }
    return x;
}

}  // namespace

TEST(ShelvingFilter, CornerFrequenciesAndSectionsMatchTheTable) {
    const LateralCorners c = lateralCornerFrequencies();
    EXPECT_EQ(static_cast<double>(0.00318f), 0.0031799999997019768);
    expectTenDigits(c.f1, 50.04872425);
    expectTenDigits(c.f2, 500.4872424);
    expectTenDigits(c.f3, 2122.065908);
    EXPECT_EQ(c.f0, 1.0);
    const double T = lateralSamplePeriod(44100);
    struct Row {
        double fz, fp, wz, wp, b0, b1, a1;
    };
    const Row rows[] = {
        {c.f1, c.f0, 0.003565382555, 0.00007123792877, 0.02005025424, -0.01990778853, 0.9998575343},
        {c.f3, c.f2, 0.1523337716, 0.03566878962, 0.2605251044, -0.1916444160, 0.9311193115},
        {c.f0, c.f1, 0.00007123792877, 0.003565382555, 49.87467931, -49.86757387, 0.9928945685},
        {c.f2, c.f3, 0.03566878962, 0.1523337716, 3.838401686, -3.574009935, 0.7356082493},
    };
    for (const Row& row : rows) {
        const ShelvingSection s = designShelvingSection(row.fz, row.fp, T);
        expectTenDigits(s.wz, row.wz);
        expectTenDigits(s.wp, row.wp);
        expectTenDigits(s.b0, row.b0);
        expectTenDigits(s.b1, row.b1);
        expectTenDigits(s.a1, row.a1);
        const ReferenceSection r = referenceShelvingSection(row.fz, row.fp, T);
        EXPECT_EQ(std::memcmp(&s.num0, &r.num0, sizeof(double)), 0);
        EXPECT_EQ(s.num1, r.num1);
        EXPECT_EQ(s.den1, r.den1);
        EXPECT_EQ(s.den0, r.den0);
    }
}

TEST(ShelvingFilter, MagnitudeResponseOfForwardAndInverse) {
    const double T = lateralSamplePeriod(44100);
    const LateralSections recording = designLateralSections(44100, LateralDirection::Recording);
    const LateralSections playback = designLateralSections(44100, LateralDirection::Playback);
    const ShelvingSection forward[] = {recording.first, recording.second};
    const ShelvingSection inverse[] = {playback.first, playback.second};
    auto magnitude = [&](const ShelvingSection* sections, double frequency) {
        const std::complex<double> z = std::polar(1.0, -2 * M_PI * frequency * T);
        std::complex<double> h = 1.0;
        for (int k = 0; k < 2; ++k) {
            h *= (sections[k].b0 + sections[k].b1 * z) / (1.0 - sections[k].a1 * z);
        }
        return std::abs(h);
    };
    const struct {
        double frequency, gain;
    } points[] = {{0, 1.0},         {1, 0.7072},      {50, 0.02813},
                  {1000, 0.009877}, {2122, 0.006444}, {22050, 0.004678}};
    for (const auto& point : points) {
        EXPECT_NEAR(magnitude(forward, point.frequency), point.gain, 6e-4 * point.gain)
            << point.frequency;
        EXPECT_NEAR(magnitude(inverse, point.frequency), 1 / point.gain, 6e-4 / point.gain)
            << point.frequency;
    }
}

TEST(ShelvingFilter, StepImpulseAndSineResponses) {
    SampleBuffer step = filterLateral(bufferOf(std::vector<double>(8000, 1000.0)), 44100);
    EXPECT_NEAR(step[2] / 1000, 0.0000371, 0.0000001);
    EXPECT_NEAR(step[100] / 1000, 0.0125, 0.0001);
    EXPECT_NEAR(step[7019] / 1000, 0.63, 0.005);

    std::vector<double> impulse(10, 0.0);
    impulse[2] = 1000;
    SampleBuffer response = filterLateral(bufferOf(impulse), 44100);
    const double expected[] = {5.2236, 1.0576, 0.9944, 0.9355};
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(response[2 + k], expected[k], 0.00006) << k;
    }

    const std::size_t count = 3 * 44100;
    SampleBuffer settled = filterLateral(bufferOf(sine(count, 10000, 0.0)), 44100);
    double peak = 0;
    for (std::size_t n = count - 44100; n < count; ++n) {
        peak = std::max(peak, std::fabs(settled[n]));
    }
    EXPECT_NEAR(peak, 98.79, 0.03);
}

TEST(ShelvingFilter, InverseUndoesForwardOnceStartUpHasDied) {
    const std::vector<double> input = sine(20000, 10000, 0.3);
    SampleBuffer restored = inverseFilterLateral(filterLateral(bufferOf(input), 44100), 44100);
    ASSERT_EQ(restored.size(), input.size());
    EXPECT_NEAR(restored[2] - input[2], -4251, 1);
    EXPECT_NEAR(restored[500] - input[500], -122, 0.5);
    EXPECT_NEAR(restored[2000] - input[2000], -0.0028, 0.00005);
    for (std::size_t n = 3000; n < input.size(); ++n) {
        ASSERT_LT(std::fabs(restored[n] - input[n]), 0.000003) << n;
    }
}

TEST(ShelvingFilter, ShortInputsAndFirstTwoSamplesAreZero) {
    for (std::size_t count : {0u, 1u, 2u, 3u}) {
        const std::vector<double> input(count, 12345.0);
        SampleBuffer forward = filterLateral(bufferOf(input), 44100);
        SampleBuffer inverse = inverseFilterLateral(bufferOf(input), 44100);
        ASSERT_EQ(forward.size(), count);
        ASSERT_EQ(inverse.size(), count);
        for (std::size_t n = 0; n < std::min<std::size_t>(count, 2); ++n) {
            EXPECT_EQ(forward[n], 0.0);
            EXPECT_EQ(inverse[n], 0.0);
        }
        if (count == 3) {
            EXPECT_NE(forward[2], 0.0);
        }
    }
}

TEST(ShelvingFilter, BitIdenticalToDirectImplementation) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> sample(-32768, 32767);
    for (std::size_t count : {3u, 17u, 5000u}) {
        std::vector<double> input(count);
        for (double& value : input) {
            value = sample(random);
        }
        const std::vector<double> forward = referenceFilterLateral(input, 44100);
        const std::vector<double> inverse = referenceInverseFilterLateral(forward, 44100);
        SampleBuffer fastForward = filterLateral(bufferOf(input), 44100);
        SampleBuffer fastInverse = inverseFilterLateral(bufferOf(forward), 44100);
        for (std::size_t n = 0; n < count; ++n) {
            ASSERT_EQ(std::memcmp(&fastForward[n], &forward[n], sizeof(double)), 0) << n;
            ASSERT_EQ(std::memcmp(&fastInverse[n], &inverse[n], sizeof(double)), 0) << n;
        }
    }
}
