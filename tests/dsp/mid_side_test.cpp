#include "dsp/mid_side.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/buffers.hpp"

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
