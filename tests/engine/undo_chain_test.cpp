#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/tonearm.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/reference/reference_stylus.hpp"
#include "tests/reference/reference_tracking.hpp"
#include "tests/support/coefficients.hpp"
#include "tests/support/engine_runs.hpp"
#include "tests/support/round_trips.hpp"
#include "tests/support/stylus_runs.hpp"

namespace {

constexpr double k33 = 100.0 / 3;

struct UndoCase {
    EngineCase engine;
    PickupModel model;
    bool arm;  // a 9-inch arm across the side from 146 to 60.3 mm
};

void PrintTo(const UndoCase& c, std::ostream* out) {
    *out << c.engine.name;
}

class UndoChainTest : public ::testing::TestWithParam<UndoCase> {};

// Undoing is the direct pass with every tangent and Δ negated, bit for bit, for any cut of the
// input, thread count and kernel.
TEST_P(UndoChainTest, IsTheDirectPassWithTheTimingNegated) {
    const UndoCase& u = GetParam();
    const EngineCase& c = u.engine;
    const std::vector<double> input = randomInput(c, 29u + static_cast<unsigned>(c.frames));
    ChainSettings settings = engineSettings(c, 1);
    settings.model = u.model;
    settings.stylus = {25, 15};
    ReferenceStylus reference;
    reference.verticalTrackingDegrees = 25;
    reference.cuttingDegrees = 15;
    reference.undo = true;
    if (u.arm) {
        settings.moving = true;
        settings.path = armPath(146, 60.3, c);
        reference.geometryAt = referenceSideGeometry(settings.path, c);
    }
    const std::vector<double> expected = referenceStylusUnscaledOutput(
        input, c.channels, c.sampleRate, c.disc, projectTapLists(), reference);
    expectSameForAnySplit(undoing(settings), input, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UndoChainTest,
    ::testing::Values(
        UndoCase{{"LateralMono", 2500, 1, 44100, {k33, 60.3, 0.08, 2.5}, 30000},
                 PickupModel::Lateral,
                 false},
        UndoCase{{"LateralMonoNegative", 2000, 1, 96000, {45, 120, 0.05, -1.5}, 30000},
                 PickupModel::Lateral,
                 false},
        UndoCase{{"StylusStereo", 2500, 2, 44100, {k33, 60.3, 0.08, 1.5}, 30000},
                 PickupModel::Stylus,
                 false},
        UndoCase{{"StrongDistortion", 2000, 2, 44100, {k33, 30, 0.1, 20}, 32000},
                 PickupModel::Stylus,
                 false},
        UndoCase{{"LateralMonoArm", 3000, 1, 44100, {k33, 0, 0.05, 0}, 25000},
                 PickupModel::Lateral,
                 true},
        UndoCase{
            {"StylusArm", 3000, 2, 44100, {k33, 0, 0.05, 0}, 25000}, PickupModel::Stylus, true}),
    [](const ::testing::TestParamInfo<UndoCase>& info) {
        return std::string(info.param.engine.name);
    });

// A fixed angle undone is the same angle of the other sign played: the chain's tangent is odd in
// the angle to the last bit, and so the timing of each sample is negated exactly.
TEST(UndoChainExactness, AFixedAngleUndoneIsTheOppositeAnglePlayed) {
    for (const PickupModel model : {PickupModel::Lateral, PickupModel::Stylus}) {
        const EngineCase c{"Opposite", 3000, 2, 44100, {k33, 70, 0.08, 2.75}, 30000};
        const std::vector<double> input = randomInput(c, 41u);
        ChainSettings undo = engineSettings(c, 2);
        undo.model = model;
        undo.stylus = {20, 20};  // Δ = 0: only the tangent's sign to follow
        undo.direction = TimingDirection::Undo;
        ChainSettings opposite = undo;
        opposite.direction = TimingDirection::Play;
        opposite.disc.trackingErrorDegrees = -c.disc.trackingErrorDegrees;
        expectSameBits(runEngine(opposite, input, randomPieces(c.frames, 7u)),
                       runEngine(undo, input, randomPieces(c.frames, 8u)),
                       model == PickupModel::Lateral ? "lateral" : "stylus");
    }
}

// How a signal is played and undone.
struct RoundTripCase {
    const char* name;
    bool music;  // the bundled music, else a 1 kHz tone
    PickupModel model;
    double angle;          // degrees, fixed; or
    bool arm;              // a 9-inch arm from 146 to 60.3 mm, or
    bool side;             // the fixed angle across the side from 146 to 60.3 mm
    double vta;            // degrees, with a cutting angle of 20
    double limitDecibels;  // what comes back lies at most this far from what went in
};

void PrintTo(const RoundTripCase& c, std::ostream* out) {
    *out << c.name;
}

class RoundTripTest : public ::testing::TestWithParam<RoundTripCase> {};

// Undoing a played signal gives it back: the method is exact, and what is left is the
// interpolation between the high-rate samples, applied twice. Measured: tones -133 to -134 dB,
// the music -114 to -130 dB (the loudest onsets leave the most); the limits stand 5 to 9 dB
// above.
TEST_P(RoundTripTest, UndoingAPlayedSignalGivesItBack) {
    const RoundTripCase& r = GetParam();
    constexpr int kRate = 44100;
    constexpr std::int64_t kFrames = 2 * kRate;
    // 10 cm/s peak at 1 kHz for a tone at -6 dB of full scale; the music at the same scale.
    const double amplitude = amplitudeForVelocity(1000, 16384, 100, kRate);
    std::vector<double> input =
        r.music ? bundledMusic(kFrames) : fadedTone(1000, 16384, kFrames, kRate, 2);
    if (!r.music && r.model == PickupModel::Stylus) {
        // The tone on the left wall alone, so that it has a vertical part.
        for (std::size_t k = 1; k < input.size(); k += 2) {
            input[k] = 0.0;
        }
    }
    const EngineCase c{r.name, kFrames, 2, kRate, {k33, 60.3, amplitude, r.angle}, 0};
    ChainSettings settings = engineSettings(c, 2);
    settings.model = r.model;
    settings.stylus = {r.vta, 20};
    if (r.arm || r.side) {
        settings.moving = true;
        settings.path = armPath(146, 60.3, c);
        if (r.side) {
            settings.path.arm = Tonearm{};
            settings.path.arm.fixedAngleDegrees = r.angle;
        }
    }
    const std::vector<double> back = playedAndUndone(settings, input);
    const std::vector<double> played = runEngine(settings, input, evenPieces(kFrames, 4096));
    const double residual = residualDecibels(input, back);
    const double distortion = residualDecibels(input, played);
    RecordProperty("played_db", std::to_string(distortion));
    RecordProperty("undone_db", std::to_string(residual));
    EXPECT_LT(residual, r.limitDecibels) << "played: " << distortion << " dB";
    // What was taken out is far more than what is left.
    EXPECT_LT(residual, distortion - 40.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RoundTripTest,
    ::testing::Values(
        RoundTripCase{"ToneFixedAngle", false, PickupModel::Lateral, 3, false, false, 20, -125},
        RoundTripCase{"MusicFixedAngle", true, PickupModel::Lateral, 3, false, false, 20, -105},
        RoundTripCase{"ToneSideAtThreeDegrees", false, PickupModel::Lateral, 3, false, true, 20,
                      -125},
        RoundTripCase{"MusicSideAtThreeDegrees", true, PickupModel::Lateral, 3, false, true, 20,
                      -105},
        RoundTripCase{"MusicArm", true, PickupModel::Lateral, 0, true, false, 20, -105},
        RoundTripCase{"MusicStylusVta", true, PickupModel::Stylus, 3, false, false, 30, -105},
        RoundTripCase{"MusicStylusArmVta", true, PickupModel::Stylus, 0, true, false, 30, -105},
        RoundTripCase{"ToneStylusVta", false, PickupModel::Stylus, -3, false, false, 30, -125}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace
