#include "analysis/tracing_prediction.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/tip_tracing.hpp"
#include "tests/support/tip_tracing_signals.hpp"

namespace {

constexpr double kRadius = 0.0178;  // mm
constexpr double kInnerV = 210.56;  // mm/s, 33 1/3 rpm at 60.325 mm
constexpr double kOuterV = 509.77;  // mm/s at 146.05 mm

TEST(TracingPrediction, CurvatureRatioIsOneAtTheHighestFollowableFrequency) {
    const struct {
        double radius, velocity, groove;
    } cases[] = {
        {0.0178, 50, kInnerV}, {0.007, 50, kInnerV}, {0.003, 100, kOuterV}, {0.065, 200, 1200.0}};
    for (const auto& c : cases) {
        const double f = highestFollowableFrequency(c.radius, c.velocity, c.groove);
        EXPECT_NEAR(curvatureRatio(c.radius, f, c.velocity, c.groove), 1.0, 1e-14);
        // The smallest radius of curvature of the wall, 1/(a·k²), equals ρ there.
        const double omega = 2 * M_PI * f;
        const double a = c.velocity / omega;
        const double k = omega / c.groove;
        EXPECT_NEAR(1 / (a * k * k), c.radius, 1e-12);
        // It grows with the square of the groove velocity, falls with ρ and V.
        EXPECT_NEAR(highestFollowableFrequency(c.radius, c.velocity, 2 * c.groove), 4 * f,
                    1e-9 * f);
        EXPECT_NEAR(highestFollowableFrequency(2 * c.radius, c.velocity, c.groove), f / 2,
                    1e-9 * f);
        EXPECT_NEAR(highestFollowableFrequency(c.radius, 3 * c.velocity, c.groove), f / 3,
                    1e-9 * f);
    }
    // A 17.8 µm tip at the innermost groove of a 33 rpm side stops following 5 cm/s above
    // 7.93 kHz.
    EXPECT_NEAR(highestFollowableFrequency(0.0178, 50, kInnerV), 7928.3, 0.1);
}

TEST(TracingPrediction, SmallSinesFollowLewisAndHunt) {
    // Displacement H2 = π²·ρ·a/λ² = ε/4 to first order; a velocity pickup doubles it. H3 and the
    // next order of H2 are of order ε².
    for (const double f : {300.0, 1000.0, 4000.0}) {
        for (const double v : {10.0, 20.0, 50.0}) {
            const TracingPrediction p = predictTracing({kRadius, kInnerV, f, v});
            const double lambda = kInnerV / f;
            const double a = v / (2 * M_PI * f);
            const double lewisHunt = M_PI * M_PI * kRadius * a / (lambda * lambda);
            EXPECT_NEAR(lewisHunt, p.epsilon / 4, 1e-12 * p.epsilon);
            EXPECT_NEAR(p.h2 / (2 * lewisHunt), 1.0, 0.5 * p.epsilon) << f << " Hz, " << v;
            EXPECT_LT(p.h3, p.epsilon * p.epsilon) << f << " Hz, " << v;
            // The pinch: ε of one wall (V/√2) over 2.
            EXPECT_NEAR(p.pinch / (p.epsilon / std::sqrt(2.0) / 2), 1.0, 0.5 * p.epsilon)
                << f << " Hz, " << v;
        }
    }
}

TEST(TracingPrediction, TheEnvelopeIsTheOffsetCurveAndTheUpperBranchBeyondIt) {
    // Below ε = 1 the envelope of a sine is its offset curve; its trough is the wall's own.
    // Above, the trough is lifted: the tip rests on the two crests beside it.
    const double lambda = 0.05;
    const double k = 2 * M_PI / lambda;
    for (const double epsilon : {0.2, 0.8, 1.5, 6.0}) {
        const double a = epsilon / (kRadius * k * k);
        const std::vector<double> traced = tracedSinePeriod(a, lambda, kRadius, 64);
        const double trough = traced[48];  // x = 3λ/4
        if (epsilon < 1) {
            EXPECT_NEAR(trough, -a, 1e-12 * a) << epsilon;
        } else {
            EXPECT_GT(trough, -a + 1e-3 * a) << epsilon;
        }
        // The crest is traced at the wall's crest: the tip sits on it.
        EXPECT_NEAR(traced[16], a, 1e-12 * a) << epsilon;
        for (const double value : traced) {
            EXPECT_TRUE(std::isfinite(value));
            EXPECT_LE(value, a * (1 + 1e-12));
        }
    }
    // With a tip far wider than the waves, it rests on the crests: the traced wall is nearly a
    // constant a.
    const double a = 0.001;
    const std::vector<double> wide = tracedSinePeriod(a, 0.002, 0.05, 64);
    for (const double value : wide) {
        EXPECT_NEAR(value, a, 0.01 * a);
    }
}

TEST(TracingPrediction, AgreesWithTheSampledTracerOnTheSameSine) {
    // The chain's tracer takes the maximum over the high-rate samples; the prediction is the
    // continuous envelope. They agree within what the samples miss of it.
    const double dx = kInnerV / (44100.0 * 144);
    for (const double f : {1000.0, 3000.0, 9000.0}) {
        const double v = 50.0;
        const TracingPrediction p = predictTracing({kRadius, kInnerV, f, v});
        const auto perPeriod = static_cast<std::size_t>(std::lround(kInnerV / f / dx));
        const double spacing = kInnerV / f / static_cast<double>(perPeriod);
        TracedWallCase signal;
        signal.spacing.assign(perPeriod * 6, spacing);
        signal.wall = sineWall(signal.spacing, v / (2 * M_PI * f), kInnerV / f, 0.0);
        const std::vector<double> traced = traceInBlocks(signal, kRadius, {signal.wall.size()});
        const std::vector<double> period(traced.begin() + 3 * perPeriod,
                                         traced.begin() + 4 * perPeriod);
        const double h1 = harmonicAmplitude(period, 1);
        EXPECT_NEAR(2 * harmonicAmplitude(period, 2) / h1, p.h2, 1e-3 * p.h2) << f;
        EXPECT_NEAR(3 * harmonicAmplitude(period, 3) / h1, p.h3, 1e-3 * p.h2) << f;
    }
}

}  // namespace
