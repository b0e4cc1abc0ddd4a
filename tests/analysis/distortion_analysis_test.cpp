#include "analysis/distortion_analysis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "analysis/distortion_prediction.hpp"
#include "dsp/coefficient_set.hpp"
#include "dsp/sample_buffer.hpp"
#include "dsp/shelving_filter.hpp"
#include "tests/support/coefficients.hpp"
#include "tests/support/test_names.hpp"
#include "tests/support/whole_signal.hpp"

namespace {

double decibels(double ratio) {
    return 20 * std::log10(ratio);
}

constexpr double kRadius = 100.0;

// The tracking angle that gives the lower tone (at `peakVelocity`) the modulation index e.
double angleForIndex(double e, double peakVelocity) {
    const double grooveVelocity = 2 * std::numbers::pi * kRadius * (100.0 / 3.0) / 60;
    return std::atan(e * grooveVelocity / peakVelocity) * 180 / std::numbers::pi;
}

PointResult measureAt(const TestSignal& signal, double angle, double peakVelocity = 100.0) {
    MeasurementConditions conditions;
    conditions.radius = kRadius;
    conditions.peakVelocity = peakVelocity;
    conditions.trackingErrorDegrees = angle;
    return measurePoint(signal, conditions, projectCoefficients(), 2);
}

struct AccuracyCase {
    double frequency;
    double e;
};

class SineAccuracy : public ::testing::TestWithParam<AccuracyCase> {};

// Every harmonic above -100 dB of the fundamental within 0.01 dB of the Kepler-Bessel series
// carried through the playback filter.
TEST_P(SineAccuracy, HarmonicsMatchTheKeplerBesselSeries) {
    const AccuracyCase c = GetParam();
    const PointResult result =
        measureAt(TestSignal{SignalKind::Sine, c.frequency}, angleForIndex(c.e, 100.0));
    EXPECT_NEAR(result.modulationIndex, c.e, c.e * 1e-9);
    int compared = 0;
    for (int h = 0; h < 4; ++h) {
        const double predicted = result.predicted.harmonics[h];
        const double measured = result.measured.harmonics[h];
        if (decibels(predicted) > -100.0) {
            ++compared;
            EXPECT_NEAR(decibels(measured / predicted), 0.0, 0.01)
                << "H" << h + 2 << " predicted " << decibels(predicted) << " dB, measured "
                << decibels(measured) << " dB";
        }
    }
    EXPECT_GE(compared, 1);
}

INSTANTIATE_TEST_SUITE_P(Indexes, SineAccuracy,
                         ::testing::ValuesIn(std::vector<AccuracyCase>{{1000, 0.001},
                                                                       {1000, 0.003},
                                                                       {1000, 0.01},
                                                                       {1000, 0.03},
                                                                       {1000, 0.1},
                                                                       {1000, 0.2},
                                                                       {1000, 0.3},
                                                                       {150, 0.001},
                                                                       {150, 0.003},
                                                                       {150, 0.01},
                                                                       {150, 0.03},
                                                                       {150, 0.1},
                                                                       {150, 0.2},
                                                                       {150, 0.3}}),
                         [](const ::testing::TestParamInfo<AccuracyCase>& info) {
                             return testCaseName(
                                 info.index,
                                 std::to_string(static_cast<int>(info.param.frequency)) + " Hz e " +
                                     std::to_string(info.param.e));
                         });

// The prediction itself against Kepler's equation solved by Newton's method at every instant and
// read at the harmonic bins: an independent route to the same series.
TEST(KeplerHarmonics, MatchKeplersEquationSolvedDirectly) {
    constexpr int kPoints = 4096;
    for (const double e : {0.001, 0.05, 0.3, 0.7}) {
        std::vector<double> displacement(kPoints);
        for (int m = 0; m < kPoints; ++m) {
            const double meanAnomaly = 2 * std::numbers::pi * m / kPoints;
            double eccentric = meanAnomaly;
            for (int step = 0; step < 50; ++step) {
                eccentric -= (eccentric - e * std::sin(eccentric) - meanAnomaly) /
                             (1 - e * std::cos(eccentric));
            }
            displacement[static_cast<std::size_t>(m)] = std::sin(eccentric);
        }
        const double fundamental = binAmplitude(displacement.data(), kPoints, 1);
        for (int n = 2; n <= 5; ++n) {
            const double direct = binAmplitude(displacement.data(), kPoints, n) / fundamental;
            EXPECT_NEAR(keplerHarmonicRatio(n, e), direct, 1e-12 + direct * 1e-9)
                << "e " << e << " n " << n;
        }
    }
    EXPECT_EQ(keplerHarmonicRatio(2, 0.0), 0.0);
    EXPECT_DOUBLE_EQ(keplerHarmonicRatio(3, -0.2), keplerHarmonicRatio(3, 0.2));
    EXPECT_TRUE(std::isnan(keplerHarmonicRatio(2, 1.0)));
    EXPECT_TRUE(std::isnan(keplerHarmonicRatio(2, -3.0)));
}

struct TwoToneCase {
    const char* signal;
    double angle;
    double velocity;  // mm/s
};

class TwoToneAgreement : public ::testing::TestWithParam<TwoToneCase> {};

// The first-order predictions leave out terms of a higher order in the modulation index, well
// under a part in a thousand at these levels.
TEST_P(TwoToneAgreement, MeasuredFigureMatchesTheFirstOrderPrediction) {
    const TwoToneCase c = GetParam();
    TestSignal signal;
    std::string reason;
    ASSERT_TRUE(parseTestSignal(c.signal, signal, reason)) << reason;
    const PointResult result = measureAt(signal, c.angle, c.velocity);
    EXPECT_TRUE(std::isnan(result.measured.thd));
    EXPECT_GT(result.measured.imd, 0.0);
    EXPECT_NEAR(result.measured.imd / result.predicted.imd, 1.0, 1e-3)
        << "measured " << result.measured.imd << " predicted " << result.predicted.imd;
}

INSTANTIATE_TEST_SUITE_P(Signals, TwoToneAgreement,
                         ::testing::ValuesIn(std::vector<TwoToneCase>{{"smpte", 0.5, 10.0},
                                                                      {"smpte", 2.0, 100.0},
                                                                      {"ccif", 0.5, 100.0},
                                                                      {"ccif", 5.0, 100.0},
                                                                      {"fm", 0.5, 100.0},
                                                                      {"fm", 5.0, 100.0}}),
                         [](const ::testing::TestParamInfo<TwoToneCase>& info) {
                             return testCaseName(info.index, std::string(info.param.signal) +
                                                                 " angle " +
                                                                 std::to_string(info.param.angle));
                         });

// Without a tracking error the chain is linear: whatever the figures read is rounding.
TEST(MeasurementFloor, NoTrackingErrorLeavesOnlyRounding) {
    for (const char* name : {"sine:1000", "sine:150", "sine:5000", "smpte", "ccif", "fm"}) {
        TestSignal signal;
        std::string reason;
        ASSERT_TRUE(parseTestSignal(name, signal, reason)) << reason;
        const PointResult result = measureAt(signal, 0.0);
        for (double h : result.measured.harmonics) {
            if (!std::isnan(h)) {
                EXPECT_LT(h, 1e-13) << name;
            }
        }
        const double figure =
            signal.kind == SignalKind::Sine ? result.measured.thd : result.measured.imd;
        EXPECT_LT(figure, 1e-13) << name;
        EXPECT_EQ(signal.kind == SignalKind::Sine ? result.predicted.thd : result.predicted.imd,
                  0.0)
            << name;
    }
}

// The level: after the recording filter the lower tone has the asked peak velocity.
TEST(ChainLevel, LowerToneHasTheAskedVelocityInTheGroove) {
    for (const char* name : {"sine:1000", "sine:40", "smpte", "ccif", "fm"}) {
        TestSignal signal;
        std::string reason;
        ASSERT_TRUE(parseTestSignal(name, signal, reason)) << reason;
        const double velocity = 70.0;  // mm/s
        const ChainLevel level = chooseChainLevel(signal, velocity, kMeasureSampleRate);
        const std::int64_t frames = kMeasureSkipFrames + kMeasureWindowFrames;
        const std::vector<double> input =
            synthesiseTestSignal(signal, level, frames, kMeasureSampleRate);
        double peak = 0.0;
        for (double value : input) {
            peak = std::max(peak, std::fabs(value));
        }
        EXPECT_NEAR(peak, kMeasureInputPeak, 1e-6 * kMeasureInputPeak) << name;
        SampleBuffer buffer(input.size());
        std::copy(input.begin(), input.end(), buffer.data());
        const SampleBuffer filtered = filterLateral(std::move(buffer), kMeasureSampleRate);
        const double lowerFrequency = testTones(signal).front().frequency;
        const double amplitude =
            binAmplitude(filtered.data() + kMeasureSkipFrames, kMeasureWindowFrames,
                         static_cast<std::int64_t>(lowerFrequency));
        const double displacement = amplitude * level.fullScaleLateralAmplitude / 32768;
        // What the 1 Hz pole still holds of the fade-in moves the lowest tones by 1e-7.
        EXPECT_NEAR(2 * std::numbers::pi * lowerFrequency * displacement, velocity, velocity * 1e-6)
            << name;
    }
}

TEST(BinAmplitude, ReadsEachWholeBinToleratingNoLeakage) {
    constexpr std::int64_t n = 1000;
    std::vector<double> x(n);
    for (std::int64_t m = 0; m < n; ++m) {
        const double t = 2 * std::numbers::pi * static_cast<double>(m) / n;
        x[static_cast<std::size_t>(m)] =
            0.25 + 3.0 * std::cos(7 * t + 0.4) + 1e-9 * std::sin(40 * t) + 0.5 * std::cos(499 * t);
    }
    EXPECT_NEAR(binAmplitude(x.data(), n, 7), 3.0, 1e-13);
    EXPECT_NEAR(binAmplitude(x.data(), n, 40), 1e-9, 1e-14);  // the others' rounding
    EXPECT_NEAR(binAmplitude(x.data(), n, 499), 0.5, 1e-13);
    EXPECT_LT(binAmplitude(x.data(), n, 8), 1e-14);
    EXPECT_NEAR(binAmplitude(x.data(), n, 0), 0.5, 1e-13);  // 2 |X_0| / N: twice the mean
}

struct SignalTextCase {
    const char* text;
    bool valid;
    SignalKind kind;
    double frequency;
};

class SignalText : public ::testing::TestWithParam<SignalTextCase> {};

TEST_P(SignalText, ParsesOrRefusesWithAReason) {
    const SignalTextCase c = GetParam();
    TestSignal signal;
    std::string reason;
    EXPECT_EQ(parseTestSignal(c.text, signal, reason), c.valid) << c.text;
    if (c.valid) {
        EXPECT_EQ(signal.kind, c.kind);
        EXPECT_EQ(signal.frequency, c.frequency);
        if (c.kind == SignalKind::Sine) {
            EXPECT_EQ(testSignalName(signal),
                      "sine:" + std::to_string(static_cast<int>(c.frequency)));
        }
    } else {
        EXPECT_FALSE(reason.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, SignalText,
                         ::testing::ValuesIn(std::vector<SignalTextCase>{
                             {"sine:1000", true, SignalKind::Sine, 1000},
                             {"sine:997.4", true, SignalKind::Sine, 997},
                             {"sine:10", true, SignalKind::Sine, 10},
                             {"sine:11024", true, SignalKind::Sine, 11024},
                             {"sine:11025", false, SignalKind::Sine, 0},
                             {"sine:9", false, SignalKind::Sine, 0},
                             {"sine:", false, SignalKind::Sine, 0},
                             {"sine:1k", false, SignalKind::Sine, 0},
                             {"sine:nan", false, SignalKind::Sine, 0},
                             {"smpte", true, SignalKind::Smpte, 60},
                             {"ccif", true, SignalKind::Ccif, 19000},
                             {"fm", true, SignalKind::Fm, 400},
                             {"SMPTE", false, SignalKind::Sine, 0},
                             {"", false, SignalKind::Sine, 0}}),
                         [](const ::testing::TestParamInfo<SignalTextCase>& info) {
                             return literalCaseName(info.index, info.param.text);
                         });

}  // namespace

namespace {

// The points are shared among the workers however many there are: each result is the point's
// own, as measurePoint gives it, in the points' order.
TEST(MeasurePoints, EachPointIsMeasuredOnItsOwnWhateverTheWorkers) {
    const TestSignal signal{SignalKind::Sine, 1000.0};
    std::vector<MeasurementConditions> points(3);
    points[0].trackingErrorDegrees = 1.0;
    points[1].trackingErrorDegrees = -2.0;
    points[1].radius = 70.0;
    points[2].trackingErrorDegrees = 0.5;
    points[2].revolutionsPerMinute = 45.0;
    std::vector<PointResult> alone;
    for (const MeasurementConditions& point : points) {
        alone.push_back(measurePoint(signal, point, projectCoefficients(), 1));
    }
    for (const int workers : {1, 2, 8}) {
        SCOPED_TRACE(workers);
        const std::vector<PointResult> results =
            measurePoints(signal, points, projectCoefficients(), workers);
        ASSERT_EQ(results.size(), points.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            EXPECT_EQ(results[i].measured.harmonics, alone[i].measured.harmonics) << i;
            EXPECT_EQ(results[i].predicted.thd, alone[i].predicted.thd) << i;
            EXPECT_EQ(results[i].modulationIndex, alone[i].modulationIndex) << i;
        }
    }
    EXPECT_TRUE(measurePoints(signal, {}, projectCoefficients(), 4).empty());
}

}  // namespace
