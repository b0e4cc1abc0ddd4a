#include "engine/streaming_chain.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dsp/cpu_features.hpp"
#include "dsp/extended.hpp"
#include "dsp/polyphase_kernel.hpp"
#include "dsp/shelving_filter.hpp"
#include "tests/reference/reference_chain.hpp"
#include "tests/reference/reference_shelving.hpp"
#include "tests/reference/reference_tracking.hpp"
#include "tests/reference/reference_upsampler.hpp"
#include "tests/support/coefficients.hpp"
#include "tests/support/engine_runs.hpp"

namespace {

constexpr double k33 = 100.0 / 3;

class StreamingChainTest : public ::testing::TestWithParam<EngineCase> {};

TEST_P(StreamingChainTest, MatchesTheDirectImplementationForAnySplitAndThreadCount) {
    const EngineCase& c = GetParam();
    const std::vector<double> input = randomInput(c, 7u + static_cast<unsigned>(c.frames));
    const std::vector<double> expected =
        referenceUnscaledOutput(input, c.channels, c.sampleRate, c.disc, projectTapLists());
    expectSameForAnySplit(engineSettings(c, 1), input, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamingChainTest,
    ::testing::Values(
        EngineCase{"Typical45", 3000, 2, 44100, {45, 60, 0.05, 1.5}, 20000},
        EngineCase{"Typical33Negative", 2500, 2, 44100, {k33, 120, 0.08, -3}, 30000},
        EngineCase{"StrongDistortion", 2000, 2, 44100, {k33, 30, 0.1, 20}, 32000},
        EngineCase{"NearlyNinetyDegrees", 1500, 2, 44100, {45, 60, 0.05, 89.9}, 32000},
        EngineCase{"NegativeNearlyNinety", 1200, 2, 44100, {45, 60, 0.05, -89.9}, 32000},
        EngineCase{"HugeTimingErrors", 1500, 2, 44100, {45, 0.01, 1.0, 45}, 32000},
        EngineCase{"ZeroAngle", 1000, 2, 44100, {45, 60, 0.05, 0}, 30000},
        EngineCase{"ZeroAmplitude", 1000, 2, 44100, {k33, 60, 0, 10}, 30000},
        EngineCase{"OneFrame", 1, 2, 44100, {45, 60, 0.05, 1.5}, 30000},
        EngineCase{"TwoFrames", 2, 2, 44100, {45, 60, 0.05, 1.5}, 30000},
        EngineCase{"ThreeFrames", 3, 2, 44100, {k33, 60, 0.05, -1.5}, 30000},
        EngineCase{"Mono", 2000, 1, 44100, {45, 60, 0.05, 1.5}, 30000},
        EngineCase{"Mono96k", 2000, 1, 96000, {k33, 100, 0.05, 2.5}, 30000},
        EngineCase{"Stereo192k", 1500, 2, 192000, {45, 70, 0.05, -2}, 30000},
        EngineCase{"Stereo32k", 1500, 2, 32000, {k33, 70, 0.05, 2}, 30000},
        EngineCase{"InfiniteSample", 1500, 2, 44100, {45, 60, 0.05, 1.5}, 20000, 1.0 / 0.0},
        EngineCase{"NotANumber", 1500, 1, 44100, {45, 60, 0.05, 1.5}, 20000, std::nan("")},
        EngineCase{"HugeSample", 1500, 2, 44100, {45, 60, 0.05, 1.5}, 20000, 1e300},
        EngineCase{"LongerThanAPiece", 20000, 2, 44100, {45, 60, 0.05, 1.5}, 25000}),
    [](const ::testing::TestParamInfo<EngineCase>& info) { return std::string(info.param.name); });

// A side as it plays, against the direct pass with each index's own tangent and velocity: the
// radius at index j is from + (to − from)·(j − 10447)/(144 (N − 1)), held at the ends.
TEST(StreamingChainSide, FollowsTheArmAcrossTheSideAsTheDirectPassDoes) {
    EngineCase c{"Side", 3000, 1, 44100, {k33, 0, 0.05, 0}, 25000};
    const std::vector<double> input = randomInput(c, 5u);
    struct PathCase {
        const char* name;
        Tonearm arm;
        double from;
        double to;
        double amplitude = 0.05;
    };
    Tonearm pivoted;
    pivoted.kind = Tonearm::Kind::Pivoted;
    pivoted.effectiveLength = 239.3;  // a 9-inch arm in Löfgren A (IEC) at 222 mm
    pivoted.pivotToSpindle = 222;
    pivoted.offsetDegrees = 23.5;
    Tonearm fixed;
    fixed.fixedAngleDegrees = 2.5;
    // Paths that move slowly, as a side does, are estimated a window at a time with one slope per
    // stretch; strong distortion makes the pass use those windows. The outer null lies near
    // 120.9 mm and the inner near 66 mm.
    for (const PathCase& p : {PathCase{"pivoted, outside in", pivoted, 146, 60.3},
                              PathCase{"fixed angle, inside out", fixed, 60, 146},
                              PathCase{"pivoted, strong", pivoted, 60.3, 40},
                              PathCase{"slowly through the outer null", pivoted, 121.0, 120.8, 1.0},
                              PathCase{"slowly through the inner null", pivoted, 66.05, 65.95, 2.0},
                              PathCase{"slowly, fixed angle, strong", fixed, 80.0, 79.9, 3.0},
                              PathCase{"slowly at the outer end", pivoted, 146.05, 146.0, 0.5}}) {
        SCOPED_TRACE(p.name);
        c.disc.fullScaleLateralAmplitude = p.amplitude;
        GroovePath path;
        path.arm = p.arm;
        path.fromRadius = p.from;
        path.toRadius = p.to;
        path.frameCount = c.frames;
        path.revolutionsPerMinute = c.disc.revolutionsPerMinute;
        path.sampleRate = c.sampleRate;
        const std::vector<double> filtered = referenceFilterLateral(input, c.sampleRate);
        const std::vector<double> highRate =
            referenceUpsampleFourStages(filtered, projectTapLists());
        const double period = static_cast<double>(1.0L / c.sampleRate);
        const auto geometryAt = [&](std::int64_t j) {
            const double fraction = std::clamp(
                static_cast<double>(j - 10447) / static_cast<double>(144 * (c.frames - 1)), 0.0,
                1.0);
            const double radius = p.from + (p.to - p.from) * fraction;
            DiscParameters disc = c.disc;
            disc.grooveRadius = radius;
            disc.trackingErrorDegrees = trackingErrorDegrees(p.arm, radius);
            return referenceGrooveGeometry(disc, c.sampleRate);
        };
        const std::vector<double> expected = referenceInverseFilterLateral(
            referenceInterpolatedOutput(highRate, static_cast<std::int32_t>(c.frames),
                                        c.disc.fullScaleLateralAmplitude, period, geometryAt),
            c.sampleRate);
        for (int threads : {1, 2}) {
            expectSameBits(expected,
                           runEngine(c, input, randomPieces(c.frames, 3u), threads, &path), p.name);
        }
    }
}

// At a constant radius, a geometry gives what a fixed angle equal to its error there gives.
TEST(StreamingChainSide, AnArmAtOneRadiusIsItsAngleThere) {
    EngineCase c{"Constant", 2000, 2, 44100, {45, 80, 0.05, 0}, 25000};
    const std::vector<double> input = randomInput(c, 11u);
    Tonearm arm;
    arm.kind = Tonearm::Kind::Pivoted;
    arm.effectiveLength = 239.3;
    arm.pivotToSpindle = 222;
    arm.offsetDegrees = 23.5;
    GroovePath path;
    path.arm = arm;
    path.fromRadius = path.toRadius = 80;
    path.frameCount = c.frames;
    const std::vector<double> moving = runEngine(c, input, {c.frames}, 1, &path);
    c.disc.trackingErrorDegrees = trackingErrorDegrees(arm, 80);
    ASSERT_NE(c.disc.trackingErrorDegrees, 0.0);
    expectSameBits(runEngine(c, input, {c.frames}, 1), moving, "constant radius");
}

}  // namespace
