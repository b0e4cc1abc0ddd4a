#include "dsp/tracking_stage.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "dsp/groove_geometry.hpp"
#include "tests/reference/reference_tracking.hpp"
#include "tests/reference/reference_upsampler.hpp"
#include "tests/support/coefficients.hpp"

namespace {

// The interpolation pass over the last upsampling stage formed on demand, against the direct pass
// over the whole high-rate signal, on stage-3 signals made to probe the skipping bound.
struct PassCase {
    const char* name;
    DiscParameters disc;
    double level;    // of the stage-3 signal, in 16-bit units
    double special;  // put at one sample in the middle (0: none)
};

// Shown by its name in failures, not as a byte dump.
void PrintTo(const PassCase& c, std::ostream* out) {
    *out << c.name;
}

constexpr std::int64_t kFrames = 2500;

std::vector<double> stageThreeSignal(const PassCase& c) {
    const std::int64_t length = 24 * kFrames + 3473;
    std::mt19937 random(31);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<double> x(static_cast<std::size_t>(length), 0.0);
    for (std::int64_t q = 2; q < length - 200; ++q) {
        x[static_cast<std::size_t>(q)] =
            c.level * (0.7 * std::sin(0.002 * static_cast<double>(q)) + 0.3 * noise(random));
    }
    if (c.special != 0.0) {
        x[static_cast<std::size_t>(length / 2)] = c.special;
    }
    return x;
}

std::vector<double> runPass(const PassCase& c, const std::vector<double>& x, int threads,
                            std::int64_t& joined) {
    UpsampleStage stage(3, projectCoefficients().taps[3]);
    TrackingSettings settings;
    settings.fullScaleLateralAmplitude = c.disc.fullScaleLateralAmplitude;
    settings.geometry = deriveGrooveGeometry(c.disc, 44100);
    settings.threadCount = threads;
    TrackingStage<UpsampleStage> pass(settings, stage);
    SampleBlock output;
    const std::int64_t piece = 24 * 4096;
    for (std::int64_t at = 0; at < static_cast<std::int64_t>(x.size()); at += piece) {
        const std::int64_t count = std::min<std::int64_t>(piece, x.size() - at);
        stage.take({x.data() + at, static_cast<std::size_t>(count)});
        const std::int64_t frames = std::min<std::int64_t>(kFrames, (at + count) / 24);
        pass.process(frames, output);
    }
    stage.finish();
    pass.finish(stage.stuffedLength(), kFrames, output);
    joined = pass.halvesJoined();
    return {output.begin(), output.end()};
}

class TrackingStageTest : public ::testing::TestWithParam<PassCase> {};

TEST_P(TrackingStageTest, FormsOnlyWhatTheSearchNeedsAndGivesTheDirectPass) {
    const PassCase& c = GetParam();
    const std::vector<double> x = stageThreeSignal(c);
    const std::vector<double> highRate = referenceUpsampleStage(3, x, projectTapLists()[3]);
    const std::vector<double> expected =
        referenceInterpolatedOutput(highRate, kFrames, c.disc.fullScaleLateralAmplitude,
                                    referenceGrooveGeometry(c.disc, 44100));
    for (int threads : {1, 2}) {
        std::int64_t joined = 0;
        const std::vector<double> actual = runPass(c, x, threads, joined);
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(actual[i]),
                      std::bit_cast<std::uint64_t>(expected[i]))
                << threads << " thread(s), output " << i << ": " << actual[i] << " against "
                << expected[i];
        }
        if (threads == 2 && std::string(c.name) == "Typical") {
            EXPECT_GT(joined, 0) << "the second half was never kept";
        }
    }
}

constexpr double k33 = 100.0 / 3;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, TrackingStageTest,
    ::testing::Values(
        PassCase{"Typical", {45, 60, 0.05, 1.5}, 3000, 0},
        // No timing error: the bound is 0 and corrected times meet output instants exactly.
        PassCase{"NoTimingErrorTies", {45, 60, 0, 1.5}, 3000, 0},
        PassCase{"ZeroAngleTies", {k33, 60, 0.05, 0}, 3000, 0},
        // Corrected times that fall back: the search takes the first crossing ahead of it.
        PassCase{"FallingBack", {45, 60, 0.05, 89.9}, 30000, 0},
        PassCase{"HugeAmplitude", {k33, 30, 50, 20}, 30000, 0},
        PassCase{"NegativeAngle", {45, 60, 0.05, -3}, 20000, 0},
        // A sample that is not finite: no bound there, every index formed.
        PassCase{"InfiniteSample", {45, 60, 0.05, 1.5}, 3000, kInfinity},
        PassCase{"NotANumber", {45, 60, 0.05, 1.5}, 3000, std::nan("")}),
    [](const ::testing::TestParamInfo<PassCase>& info) { return std::string(info.param.name); });

}  // namespace
