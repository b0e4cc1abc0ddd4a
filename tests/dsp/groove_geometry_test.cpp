#include "dsp/groove_geometry.hpp"

#include <gtest/gtest.h>

#include "tests/reference/reference_tracking.hpp"

TEST(GrooveGeometry, VelocityPeriodAndTangentFigures) {
    const double rpm33 = static_cast<double>(100.0L / 3);
    EXPECT_EQ(rpm33, 33.333333333333336);
    const struct {
        double rpm, radius, degrees, velocity, tangent;
    } cases[] = {
        {rpm33, 60, 1.5, 209.4395102393, 0.0261859216},
        {45, 60, 1.5, 282.7433388231, 0.0261859216},
        {45, 60, -1.5, 282.7433388231, -0.0261859216},
        {45, -60, 0, -282.7433388231, 0.0},
    };
    for (const auto& c : cases) {
        const DiscParameters parameters{c.rpm, c.radius, 0.05, c.degrees};
        const GrooveGeometry g = deriveGrooveGeometry(parameters, 44100);
        EXPECT_NEAR(g.grooveVelocity, c.velocity, 1e-10);
        EXPECT_NEAR(static_cast<double>(g.trackingTangent), c.tangent, 1e-10);
        EXPECT_EQ(g.samplePeriod, static_cast<double>(1.0L / 44100));
        const GrooveGeometry r = referenceGrooveGeometry(parameters, 44100);
        EXPECT_EQ(g.grooveVelocity, r.grooveVelocity);
        EXPECT_EQ(g.trackingTangent, r.trackingTangent);
    }
    // A negative angle gives exactly the opposite tangent.
    const DiscParameters plus{45, 60, 0.05, 23.7};
    const DiscParameters minus{45, 60, 0.05, -23.7};
    EXPECT_EQ(deriveGrooveGeometry(plus, 44100).trackingTangent,
              -deriveGrooveGeometry(minus, 44100).trackingTangent);
}
