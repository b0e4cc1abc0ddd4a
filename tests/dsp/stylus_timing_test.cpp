#include "dsp/stylus_timing.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "dsp/extended.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/stylus_model.hpp"
#include "dsp/tonearm.hpp"
#include "tests/reference/reference_stylus.hpp"
#include "tests/reference/reference_tracking.hpp"

namespace {

// The slope difference is each tangent apart, not the tangent of the angles' difference, to the
// last bit of the direct form; a mismatch has the sign of VTA − cutting angle.
TEST(StylusModel, SlopeDifferenceIsTheDifferenceOfTheTangents) {
    const struct {
        double vta;
        double cutting;
        long double approximately;
    } cases[] = {
        {20, 20, 0.0L}, {25, 20, 0.1023374L}, {15, 25, -0.1983585L}, {0, 0, 0.0L},
        {15, 15, 0.0L}, {89.9, 0, 572.9572L}, {25, 15, 0.1983585L},  {0, 20, -0.3639702L},
    };
    for (const auto& c : cases) {
        const long double slope = verticalSlopeDifference({c.vta, c.cutting});
        EXPECT_EQ(slope, referenceVerticalSlope(c.vta, c.cutting)) << c.vta << "/" << c.cutting;
        EXPECT_NEAR(static_cast<double>(slope), static_cast<double>(c.approximately),
                    1e-6 * std::fmax(1.0, std::fabs(static_cast<double>(c.approximately))))
            << c.vta << "/" << c.cutting;
    }
}

// Raising the pivot by L·tan(x) steepens the angle by x; one millimetre on a 9-inch arm is about
// a quarter of a degree.
TEST(StylusModel, PivotRaiseTiltsTheAngleByItsArctangent) {
    const double length = 239.3;
    EXPECT_NEAR(raisedVerticalTrackingDegrees(20, length * std::tan(kChainPi / 180), length), 21.0,
                1e-9);
    EXPECT_NEAR(raisedVerticalTrackingDegrees(20, -length * std::tan(2 * kChainPi / 180), length),
                18.0, 1e-9);
    EXPECT_EQ(raisedVerticalTrackingDegrees(22.5, 0, length), 22.5);
    EXPECT_NEAR(verticalAngleChangePerMillimetre(length), 0.23943, 1e-5);
}

// The corrected time is the direct form's to the bit, and with no side it is the lateral model's.
// The bound over a stretch holds for every value in it, at random magnitudes and signs.
TEST(StylusTiming, CorrectedTimeAndBoundAgreeWithTheDirectForm) {
    std::mt19937 random(3u);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double amplitudes[] = {0.05, 1.0, 0.0};
    const double angles[] = {1.5, -20.0, 0.0, 89.9};
    const std::pair<double, double> slopes[] = {{20, 20}, {25, 20}, {15, 25}, {80, 5}};
    for (const double a : amplitudes) {
        for (const double angle : angles) {
            for (const auto& [vta, cutting] : slopes) {
                const DiscParameters disc{100.0 / 3, 60.3, a, angle};
                const GrooveGeometry geometry = deriveGrooveGeometry(disc, 44100);
                const long double slope = verticalSlopeDifference({vta, cutting});
                const TimingModel lateral(a, geometry);
                const StylusTimingModel timing(lateral, slope);
                std::vector<double> u(64);
                std::vector<double> w(64);
                double largestMid = 0.0;
                double largestSide = 0.0;
                for (std::size_t k = 0; k < u.size(); ++k) {
                    u[k] = unit(random) * std::ldexp(1.0, static_cast<int>(k % 20));
                    w[k] = unit(random) * std::ldexp(1.0, static_cast<int>((k * 7) % 20));
                    largestMid = std::fmax(largestMid, std::fabs(u[k]));
                    largestSide = std::fmax(largestSide, std::fabs(w[k]));
                }
                const double bound = timing.timingErrorBound({largestMid, largestSide}, 0, 63);
                for (std::int64_t j = 0; j < 64; ++j) {
                    const std::size_t k = static_cast<std::size_t>(j);
                    const std::int64_t index = 10000 + j;
                    std::vector<double> uu(static_cast<std::size_t>(index) + 1, 0.0);
                    std::vector<double> ww(uu.size(), 0.0);
                    uu.back() = u[k];
                    ww.back() = w[k];
                    const double time = timing.correctedTime({u[k], w[k]}, index);
                    ASSERT_EQ(time,
                              referenceStylusCorrectedTime(uu, ww, index, a, slope, geometry));
                    ASSERT_EQ(timing.correctedTime({u[k], 0.0}, index),
                              lateral.correctedTime(u[k], index));
                    const long double error = timing.nominalTime(index) - time;
                    ASSERT_LE(
                        std::fabs(static_cast<double>(error)),
                        bound + std::fabs(static_cast<double>(timing.nominalTime(index))) * 0x1p-52)
                        << "a " << a << ", angle " << angle << ", VTA " << vta;
                }
            }
        }
    }
}

}  // namespace
