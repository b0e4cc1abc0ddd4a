#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "analysis/distortion_analysis.hpp"
#include "analysis/distortion_prediction.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/stylus_model.hpp"
#include "tests/support/coefficients.hpp"
#include "tests/support/test_names.hpp"

namespace {

double decibels(double ratio) {
    return 20 * std::log10(ratio);
}

struct ChannelCase {
    MeasureChannel channel;
    int sampleRate;
    double angle;      // lateral tracking error, degrees
    double vta;        // degrees
    double cutting;    // degrees
    double velocity;   // mm/s along the channel's axis
    double frequency;  // Hz
};

// A sine cut in one channel, rendered through the stylus model at `sampleRate` and measured over
// one second after half a second of start-up.
PointResult measureChannel(const ChannelCase& c) {
    const TestSignal signal{SignalKind::Sine, c.frequency};
    MeasurementConditions conditions;
    conditions.radius = 60.325;
    conditions.trackingErrorDegrees = c.angle;
    conditions.peakVelocity = c.velocity;
    conditions.model = {PickupModel::Stylus, {c.vta, c.cutting}, c.channel, c.sampleRate, {}};
    const int rate = c.sampleRate;
    const ChainLevel level = chooseChainLevel(signal, c.velocity, rate, c.channel);
    const std::int64_t frames = rate / 2 + rate + rate / 10;
    DiscParameters disc;
    disc.revolutionsPerMinute = conditions.revolutionsPerMinute;
    disc.grooveRadius = conditions.radius;
    disc.fullScaleLateralAmplitude = level.fullScaleLateralAmplitude;
    disc.trackingErrorDegrees = c.angle;
    const std::vector<double> output =
        renderThroughChain(synthesiseTestSignal(signal, level, frames, rate), disc,
                           projectCoefficients(), 2, conditions.model);
    PointResult result;
    result.measured = analyseWindow(signal, output.data() + rate / 2, rate, rate);
    result.predicted = predictFigures(signal, conditions, rate);
    return result;
}

class StylusChannelAccuracy : public ::testing::TestWithParam<ChannelCase> {};

// The side moves by −z·Δ/v, a wall by y·(tan α ∓ Δ)/v: the harmonics of a sine in that channel
// alone follow the Kepler–Bessel series with that factor, every one above −100 dB within 0.01 dB.
TEST_P(StylusChannelAccuracy, HarmonicsFollowTheKeplerBesselSeriesWithTheChannelsFactor) {
    const ChannelCase c = GetParam();
    const PointResult result = measureChannel(c);
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
    EXPECT_GE(compared, 2);
}

INSTANTIATE_TEST_SUITE_P(Channels, StylusChannelAccuracy,
                         ::testing::ValuesIn(std::vector<ChannelCase>{
                             {MeasureChannel::Side, 44100, 0, 25, 20, 50, 1000},
                             {MeasureChannel::Side, 44100, 2, 15, 25, 100, 1000},
                             {MeasureChannel::Side, 96000, 0, 40, 10, 80, 1000},
                             {MeasureChannel::Left, 44100, 2, 25, 20, 70, 1000},
                             {MeasureChannel::Right, 44100, 2, 25, 20, 70, 1000},
                             {MeasureChannel::Left, 96000, -1.5, 15, 25, 100, 1000},
                             {MeasureChannel::Right, 96000, -1.5, 15, 25, 100, 1000},
                             {MeasureChannel::Left, 44100, 10, 30, 20, 50, 150},
                             {MeasureChannel::Mid, 44100, 2, 30, 20, 100, 1000},
                         }),
                         [](const ::testing::TestParamInfo<ChannelCase>& info) {
                             const ChannelCase& c = info.param;
                             return testCaseName(info.index,
                                                 std::string(measureChannelName(c.channel)) + " " +
                                                     std::to_string(c.sampleRate) + " Hz");
                         });

// Which wall gains the vertical error: a lift (z > 0) is played late by z·Δ/v, so the left wall
// (z = y) has tan α − Δ and the right (z = −y) tan α + Δ. With α = 0 and Δ > 0 the two walls
// distort alike in size, a mirror image in time; with α ≠ 0 the right wall distorts more.
TEST(StylusChannels, TheWallsDistortDifferentlyAsTheirFactorsSay) {
    const auto thd = [](MeasureChannel channel, double angle) {
        return measureChannel({channel, 44100, angle, 25, 20, 70, 1000}).measured.thd;
    };
    const double tangent = std::tan(3.0 * std::numbers::pi / 180);
    const double slope = static_cast<double>(verticalSlopeDifference({25, 20}));
    const double left = thd(MeasureChannel::Left, 3);
    const double right = thd(MeasureChannel::Right, 3);
    // To first order THD is proportional to the factor.
    EXPECT_NEAR(right / left, (tangent + slope) / std::fabs(tangent - slope), 0.01);
    EXPECT_NEAR(thd(MeasureChannel::Left, 0) / thd(MeasureChannel::Right, 0), 1.0, 1e-6);
    EXPECT_EQ(channelTiming(MeasureChannel::Side, tangent, slope).factor, -slope);
}

// The figure of the worked example and of the published study: the fm signal's peak deviation
// over 4 kHz is V·|Δ|/v for a vertical velocity V, measured as predicted.
TEST(StylusChannels, VerticalFmDistortionIsTheVelocityTimesTheSlopeOverTheGrooveSpeed) {
    TestSignal fm;
    std::string reason;
    ASSERT_TRUE(parseTestSignal("fm", fm, reason));
    for (const auto& [vta, cutting] : {std::pair{25.0, 20.0}, std::pair{25.0, 15.0}}) {
        MeasurementConditions conditions;
        conditions.radius = 60.325;
        conditions.peakVelocity = 50;
        conditions.model = {
            PickupModel::Stylus, {vta, cutting}, MeasureChannel::Side, kMeasureSampleRate, {}};
        const PointResult result = measurePoint(fm, conditions, projectCoefficients(), 2);
        const double grooveVelocity =
            deriveGrooveGeometry({100.0 / 3, 60.325, 1, 0}, 44100).grooveVelocity;
        const double slope = static_cast<double>(verticalSlopeDifference({vta, cutting}));
        EXPECT_NEAR(result.predicted.imd, 50 * slope / grooveVelocity, 1e-9);
        EXPECT_NEAR(result.measured.imd / result.predicted.imd, 1.0, 2e-3) << vta << "/" << cutting;
    }
}

}  // namespace
