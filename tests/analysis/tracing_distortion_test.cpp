#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/distortion_analysis.hpp"
#include "analysis/distortion_prediction.hpp"
#include "dsp/tip_tracing.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/support/coefficients.hpp"
#include "tests/support/test_names.hpp"

// The tip's tracing measured through the whole chain against the envelope of the tip rolling on
// each wall, computed directly and carried through the playback equalisation. The tracking error
// and the vertical one are 0 (no lateral error, the VTA equal to the cutting angle), so the tip's
// shape is all that distorts.

namespace {

double decibels(double ratio) {
    return 20 * std::log10(ratio);
}

StylusTip tipOf(const char* text) {
    std::string message;
    return parseStylusTip(text, message).value();
}

MeasurementConditions tracingConditions(const char* tip, MeasureChannel channel, double radius) {
    MeasurementConditions conditions;
    conditions.radius = radius;
    conditions.trackingErrorDegrees = 0.0;
    conditions.peakVelocity = 50.0;  // 5 cm/s along the channel's axis
    conditions.model.model = PickupModel::Stylus;
    conditions.model.channel = channel;
    conditions.model.tip = tipOf(tip);
    return conditions;
}

struct TracingCase {
    const char* tip;
    MeasureChannel channel;
    double frequency;  // Hz
    double radius;     // mm
};

std::string caseName(const TracingCase& c) {
    return std::string(c.tip) + " " + measureChannelName(c.channel) + " " +
           std::to_string(static_cast<int>(c.frequency)) + " Hz " +
           std::to_string(static_cast<int>(c.radius)) + " mm";
}

class TracingAccuracy : public ::testing::TestWithParam<TracingCase> {};

// H2 and H3 as measured from the rendered audio, within 0.05 dB of the envelope's wherever the
// prediction is above −80 dB; a harmonic the walls cancel (the even ones of a lateral tone) stays
// below −100 dB.
TEST_P(TracingAccuracy, HarmonicsAreThoseOfTheTipsEnvelope) {
    const TracingCase& c = GetParam();
    const TestSignal signal{SignalKind::Sine, c.frequency};
    const PointResult result = measurePoint(signal, tracingConditions(c.tip, c.channel, c.radius),
                                            projectCoefficients(), 1);
    int compared = 0;
    for (int h = 0; h < 2; ++h) {
        const double predicted = result.predicted.harmonics[h];
        const double measured = result.measured.harmonics[h];
        if (predicted == 0.0) {
            EXPECT_LT(decibels(measured), -100.0) << "H" << h + 2 << " cancels";
            continue;
        }
        if (decibels(predicted) > -80.0) {
            ++compared;
            EXPECT_NEAR(decibels(measured / predicted), 0.0, 0.05)
                << "H" << h + 2 << " predicted " << decibels(predicted) << " dB, measured "
                << decibels(measured) << " dB";
        }
    }
    EXPECT_GE(compared, 1);
}

INSTANTIATE_TEST_SUITE_P(Tips, TracingAccuracy,
                         ::testing::ValuesIn(std::vector<TracingCase>{
                             {"spherical:17.8", MeasureChannel::Left, 1000, 60.325},
                             {"spherical:17.8", MeasureChannel::Left, 1000, 146.05},
                             {"spherical:17.8", MeasureChannel::Left, 5000, 60.325},
                             {"spherical:17.8", MeasureChannel::Left, 5000, 146.05},
                             {"spherical:17.8", MeasureChannel::Right, 5000, 60.325},
                             {"spherical:17.8", MeasureChannel::Side, 1000, 60.325},
                             {"spherical:17.8", MeasureChannel::Side, 5000, 146.05},
                             {"spherical:17.8", MeasureChannel::Mid, 1000, 60.325},
                             {"spherical:17.8", MeasureChannel::Mid, 5000, 146.05},
                             {"elliptical:7x18", MeasureChannel::Left, 1000, 60.325},
                             {"elliptical:7x18", MeasureChannel::Left, 5000, 146.05},
                             {"elliptical:3x18", MeasureChannel::Mid, 5000, 60.325},
                         }),
                         [](const ::testing::TestParamInfo<TracingCase>& info) {
                             return testCaseName(info.index, caseName(info.param));
                         });

// The pinch effect: a lateral (mono) tone read by a spherical tip puts its second harmonic into
// the vertical. Cut as L = R, the side (L − R)/2 of the output holds it at the level the
// envelope predicts, over the mid's fundamental, within 0.05 dB; a point tip leaves the side
// silent.
TEST(TracingPinch, AMonoToneShowsThePinchEffectInTheSide) {
    const double frequency = 1000.0;
    const int rate = kMeasureSampleRate;
    for (const double radius : {60.325, 146.05}) {
        const MeasurementConditions conditions =
            tracingConditions("spherical:17.8", MeasureChannel::Mid, radius);
        const TestSignal signal{SignalKind::Sine, frequency};
        const ChainLevel level = chooseChainLevel(signal, conditions.peakVelocity, rate);
        const std::int64_t frames = kMeasureSkipFrames + kMeasureWindowFrames + kMeasureTailFrames;
        const std::vector<double> tone = synthesiseTestSignal(signal, level, frames, rate);
        std::vector<double> stereo(2 * tone.size());
        for (std::size_t m = 0; m < tone.size(); ++m) {
            stereo[2 * m] = stereo[2 * m + 1] = tone[m];
        }
        for (const bool point : {false, true}) {
            ChainSettings settings = measuredChainSettings(signal, conditions);
            settings.channelCount = 2;
            settings.coefficients = &projectCoefficients();
            if (point) {
                settings.tip = StylusTip{};
            }
            StreamingChain chain(settings);
            chain.pushFrames(stereo.data(), frames);
            chain.finish();
            std::vector<double> output(stereo.size());
            ASSERT_EQ(chain.pullFrames(output.data(), frames), frames);
            std::vector<double> mid(static_cast<std::size_t>(kMeasureWindowFrames));
            std::vector<double> side(mid.size());
            for (std::size_t m = 0; m < mid.size(); ++m) {
                const std::size_t at = 2 * (static_cast<std::size_t>(kMeasureSkipFrames) + m);
                mid[m] = (output[at] + output[at + 1]) / 2;
                side[m] = (output[at] - output[at + 1]) / 2;
            }
            const std::int64_t n = kMeasureWindowFrames;
            const double fundamental = binAmplitude(mid.data(), n, 1000);
            const double pinch = binAmplitude(side.data(), n, 2000) / fundamental;
            if (point) {
                EXPECT_EQ(pinch, 0.0) << "a point tip at " << radius << " mm";
                continue;
            }
            const double predicted = predictTracedHarmonics(frequency, conditions, rate).pinch[0];
            EXPECT_GT(decibels(predicted), -60.0);
            EXPECT_NEAR(decibels(pinch / predicted), 0.0, 0.05)
                << radius << " mm: predicted " << decibels(predicted) << " dB, measured "
                << decibels(pinch) << " dB";
        }
    }
}

}  // namespace
