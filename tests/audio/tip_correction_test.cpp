#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/tip_correction.hpp"
#include "tests/support/engine_runs.hpp"
#include "tests/support/round_trips.hpp"
#include "tests/support/stylus_runs.hpp"

namespace {

constexpr double k33 = 100.0 / 3;

struct SplitCase {
    const char* name;
    bool music;     // the bundled music, else a 1 kHz tone
    double radius;  // mm, with `angle`; or 0 for a Baerwald-like arm from 146 to 60.3 mm
    double angle;   // degrees
    double vta;     // degrees, on a 20-degree cut
    StylusTip tip;
    double limitDecibels;
};

void PrintTo(const SplitCase& c, std::ostream* out) {
    *out << c.name;
}

class TipSplitTest : public ::testing::TestWithParam<SplitCase> {};

// What correct's iteration rests on: render is the tip's tracing followed by the tracking, so
// that the chain with a point tip, run on the chain with the tip and no timing error, plays what
// the whole chain plays. What separates them is what the tracing puts above the band, which the
// whole chain moves before it is filtered out and the split one filters out first.
TEST_P(TipSplitTest, RenderIsTheTracingThenTheTracking) {
    const SplitCase& c = GetParam();
    const std::int64_t frames = 44100;
    const std::vector<double> input =
        c.music ? bundledMusic(frames) : fadedTone(1000, 16384, frames, 44100, 2);
    const EngineCase engine{c.name,
                            frames,
                            2,
                            44100,
                            {k33, c.radius, amplitudeForVelocity(1000, 16384, 50, 44100), c.angle},
                            16384};
    ChainSettings played = engineSettings(engine, 2);
    played.model = PickupModel::Stylus;
    played.stylus = {c.vta, 20};
    played.tip = c.tip;
    if (c.radius == 0) {
        played.moving = true;
        played.path = armPath(146, 60.3, engine);
    }
    ChainSettings pointTip = played;
    pointTip.tip = StylusTip{};
    const std::vector<std::int64_t> pieces = evenPieces(frames, 4096);
    const std::vector<double> whole = runEngine(played, input, pieces);
    const std::vector<double> traced = runEngine(tipOnlySettings(played), input, pieces);
    const std::vector<double> split = runEngine(pointTip, traced, pieces);
    const double tracing = residualDecibels(input, traced);
    const double apart = residualDecibels(whole, split);
    std::printf("%s: the tracing %.1f dB, split from whole %.1f dB\n", c.name, tracing, apart);
    EXPECT_LT(apart, c.limitDecibels);
    // The tip-only chain traces: it is not the input.
    EXPECT_GT(tracing, -80.0);
}

const StylusTip kSpherical{StylusShape::Spherical, 17.8, 17.8};
const StylusTip kElliptical{StylusShape::Elliptical, 7, 18};

INSTANTIATE_TEST_SUITE_P(
    Cases, TipSplitTest,
    ::testing::Values(SplitCase{"ToneOuterGroove", false, 146.05, 3, 20, kSpherical, -103},
                      SplitCase{"ToneArmStylusModel", false, 0, 0, 30, kSpherical, -103},
                      SplitCase{"MusicInnerGroove", true, 60.325, -2, 25, kElliptical, -103},
                      SplitCase{"MusicArmSpherical", true, 0, 0, 30, kSpherical, -103}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

// The residual's scale: a ratio in dB, the floor where nothing is left, and 0 dB for a difference
// from silence.
TEST(TipResidual, IsARatioInDecibelsWithAFloor) {
    struct Case {
        long double difference, reference;
        double decibels;
    };
    for (const Case& c :
         {Case{1.0L, 100.0L, -20.0}, Case{1.0L, 1e10L, -100.0},
          Case{0.0L, 5.0L, kResidualFloorDecibels}, Case{1e-40L, 1.0L, kResidualFloorDecibels},
          Case{0.0L, 0.0L, kResidualFloorDecibels}, Case{3.0L, 0.0L, 0.0}}) {
        EXPECT_NEAR(residualDecibels(c.difference, c.reference), c.decibels, 1e-9)
            << static_cast<double>(c.difference) << " / " << static_cast<double>(c.reference);
    }
}

}  // namespace
