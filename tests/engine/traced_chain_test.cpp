#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dsp/tip_tracing.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/reference/reference_stylus.hpp"
#include "tests/support/coefficients.hpp"
#include "tests/support/engine_runs.hpp"
#include "tests/support/stylus_runs.hpp"

// The tip's shape in the chain: both walls traced by the tip before the pass reads them, against
// the direct implementation that traces every high-rate sample by the maximum over its whole
// footprint, bit for bit for every cut of the input, thread count and lane kernel.

namespace {

constexpr double k33 = 100.0 / 3;

StylusTip tipOf(const char* text) {
    std::string message;
    const std::optional<StylusTip> tip = parseStylusTip(text, message);
    EXPECT_TRUE(tip.has_value()) << message;
    return tip.value_or(StylusTip{});
}

ChainSettings tracedSettings(const EngineCase& c, const char* tip, double vta, double cutting) {
    ChainSettings settings = engineSettings(c, 1);
    settings.model = PickupModel::Stylus;
    settings.stylus.verticalTrackingDegrees = vta;
    settings.stylus.cuttingDegrees = cutting;
    settings.tip = tipOf(tip);
    return settings;
}

struct TracedCase {
    EngineCase engine;
    const char* tip;
    double verticalTrackingDegrees;
    double cuttingDegrees;
    // A side played by a pivoted arm from one radius to the other (0: a groove of one radius).
    double fromRadius = 0.0;
    double toRadius = 0.0;
};

void PrintTo(const TracedCase& c, std::ostream* out) {
    *out << c.engine.name;
}

class TracedChainTest : public ::testing::TestWithParam<TracedCase> {};

TEST_P(TracedChainTest, MatchesTheDirectMaximumOverEveryFootprint) {
    const TracedCase& t = GetParam();
    const EngineCase& c = t.engine;
    const std::vector<double> input = randomInput(c, 41u + static_cast<unsigned>(c.frames));
    ChainSettings settings = tracedSettings(c, t.tip, t.verticalTrackingDegrees, t.cuttingDegrees);
    ReferenceStylus stylus;
    stylus.verticalTrackingDegrees = t.verticalTrackingDegrees;
    stylus.cuttingDegrees = t.cuttingDegrees;
    stylus.tipRadius = settings.tip.tracingRadiusMm();
    if (t.fromRadius > 0.0) {
        settings.moving = true;
        settings.path = armPath(t.fromRadius, t.toRadius, c);
        stylus.geometryAt = referenceSideGeometry(settings.path, c);
    }
    const std::vector<double> expected = referenceStylusUnscaledOutput(
        input, c.channels, c.sampleRate, c.disc, projectTapLists(), stylus);
    expectSameForAnySplit(settings, input, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TracedChainTest,
    ::testing::Values(
        // The widest footprint: a 17.8 µm tip on the innermost groove, ±540 samples.
        TracedCase{{"SphericalInner", 600, 2, 44100, {k33, 60.3, 0.05, 1.5}, 20000},
                   "spherical:17.8",
                   20,
                   20},
        TracedCase{{"EllipticalOuter", 1500, 2, 44100, {45, 146, 0.05, -1.5}, 3000},
                   "elliptical:7x18",
                   25,
                   15},
        // Quiet enough that the tip follows the groove: the winner is mostly the sample itself.
        TracedCase{{"FollowsQuietly", 1200, 2, 44100, {k33, 100, 0.05, 2}, 300},
                   "elliptical:3x18",
                   20,
                   20},
        TracedCase{{"LineContact96k", 600, 2, 96000, {k33, 120, 0.05, 2.5}, 10000},
                   "elliptical:3x18",
                   20,
                   25},
        TracedCase{{"OneFrame", 1, 2, 44100, {45, 60, 0.05, 1.5}, 30000}, "spherical:15", 25, 20},
        TracedCase{
            {"ThreeFrames", 3, 2, 44100, {k33, 60, 0.05, -1.5}, 30000}, "spherical:65", 15, 25},
        TracedCase{{"InfiniteSample", 500, 2, 44100, {45, 70, 0.05, 1.5}, 20000, 1.0 / 0.0},
                   "spherical:17.8",
                   25,
                   20},
        TracedCase{{"NotANumber", 500, 2, 44100, {45, 70, 0.05, 1.5}, 20000, std::nan("")},
                   "elliptical:7x18",
                   25,
                   20},
        // A single channel: a groove with no vertical modulation, both walls traced.
        TracedCase{{"Mono", 800, 1, 44100, {k33, 70, 0.05, 1.5}, 20000}, "spherical:17.8", 20, 20},
        // The point tip is the untraced chain.
        TracedCase{{"PointTip", 1500, 2, 44100, {k33, 60.3, 0.05, 1.5}, 20000}, "point", 20, 20},
        TracedCase{{"ArmInward", 1000, 2, 44100, {k33, 0, 0.05, 0}, 20000},
                   "spherical:17.8",
                   25,
                   15,
                   146,
                   60.3},
        TracedCase{{"ArmOutward", 1200, 2, 44100, {45, 0, 0.05, 0}, 5000},
                   "elliptical:7x18",
                   20,
                   20,
                   60.3,
                   146}),
    [](const ::testing::TestParamInfo<TracedCase>& info) {
        return std::string(info.param.engine.name);
    });

// A tone on one wall alone: the tip traces that wall and rests on the other, which stays flat,
// so the other channel's output is exactly 0 (the two components that make it up are equal, or
// opposite, to the last bit).
TEST(TracedChainExactness, OneWallAloneLeavesTheOtherSilent) {
    const EngineCase c{"OneWall", 3000, 2, 44100, {k33, 60.3, 0.1, 20}, 0};
    for (const bool left : {true, false}) {
        std::vector<double> input(static_cast<std::size_t>(2 * c.frames), 0.0);
        for (std::int64_t i = 0; i < c.frames; ++i) {
            input[static_cast<std::size_t>(2 * i + (left ? 0 : 1))] =
                std::round(30000 * std::sin(0.4 * static_cast<double>(i)));
        }
        for (int threads : {1, 2}) {
            ChainSettings settings = tracedSettings(c, "spherical:17.8", 25, 15);
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

// A loud 8 kHz tone on the innermost groove of a record cut 0.6 mm to full scale, beyond what the
// tip follows: the inner wall moves at 94 mm/s peak, a curvature ratio of 1.9 for a 17.8 µm tip
// (the recording filter passes 0.0048 of full scale at 8 kHz). The tip skates over the crests:
// the output is finite and far from the point tip's.
TEST(TracedChainExactness, ATipThatCannotFollowStillPlaysTheEnvelope) {
    const EngineCase c{"Skating", 2000, 2, 44100, {k33, 60.3, 0.6, 0}, 0};
    std::vector<double> input(static_cast<std::size_t>(2 * c.frames), 0.0);
    for (std::int64_t i = 0; i < c.frames; ++i) {
        const double value = std::round(30000 * std::sin(2 * 3.14159265358979 * 8000 / 44100 * i));
        input[static_cast<std::size_t>(2 * i)] = value;
        input[static_cast<std::size_t>(2 * i + 1)] = value / 2;
    }
    const std::vector<double> point =
        runEngine(tracedSettings(c, "point", 20, 20), input, {c.frames});
    const std::vector<double> traced =
        runEngine(tracedSettings(c, "spherical:17.8", 20, 20), input, randomPieces(c.frames, 3u));
    ASSERT_EQ(point.size(), traced.size());
    double difference = 0.0;
    double level = 0.0;
    for (std::size_t k = 0; k < traced.size(); ++k) {
        ASSERT_TRUE(std::isfinite(traced[k])) << "value " << k;
        difference += (traced[k] - point[k]) * (traced[k] - point[k]);
        level += point[k] * point[k];
    }
    EXPECT_GT(difference, 0.1 * level) << "the tip no longer follows: the output changes much";
}

}  // namespace
