#include "dsp/mid_side.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tests/support/buffers.hpp"
#include "tests/support/whole_signal.hpp"

namespace {

TEST(MidSide, HalvesExactlyAndComesBackExactly) {
    const struct {
        std::int16_t left, right;
        double mid, side;
    } frames[] = {
        {0, 0, 0.0, 0.0},
        {32767, -32768, -0.5, 32767.5},
        {-32768, 32767, -0.5, -32767.5},
        {-32768, -32768, -32768.0, 0.0},
        {32767, 32767, 32767.0, 0.0},  // mono: no side
        {1, 2, 1.5, -0.5},
        {-3, 0, -1.5, -1.5},
    };
    std::vector<std::int16_t> input;
    for (const auto& f : frames) {
        input.push_back(f.left);
        input.push_back(f.right);
    }
    const auto n = static_cast<std::int32_t>(std::size(frames));
    const MidSideComponents components = convertToMidSide(input, n);
    ASSERT_EQ(components.midComponent.size(), std::size(frames));
    for (std::size_t i = 0; i < std::size(frames); ++i) {
        EXPECT_EQ(components.midComponent[i], frames[i].mid) << i;
        EXPECT_EQ(components.sideComponent[i], frames[i].side) << i;
    }

    // The mid component itself in the place of the restored one gives the input back.
    const StereoOutput back =
        convertToLeftRight(components.midComponent, components.sideComponent, n);
    ASSERT_EQ(back.stereoOutput.size(), input.size());
    for (std::size_t k = 0; k < input.size(); ++k) {
        EXPECT_EQ(back.stereoOutput[k], input[k]) << k;
    }
    EXPECT_EQ(back.peakMagnitude, 32768.0);
}

TEST(MidSide, PeakIsTheLargestStoredMagnitudeAndIgnoresNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::vector<double> lateral, side;
        double peak;
    } cases[] = {
        {{0.0, 0.0}, {0.0, 0.0}, 0.0},
        {{-0.25, 3.0}, {0.0, -0.5}, 3.5},
        {{nan, 1.0}, {0.0, 0.0}, 1.0},
        {{nan}, {nan}, 0.0},
        {{-40000.0}, {0.0}, 40000.0},
        // A sum that is no double is rounded to one, ties to even, and stored so.
        {{1e16}, {1.0}, 1e16},
    };
    for (const auto& c : cases) {
        const SampleBuffer lateral = bufferOf(c.lateral);
        const SampleBuffer side = bufferOf(c.side);
        const auto n = static_cast<std::int32_t>(c.lateral.size());
        const StereoOutput out = convertToLeftRight(lateral, side, n);
        EXPECT_EQ(out.peakMagnitude, c.peak) << c.lateral[0];
        for (std::size_t i = 0; i < c.lateral.size(); ++i) {
            const double left = out.stereoOutput[2 * i];
            const double right = out.stereoOutput[2 * i + 1];
            if (!std::isnan(c.lateral[i]) && !std::isnan(c.side[i])) {
                EXPECT_EQ(left, c.side[i] + c.lateral[i]);
                EXPECT_EQ(right, c.lateral[i] - c.side[i]);
            }
        }
    }
}

}  // namespace

namespace {

// The side values wait in the join for the lateral values of their frames, and the other way
// round: however the two come in, the frames are those of the whole signals joined at once.
TEST(MidSideStages, JoinPairsTheComponentsHoweverTheyArrive) {
    std::mt19937 random(41);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    constexpr std::size_t kFrames = 3000;
    std::vector<double> frames(2 * kFrames);
    for (double& value : frames) {
        value = sample(random);
    }
    MidSideSplit split(2);
    SampleBlock mid;
    SampleBlock side;
    split.process(frames, mid, side);
    ASSERT_EQ(mid.size(), kFrames);
    ASSERT_EQ(side.size(), kFrames);
    const StereoOutput whole =
        convertToLeftRight(bufferOf({mid.begin(), mid.end()}), bufferOf({side.begin(), side.end()}),
                           static_cast<std::int32_t>(kFrames));

    // How many values of each component come in at each step.
    const struct {
        const char* name;
        std::size_t lateralPiece;
        std::size_t sidePiece;
        std::size_t lateralDelay;  // steps before the first lateral values come
    } arrivals[] = {
        {"together", 500, 500, 0},
        {"lateral behind", 400, 400, 3},
        {"side behind", 700, 130, 0},
        {"one by one", 1, 1, 0},
        {"lateral all at the end", kFrames, 97, 40},
    };
    for (const auto& arrival : arrivals) {
        LeftRightJoin join(2);
        SampleBlock joined;
        std::size_t lateralAt = 0;
        std::size_t sideAt = 0;
        for (std::size_t step = 0; lateralAt < kFrames || sideAt < kFrames; ++step) {
            const std::size_t lateralCount =
                step < arrival.lateralDelay ? 0
                                            : std::min(arrival.lateralPiece, kFrames - lateralAt);
            const std::size_t sideCount = std::min(arrival.sidePiece, kFrames - sideAt);
            join.process({mid.data() + lateralAt, lateralCount}, {side.data() + sideAt, sideCount},
                         joined);
            lateralAt += lateralCount;
            sideAt += sideCount;
            EXPECT_EQ(joined.size(), 2 * std::min(lateralAt, sideAt)) << arrival.name;
        }
        join.finish(joined);
        ASSERT_EQ(joined.size(), whole.stereoOutput.size()) << arrival.name;
        for (std::size_t k = 0; k < joined.size(); ++k) {
            ASSERT_EQ(joined[k], whole.stereoOutput[k]) << arrival.name << ", value " << k;
            ASSERT_EQ(joined[k], frames[k]) << arrival.name << ", value " << k;
        }
    }
}

// A single channel is the lateral component itself, there and back.
TEST(MidSideStages, OneChannelPassesThrough) {
    const std::vector<double> samples = {0.0, -0.0, 1.5, -32768.0, 1e300};
    MidSideSplit split(1);
    SampleBlock mid;
    SampleBlock side;
    split.process(samples, mid, side);
    EXPECT_TRUE(side.empty());
    LeftRightJoin join(1);
    SampleBlock frames;
    join.process(mid, {}, frames);
    ASSERT_EQ(frames.size(), samples.size());
    for (std::size_t k = 0; k < samples.size(); ++k) {
        EXPECT_EQ(std::signbit(frames[k]), std::signbit(samples[k])) << k;
        EXPECT_EQ(frames[k], samples[k]) << k;
    }
}

}  // namespace
