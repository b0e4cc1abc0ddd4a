#include "analysis/arm_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

const PlayingArea kIec = standardPlayingArea(GrooveStandard::Iec);

// Every 5 mm in the area, both ends and each null once, ascending.
TEST(ArmTableTest, RadiiCoverTheAreaEvery5MmWithTheNulls) {
    const std::vector<double> plain = tableRadii(kIec, {});
    EXPECT_EQ(plain.front(), kIec.innerRadius);
    EXPECT_EQ(plain.back(), kIec.outerRadius);
    EXPECT_EQ(plain.size(), 2u + 17u);  // 65 to 145 mm
    EXPECT_TRUE(std::is_sorted(plain.begin(), plain.end()));
    EXPECT_EQ(plain[1], 65.0);

    // A null 1 um from a grid radius is that radius; one 10 um away is a row of its own.
    const std::vector<double> withNulls = tableRadii(kIec, {{66.0, 120.001}, {66.0, 110.01}});
    EXPECT_EQ(withNulls.size(), plain.size() + 2);
    EXPECT_EQ(std::count(withNulls.begin(), withNulls.end(), 66.0), 1);
    EXPECT_EQ(std::count(withNulls.begin(), withNulls.end(), 110.01), 1);
    EXPECT_EQ(std::count(withNulls.begin(), withNulls.end(), 120.001), 0);
}

// A fixed error is largest everywhere (the inner edge is reported) and weighs most at the inner
// edge. Baerwald's alignment makes the weighted error equal at the inner edge, between the nulls
// and at the outer edge (to the first order its derivation keeps): the largest is each of them.
TEST(ArmTableTest, ExtremesAreWhereTheGeometrySaysTheyAre) {
    Tonearm fixed;
    fixed.kind = Tonearm::Kind::FixedAngle;
    fixed.fixedAngleDegrees = -1.5;
    const ArmExtremes constant = findExtremes(fixed, kIec);
    EXPECT_EQ(constant.maxError, -1.5);
    EXPECT_EQ(constant.maxErrorRadius, kIec.innerRadius);
    EXPECT_DOUBLE_EQ(constant.maxWeighted, -1.5 / (kIec.innerRadius / 10));
    EXPECT_EQ(constant.maxWeightedRadius, kIec.innerRadius);

    const Tonearm baerwald = pivotedArm(namedAlignment(AlignmentKind::Baerwald, 222.0, kIec));
    const ArmExtremes extremes = findExtremes(baerwald, kIec);
    const double inner = trackingErrorDegrees(baerwald, kIec.innerRadius) / kIec.innerRadius * 10;
    const double outer = trackingErrorDegrees(baerwald, kIec.outerRadius) / kIec.outerRadius * 10;
    const double largest = std::fabs(extremes.maxWeighted);
    EXPECT_NEAR(largest, std::fabs(inner), 0.01 * largest);
    EXPECT_NEAR(largest, std::fabs(outer), 0.01 * largest);
    EXPECT_GE(largest, std::fabs(inner));
    EXPECT_GE(largest, std::fabs(outer));
    EXPECT_GT(extremes.maxErrorRadius, kIec.innerRadius);
    EXPECT_LE(extremes.maxErrorRadius, kIec.outerRadius);
}

// h2 = 100 V tan(error) / v, with v = 2 pi r rpm / 60, and the equalised one scaled by the ratio.
TEST(ArmTableTest, RowsFollowTheClosedForm) {
    Tonearm fixed;
    fixed.kind = Tonearm::Kind::FixedAngle;
    fixed.fixedAngleDegrees = 2.0;
    const struct {
        double rpm;
        double radius;
        double velocity;
    } cases[] = {{100.0 / 3, 60.325, 100.0}, {45.0, 100.0, 70.0}, {78.26, 146.05, 250.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.radius);
        const ArmRow row = armRowAt(fixed, c.rpm, c.radius, c.velocity, 2.5);
        const double grooveVelocity = 2 * std::numbers::pi * c.radius * c.rpm / 60;
        const double h2 =
            100 * c.velocity * std::tan(2.0 * std::numbers::pi / 180) / grooveVelocity;
        EXPECT_EQ(row.radius, c.radius);
        EXPECT_EQ(row.error, 2.0);
        EXPECT_DOUBLE_EQ(row.weighted, 2.0 / (c.radius / 10));
        EXPECT_NEAR(row.grooveVelocity, grooveVelocity, grooveVelocity * 1e-12);
        EXPECT_NEAR(row.h2, h2, h2 * 1e-12);
        EXPECT_EQ(row.h2Equalised, row.h2 * 2.5);
    }
}

}  // namespace
