#include "tests/support/whole_signal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "tests/reference/reference_tracking.hpp"
#include "tests/support/buffers.hpp"

namespace {

const double kRpm33 = static_cast<double>(100.0L / 3);

std::size_t highRateLength(std::int32_t frames) {
    return 144 * std::size_t(frames) + 20925;
}

GrooveGeometry geometryFor(double rpm, double radius, double degrees) {
    return deriveGrooveGeometry(DiscParameters{rpm, radius, 0.0, degrees}, 44100);
}

std::vector<double> run(const std::vector<double>& u, std::int32_t frames, double amplitude,
                        const GrooveGeometry& g, int threads) {
    SampleBuffer d = calculateInterpolatedOutput(bufferOf(u), frames, amplitude, g, threads);
    return std::vector<double>(d.begin(), d.end());
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof(double)) == 0;
}

}  // namespace

TEST(TrackingError, FullScaleSampleIsPlacedEarlierByTheTimingError) {
    // A slow ramp near full scale: the output reads the ramp where the shifted samples land.
    const std::int32_t frames = 20;
    const double slope = 1e-6;
    std::vector<double> u(highRateLength(frames));
    for (std::size_t j = 1; j < u.size(); ++j) {
        u[j] = 32768 + slope * static_cast<double>(j);
    }
    for (double degrees : {1.5, -1.5}) {
        const std::vector<double> d = run(u, frames, 0.05, geometryFor(45, 60, degrees), 1);
        for (std::int32_t i = 0; i < frames; ++i) {
            const double shift = (d[i] - 32768) / slope - (144.0 * i + kAlignmentDelay);
            EXPECT_NEAR(shift, degrees > 0 ? 29.41 : -29.41, 0.01) << i;
            EXPECT_NEAR(shift / 144 * 1e6 / 44100, degrees > 0 ? 4.6307 : -4.6307, 0.0001);
            EXPECT_NEAR(shift / 144, degrees > 0 ? 0.2042 : -0.2042, 0.0001);
        }
    }
}

TEST(TrackingError, NoDistortionReadsTheAlignedSamples) {
    const std::int32_t frames = 300;
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> sample(-32768, 32767);
    std::vector<double> u(highRateLength(frames));
    for (std::size_t j = 1; j < u.size(); ++j) {
        u[j] = sample(random);
    }
    const struct { double amplitude, degrees; } cases[] = {{0.05, 0.0}, {0.0, 1.5}, {0.0, 90.0}};
    for (const auto& c : cases) {
        const std::vector<double> d =
            run(u, frames, c.amplitude, geometryFor(45, 60, c.degrees), 2);
        for (std::int32_t i = 0; i < frames; ++i) {
            ASSERT_NEAR(d[i], u[144 * i + kAlignmentDelay], 1e-6) << i;
        }
    }
}

TEST(TrackingError, ExactHitGivesThatSampleAndLaterIndexWinsTies) {
    // With no timing error the corrected time of index 144 * 2^k + 10447 is exactly T * 2^k. A
    // huge predecessor would swallow the value if the tie chose that index with a fraction of 1.
    const std::int32_t frames = 70;
    std::vector<double> u(highRateLength(frames), 0.0);
    for (int i : {0, 1, 2, 4, 8, 16, 32, 64}) {
        u[144 * i + kAlignmentDelay - 1] = 1e30;
        u[144 * i + kAlignmentDelay] = 1.0 + i;
        u[144 * i + kAlignmentDelay + 1] = -1e30;
    }
    const std::vector<double> d = run(u, frames, 0.05, geometryFor(45, 60, 0.0), 1);
    for (int i : {0, 1, 2, 4, 8, 16, 32, 64}) {
        EXPECT_EQ(d[i], 1.0 + i) << i;
    }
}

TEST(TrackingError, OutputLengthIsFrameCount) {
    for (std::int32_t frames : {0, 1, 2, 3, 257}) {
        const std::vector<double> u(highRateLength(frames), 100.0);
        EXPECT_EQ(run(u, frames, 1e9, geometryFor(45, 60, 89.9), 2).size(),
                  static_cast<std::size_t>(frames));
    }
    EXPECT_TRUE(run({}, -5, 0.05, geometryFor(45, 60, 1.5), 1).empty());
    // A buffer shorter than the pass would read is never read past its end.
    EXPECT_EQ(run(std::vector<double>(40, 1.0), 10, 0.05, geometryFor(45, 60, 1.5), 1).size(), 10u);
}

TEST(TrackingError, MirroredSignalAndAngleMirrorTheOutputExactly) {
    const std::int32_t frames = 200;
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> sample(-32768, 32767);
    std::vector<double> u(highRateLength(frames)), negated(u.size());
    for (std::size_t j = 1; j < u.size(); ++j) {
        u[j] = sample(random);
        negated[j] = -u[j];
    }
    const std::vector<double> d = run(u, frames, 0.05, geometryFor(kRpm33, 60, 1.5), 1);
    const std::vector<double> m = run(negated, frames, 0.05, geometryFor(kRpm33, 60, -1.5), 1);
    for (std::int32_t i = 0; i < frames; ++i) {
        ASSERT_TRUE(sameBits(m[i], -d[i])) << i;
    }
}

TEST(TrackingError, SearchThatRunsToTheEndLeavesTheRestZero) {
    // A constant displacement shifts every sample by the same 100 output periods: the outputs
    // whose instants lie beyond the last shifted sample find no index.
    const std::int32_t frames = 200;
    const GrooveGeometry g = geometryFor(45, 60, 1.5);
    const double timingError = 100.0 / 44100;
    const double amplitude =
        static_cast<double>(timingError * g.grooveVelocity / g.trackingTangent / 20000 * 32768);
    const std::vector<double> u(highRateLength(frames), 20000.0);
    const std::vector<double> d = run(u, frames, amplitude, g, 2);
    const std::vector<double> r = referenceInterpolatedOutput(u, frames, amplitude, g);
    for (std::int32_t i = 0; i < frames; ++i) {
        ASSERT_TRUE(sameBits(d[i], r[i])) << i;
        EXPECT_EQ(d[i], i < 173 ? 20000.0 : 0.0) << i;
    }
}

TEST(TrackingError, BitIdenticalToDirectPassOnRandomInputs) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double rpm, radius, amplitude, degrees;
        std::int32_t frames;
        double velocity = 0, period = 0;  // overrides where not 0
    };
    const Case cases[] = {
        {45, 60, 0.05, 1.5, 300},        {kRpm33, 60, 0.05, 1.5, 300},
        {45, 60, 0.05, -1.5, 3},         {kRpm33, 120, 0.05, 30, 2},
        {45, 60, 0.05, 89.9, 120},       {45, 60, 0.05, -89.9, 120},
        {45, 60, 0.05, 90, 60},          {kRpm33, 60, 0.05, -90, 60},
        {45, 60, 0.0, 1.5, 1},           {45, 60, 0.05, 0, 150},
        {45, 60, 5.0, 10, 100},          {45, 60, 1e7, 1.5, 40},
        {45, -60, 0.05, 1.5, 300},       {45, 60, 1e-250, 1e-200, 50},
        {45, 60, 1e250, 80, 30},         {45, 60, 0.05, 1.5, 2500},
        {45, 0, 0.05, 1.5, 30},          {45, 60, 0.05, 1.5, 30, nan},
        {45, 60, 0.05, 1.5, 30, inf},    {45, 60, 0.05, 1.5, 30, 1e-300},
        {45, 60, 0.05, 1.5, 30, 0, inf}, {45, 60, 0.05, 1.5, 30, 0, -1.0 / 44100},
        {45, 60, 0.05, 1.5, 30, 0, nan},
    };
    std::mt19937_64 random(2024);
    std::uniform_real_distribution<double> sample(-32768, 32767);
    std::uniform_int_distribution<int> pick(0, 999);
    for (std::size_t c = 0; c < std::size(cases); ++c) {
        const Case& k = cases[c];
        GrooveGeometry g =
            deriveGrooveGeometry(DiscParameters{k.rpm, k.radius, 0, k.degrees}, 44100);
        if (k.velocity != 0 || std::isnan(k.velocity)) {
            g.grooveVelocity = k.velocity;
        }
        if (k.period != 0 || std::isnan(k.period)) {
            g.samplePeriod = k.period;
        }
        std::vector<double> u(highRateLength(k.frames));
        for (std::size_t j = 1; j < u.size(); ++j) {
            // Smooth material with noise, and now and then a value out of the ordinary.
            const double t = static_cast<double>(j) / 6350.4;
            u[j] = 15000 * std::sin(t * 2.3) + 0.3 * sample(random);
            switch (pick(random)) {
                case 0:
                    u[j] = nan;
                    break;
                case 1:
                    u[j] = (j & 1) ? inf : -inf;
                    break;
                case 2:
                    u[j] = 1e-310;
                    break;
                case 3:
                    u[j] = 1e305;
                    break;
                case 4:
                    u[j] = -0.0;
                    break;
                default:
                    break;
            }
        }
        if (c % 3 == 0) {
            u[0] = 1234.5;  // index 0 is normally 0; its missing predecessor counts as 0
        }
        const std::vector<double> expected =
            referenceInterpolatedOutput(u, k.frames, k.amplitude, g);
        for (int threads : {1, 2, 3}) {
            const std::vector<double> d = run(u, k.frames, k.amplitude, g, threads);
            ASSERT_EQ(d.size(), expected.size());
            for (std::size_t i = 0; i < d.size(); ++i) {
                ASSERT_TRUE(sameBits(d[i], expected[i]))
                    << "case " << c << " threads " << threads << " i " << i << ": " << d[i]
                    << " vs " << expected[i];
            }
        }
    }
}

TEST(TrackingError, SineAcquiresTheSecondHarmonicOfTheModel) {
    // y(t) read at t + y(t) tan a / v: a sine of amplitude A gains w A tan a / (2 v) of 2w.
    const std::int32_t frames = 4410;  // 100 periods of 1 kHz
    const double amplitude = 0.05, level = 16384;
    const GrooveGeometry g = geometryFor(45, 60, 10.0);
    const double w = 2 * M_PI * 1000;
    std::vector<double> u(highRateLength(frames));
    for (std::size_t j = 1; j < u.size(); ++j) {
        u[j] = level * std::sin(w * (static_cast<double>(j) - kAlignmentDelay) / (144 * 44100.0));
    }
    const std::vector<double> d = run(u, frames, amplitude, g, 2);
    auto harmonic = [&](int order) {
        std::complex<double> sum = 0;
        for (std::int32_t i = 0; i < frames; ++i) {
            sum += d[i] * std::polar(1.0, -order * w * i / 44100.0);
        }
        return std::abs(sum) * 2 / frames;
    };
    const double displacement = level * amplitude / 32768;
    const double predicted =
        w * displacement * static_cast<double>(g.trackingTangent) / (2 * g.grooveVelocity);
    EXPECT_NEAR(harmonic(1), level, level * 0.01);
    EXPECT_NEAR(harmonic(2) / harmonic(1), predicted, predicted * 0.01);
}
