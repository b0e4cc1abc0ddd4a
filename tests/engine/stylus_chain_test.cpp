#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/tonearm.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/reference/reference_chain.hpp"
#include "tests/reference/reference_stylus.hpp"
#include "tests/reference/reference_tracking.hpp"
#include "tests/support/coefficients.hpp"
#include "tests/support/engine_runs.hpp"
#include "tests/support/stylus_runs.hpp"

namespace {

constexpr double k33 = 100.0 / 3;

struct StylusCase {
    EngineCase engine;
    double verticalTrackingDegrees;
    double cuttingDegrees;
};

void PrintTo(const StylusCase& c, std::ostream* out) {
    *out << c.engine.name;
}

ChainSettings stylusSettings(const EngineCase& c, double vta, double cutting) {
    ChainSettings settings = engineSettings(c, 1);
    settings.model = PickupModel::Stylus;
    settings.stylus.verticalTrackingDegrees = vta;
    settings.stylus.cuttingDegrees = cutting;
    return settings;
}

class StylusChainTest : public ::testing::TestWithParam<StylusCase> {};

TEST_P(StylusChainTest, MatchesTheDirectImplementationForAnySplitAndThreadCount) {
    const StylusCase& s = GetParam();
    const EngineCase& c = s.engine;
    const std::vector<double> input = randomInput(c, 17u + static_cast<unsigned>(c.frames));
    ReferenceStylus stylus;
    stylus.verticalTrackingDegrees = s.verticalTrackingDegrees;
    stylus.cuttingDegrees = s.cuttingDegrees;
    const std::vector<double> expected = referenceStylusUnscaledOutput(
        input, c.channels, c.sampleRate, c.disc, projectTapLists(), stylus);
    expectSameForAnySplit(stylusSettings(c, s.verticalTrackingDegrees, s.cuttingDegrees), input,
                          expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StylusChainTest,
    ::testing::Values(
        StylusCase{{"Typical45", 3000, 2, 44100, {45, 60, 0.05, 1.5}, 20000}, 20, 20},
        StylusCase{{"Typical33Negative", 2500, 2, 44100, {k33, 120, 0.08, -1.5}, 30000}, 25, 20},
        StylusCase{{"ShallowVta", 2500, 2, 44100, {k33, 60.3, 0.08, 1.5}, 30000}, 15, 25},
        StylusCase{{"StrongDistortion", 2000, 2, 44100, {k33, 30, 0.1, 20}, 32000}, 25, 20},
        StylusCase{{"NearlyNinetyDegrees", 1500, 2, 44100, {45, 60, 0.05, 89.9}, 32000}, 0, 0},
        StylusCase{{"NoErrorAtAll", 1000, 2, 44100, {45, 60, 0.05, 0}, 30000}, 20, 20},
        StylusCase{{"VerticalErrorAlone", 1500, 2, 44100, {k33, 40, 0.1, 0}, 32000}, 45, 10},
        StylusCase{{"HugeTimingErrors", 1500, 2, 44100, {45, 0.01, 1.0, 45}, 32000}, 80, 5},
        StylusCase{{"OneFrame", 1, 2, 44100, {45, 60, 0.05, 1.5}, 30000}, 25, 20},
        StylusCase{{"ThreeFrames", 3, 2, 44100, {k33, 60, 0.05, -1.5}, 30000}, 15, 25},
        StylusCase{{"Mono", 2000, 1, 44100, {45, 60, 0.05, 1.5}, 30000}, 25, 20},
        StylusCase{{"Stereo96k", 2000, 2, 96000, {k33, 100, 0.05, 2.5}, 30000}, 25, 20},
        StylusCase{{"Stereo192k", 1500, 2, 192000, {45, 70, 0.05, -2}, 30000}, 15, 20},
        StylusCase{{"Stereo32k", 1500, 2, 32000, {k33, 70, 0.05, 2}, 30000}, 25, 15},
        StylusCase{
            {"InfiniteSample", 1500, 2, 44100, {45, 60, 0.05, 1.5}, 20000, 1.0 / 0.0}, 25, 20},
        StylusCase{
            {"NotANumber", 1500, 2, 44100, {45, 60, 0.05, 1.5}, 20000, std::nan("")}, 25, 20},
        StylusCase{{"HugeSample", 1500, 2, 44100, {45, 60, 0.05, 1.5}, 20000, 1e300}, 15, 25},
        StylusCase{{"LongerThanAPiece", 20000, 2, 44100, {45, 60, 0.05, 1.5}, 25000}, 25, 20}),
    [](const ::testing::TestParamInfo<StylusCase>& info) {
        return std::string(info.param.engine.name);
    });

// A side as it plays: each index takes the tangent and velocity of its own radius, Δ stays.
TEST(StylusChainSide, FollowsTheArmAcrossTheSideAsTheDirectPassDoes) {
    const EngineCase c{"Side", 3000, 2, 44100, {k33, 0, 0.05, 0}, 25000};
    const std::vector<double> input = randomInput(c, 5u);
    for (const auto& [from, to] : {std::pair{146.0, 60.3}, std::pair{60.3, 40.0}}) {
        const GroovePath path = armPath(from, to, c);
        ReferenceStylus stylus;
        stylus.verticalTrackingDegrees = 25;
        stylus.cuttingDegrees = 15;
        stylus.geometryAt = referenceSideGeometry(path, c);
        const std::vector<double> expected = referenceStylusUnscaledOutput(
            input, 2, c.sampleRate, c.disc, projectTapLists(), stylus);
        for (int threads : {1, 2}) {
            ChainSettings settings = stylusSettings(c, 25, 15);
            settings.threadCount = threads;
            settings.moving = true;
            settings.path = path;
            expectSameBits(expected, runEngine(settings, input, randomPieces(c.frames, 3u)),
                           std::to_string(from) + " to " + std::to_string(to) + ", " +
                               std::to_string(threads) + " thread(s)");
        }
    }
}

// A signal on one wall alone warps only that wall: the other channel's output is the warp of
// silence, exactly 0, and the two components that make it up cancel to the last bit.
TEST(StylusChainExactness, OneWallAloneLeavesTheOtherSilent) {
    const EngineCase c{"OneWall", 6000, 2, 44100, {k33, 60.3, 0.1, 20}, 0};
    for (const bool left : {true, false}) {
        std::vector<double> input(static_cast<std::size_t>(2 * c.frames), 0.0);
        for (std::int64_t i = 0; i < c.frames; ++i) {
            input[static_cast<std::size_t>(2 * i + (left ? 0 : 1))] =
                std::round(30000 * std::sin(0.09 * static_cast<double>(i)));
        }
        for (int threads : {1, 2}) {
            ChainSettings settings = stylusSettings(c, 25, 15);
            settings.threadCount = threads;
            const std::vector<double> output =
                runEngine(settings, input, randomPieces(c.frames, 8u));
            double played = 0.0;
            for (std::int64_t i = 0; i < c.frames; ++i) {
                const double other = output[static_cast<std::size_t>(2 * i + (left ? 1 : 0))];
                ASSERT_EQ(std::bit_cast<std::uint64_t>(other), 0u)
                    << (left ? "right" : "left") << " at " << i << ": " << other;
                played = std::max(
                    played, std::fabs(output[static_cast<std::size_t>(2 * i + (left ? 0 : 1))]));
            }
            EXPECT_GT(played, 10000.0) << "the wall that carries the signal plays it";
        }
    }
}

// What has no side plays as the lateral model plays it, bit for bit, whatever the angles: a
// single channel, and a stereo signal with L = R, whose side is exactly 0 all along.
TEST(StylusChainExactness, WithoutASideTheLateralModelIsWhatPlays) {
    const EngineCase mono{"Mono", 3000, 1, 44100, {k33, 60.3, 0.1, 20}, 32000};
    const EngineCase twin{"Twin", 3000, 2, 44100, {k33, 60.3, 0.1, 20}, 32000};
    const std::vector<double> monoInput = randomInput(mono, 21u);
    std::vector<double> twinInput(2 * monoInput.size());
    for (std::size_t i = 0; i < monoInput.size(); ++i) {
        twinInput[2 * i] = twinInput[2 * i + 1] = monoInput[i];
    }
    const GroovePath path = armPath(146, 60.3, mono);
    for (const bool moving : {false, true}) {
        for (const EngineCase* c : {&mono, &twin}) {
            const std::vector<double>& input = c == &mono ? monoInput : twinInput;
            ChainSettings lateral = engineSettings(*c, 2);
            lateral.moving = moving;
            lateral.path = path;
            const std::vector<double> expected = runEngine(lateral, input, {c->frames});
            for (const auto& [vta, cutting] :
                 {std::pair{20.0, 20.0}, std::pair{25.0, 15.0}, std::pair{89.0, 0.0}}) {
                ChainSettings stylus = stylusSettings(*c, vta, cutting);
                stylus.threadCount = 2;
                stylus.moving = moving;
                stylus.path = path;
                expectSameBits(expected, runEngine(stylus, input, randomPieces(c->frames, 4u)),
                               std::string(c->name) + (moving ? ", moving" : ", fixed") + ", VTA " +
                                   std::to_string(vta));
            }
        }
    }
}

}  // namespace
