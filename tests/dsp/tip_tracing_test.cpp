#include "dsp/tip_tracing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/reference/reference_tip_tracing.hpp"
#include "tests/support/tip_tracing_signals.hpp"

namespace {

// Both sequences hold the same doubles, bit for bit.
void expectSameBits(const std::vector<double>& expected, const std::vector<double>& actual,
                    const std::string& what) {
    ASSERT_EQ(expected.size(), actual.size()) << what;
    for (std::size_t j = 0; j < expected.size(); ++j) {
        if (std::bit_cast<std::uint64_t>(expected[j]) != std::bit_cast<std::uint64_t>(actual[j])) {
            ADD_FAILURE() << what << ": sample " << j << " is " << actual[j] << ", the direct "
                          << "maximum gives " << expected[j];
            return;
        }
    }
}

constexpr double kRadius = 0.0178;  // a 17.8 µm tip, mm
// Spacing at 33 1/3 rpm on the innermost groove (60.325 mm, 210.6 mm/s) at 44.1 kHz·144.
constexpr double kInnerSpacing = 210.6 / (44100.0 * 144.0);

TEST(TipTracing, FastTracerGivesTheDirectMaximumBitForBit) {
    struct Case {
        std::string name;
        std::size_t n;
        double radius;
        SpacingKind spacing;
        // The wall from the spacing.
        std::vector<double> (*wall)(const std::vector<double>&);
    };
    const Case cases[] = {
        {"white noise", 6000, kRadius, SpacingKind::Constant,
         [](const std::vector<double>& s) { return randomWall(s.size(), 0.003, 1, 11); }},
        {"smooth noise", 9000, kRadius, SpacingKind::Ramp,
         [](const std::vector<double>& s) { return randomWall(s.size(), 0.003, 40, 12); }},
        {"noise, random spacing", 5000, 0.007, SpacingKind::Random,
         [](const std::vector<double>& s) { return randomWall(s.size(), 0.001, 8, 13); }},
        // Sines whose curvature ratio ε = ρ·a·(2π/λ)² runs from 0.02 to 20, slopes to 1.3.
        {"sine eps 0.02", 8000, kRadius, SpacingKind::Constant,
         [](const std::vector<double>& s) { return sineWall(s, 0.0002, 0.0835); }},
        {"sine eps 0.5", 8000, kRadius, SpacingKind::Ramp,
         [](const std::vector<double>& s) { return sineWall(s, 0.005, 0.0835); }},
        {"sine eps 0.9", 7000, kRadius, SpacingKind::Constant,
         [](const std::vector<double>& s) { return sineWall(s, 0.009, 0.0835); }},
        {"sine eps 3", 7000, kRadius, SpacingKind::Random,
         [](const std::vector<double>& s) { return sineWall(s, 0.03, 0.0835, 1.1); }},
        {"sine eps 20, short waves", 5000, kRadius, SpacingKind::Constant,
         [](const std::vector<double>& s) { return sineWall(s, 0.002, 0.0119, 2.0); }},
        {"music-like", 12000, kRadius, SpacingKind::Ramp,
         [](const std::vector<double>& s) {
             return musicLikeWall(s.size(), 44100.0 * 144, 150.0, 5);
         }},
        {"shorter than a footprint", 300, kRadius, SpacingKind::Constant,
         [](const std::vector<double>& s) { return sineWall(s, 0.005, 0.05); }},
        {"one sample", 1, kRadius, SpacingKind::Constant,
         [](const std::vector<double>&) { return std::vector<double>{0.25}; }},
        {"not finite", 3000, kRadius, SpacingKind::Constant,
         [](const std::vector<double>& s) {
             const double nan = std::numeric_limits<double>::quiet_NaN();
             const double inf = std::numeric_limits<double>::infinity();
             std::vector<double> w = sineWall(s, 0.004, 0.03);
             w[10] = nan;
             w[700] = inf;
             w[1500] = -inf;
             for (std::size_t j = 2000; j < 2800; ++j) {
                 w[j] = nan;  // a stretch wider than a footprint: NaN out
             }
             return w;
         }},
    };
    for (const Case& c : cases) {
        TracedWallCase signal;
        signal.spacing = spacingOf(c.spacing, c.n, kInnerSpacing);
        signal.wall = c.wall(signal.spacing);
        const std::vector<double> expected =
            referenceTraceWall(signal.wall, signal.spacing, c.radius);
        for (const std::size_t block :
             {std::size_t{1}, std::size_t{7}, std::size_t{4096}, std::size_t{0}}) {
            expectSameBits(expected, traceInBlocks(signal, c.radius, blockPattern(c.n, block, 3)),
                           c.name + ", blocks of " + std::to_string(block));
        }
    }
}

TEST(TipTracing, OneSampleAtATimeOnDemandGivesTheSameValues) {
    // As a reader that forms traced samples only where it looks: any order, any gaps, on every
    // kind of spacing (an arm moving slowly keeps its bounds' dips for many samples, a random
    // one forms them anew at almost every sample), sharp sines and samples that are not finite.
    struct Case {
        std::string name;
        SpacingKind spacing;
        std::vector<double> (*wall)(const std::vector<double>&);
    };
    const auto music = [](const std::vector<double>& s) {
        return musicLikeWall(s.size(), 44100.0 * 144, 400.0, 21);
    };
    const Case cases[] = {
        {"music, one spacing", SpacingKind::Constant, music},
        {"music, moving arm", SpacingKind::Ramp, music},
        {"music, random spacing", SpacingKind::Random, music},
        {"sine eps 3, moving arm", SpacingKind::Ramp,
         [](const std::vector<double>& s) { return sineWall(s, 0.03, 0.0835, 1.1); }},
        {"not finite, moving arm", SpacingKind::Ramp,
         [](const std::vector<double>& s) {
             std::vector<double> w = randomWall(s.size(), 0.002, 30, 5);
             w[100] = std::numeric_limits<double>::quiet_NaN();
             w[2500] = std::numeric_limits<double>::infinity();
             w[4000] = -std::numeric_limits<double>::infinity();
             for (std::size_t j = 5000; j < 6200; ++j) {
                 w[j] = std::numeric_limits<double>::quiet_NaN();
             }
             return w;
         }},
    };
    for (const Case& c : cases) {
        TracedWallCase signal;
        signal.spacing = spacingOf(c.spacing, 7000, kInnerSpacing);
        signal.wall = c.wall(signal.spacing);
        const std::vector<double> expected =
            referenceTraceWall(signal.wall, signal.spacing, kRadius);
        const double smallest = *std::min_element(signal.spacing.begin(), signal.spacing.end());
        TracingWindow window({kRadius, smallest});
        window.append(signal.wall);
        std::vector<double> actual(expected.size());
        const auto last = static_cast<std::int64_t>(signal.wall.size()) - 1;
        for (std::int64_t i = last; i >= 0; i -= 3) {
            actual[i] = window.tracedAt(i, signal.spacing[i], last);
        }
        for (const std::int64_t start : {0, 1, 2}) {
            for (std::int64_t i = start; i <= last; i += 3) {
                actual[i] = window.tracedAt(i, signal.spacing[i], last);
            }
        }
        expectSameBits(expected, actual, c.name + ", on demand");
    }
}

TEST(TipTracing, NonFiniteSamplesFollowTheirRules) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    TracedWallCase signal;
    signal.spacing = spacingOf(SpacingKind::Constant, 4000, kInnerSpacing);
    signal.wall.assign(4000, 0.001);
    signal.wall[1000] = nan;
    signal.wall[2000] = inf;
    for (std::size_t j = 3000; j < 4000; ++j) {
        signal.wall[j] = nan;
    }
    const std::vector<double> traced = traceInBlocks(signal, kRadius, {4000});
    const std::int64_t reach = footprintReach(kInnerSpacing, TipRadius(kRadius));
    // A NaN never wins: its neighbours, one sample away, trace it.
    EXPECT_EQ(traced[1000], 0.001 - tipDip(1, kInnerSpacing, TipRadius(kRadius)));
    EXPECT_EQ(traced[2000], inf);
    EXPECT_EQ(traced[2000 - reach], inf);  // an infinite sample wins its whole footprint
    EXPECT_EQ(traced[2000 - reach - 1], 0.001);
    EXPECT_EQ(traced[2999 + reach],
              0.001 - tipDip(static_cast<double>(reach), kInnerSpacing, TipRadius(kRadius)));
    EXPECT_TRUE(std::isnan(traced[3000 + reach]));  // nothing but NaN in reach
}

// The closed forms of the envelope.
TEST(TipTracing, ConstantAndSlopedWallsTraceToTheirOffsets) {
    const std::size_t n = 6000;
    for (const double slope : {0.0, 0.05, -0.3, 1.0, 2.5}) {
        for (const double level : {0.0, -0.002, 0.0371}) {
            TracedWallCase signal;
            signal.spacing = spacingOf(SpacingKind::Constant, n, kInnerSpacing);
            const std::vector<double> x = groovePositions(signal.spacing);
            for (const double position : x) {
                signal.wall.push_back(level + slope * position);
            }
            const std::vector<double> traced = traceInBlocks(signal, kRadius, {n});
            const std::int64_t reach = footprintReach(kInnerSpacing, TipRadius(kRadius));
            // The offset of a line: ρ·(√(1 + s²) − 1) above it, less what the samples miss of
            // the circle's top, at most (dx/2)²·(1 + s²)^(3/2)/(2ρ).
            const double offset = kRadius * (std::sqrt(1 + slope * slope) - 1);
            const double sampling =
                kInnerSpacing * kInnerSpacing / 8 * std::pow(1 + slope * slope, 1.5) / kRadius;
            for (std::size_t j = reach; j + reach < n; j += 97) {
                if (slope == 0.0) {
                    EXPECT_EQ(traced[j], signal.wall[j]) << level;  // exactly
                } else {
                    EXPECT_NEAR(traced[j], signal.wall[j] + offset, sampling + 1e-15)
                        << "slope " << slope << " at " << j;
                    EXPECT_GE(traced[j], signal.wall[j]);
                }
            }
        }
    }
}

// The traced value at groove position x from the offset curve: the point of contact x' with
// x' − ρ·s/√(1 + s²) = x (s the slope at x'), found by bisection where the curve does not fold,
// and the centre's height w(x') + ρ/√(1 + s²), less ρ.
double offsetCurveAt(double x, double amplitude, double wavelength, double phase, double radius) {
    const double k = 2 * M_PI / wavelength;
    const auto slope = [&](double at) { return amplitude * k * std::cos(k * at + phase); };
    const auto centre = [&](double at) {
        const double s = slope(at);
        return at - radius * s / std::sqrt(1 + s * s);
    };
    double low = x - radius;
    double high = x + radius;
    for (int step = 0; step < 200; ++step) {
        const double middle = 0.5 * (low + high);
        (centre(middle) < x ? low : high) = middle;
    }
    const double contact = 0.5 * (low + high);
    const double s = slope(contact);
    return amplitude * std::sin(k * contact + phase) + radius / std::sqrt(1 + s * s) - radius;
}

TEST(TipTracing, WallsGentlerThanTheTipTraceToTheOffsetCurve) {
    const std::size_t n = 20000;
    const double wavelength = 0.0835;  // 2.5 kHz on the innermost groove
    const double phase = 0.3;
    for (const double epsilon : {0.05, 0.4, 0.95}) {
        const double k = 2 * M_PI / wavelength;
        const double amplitude = epsilon / (kRadius * k * k);
        for (const SpacingKind kind : {SpacingKind::Constant, SpacingKind::Ramp}) {
            TracedWallCase signal;
            // A realistic arm: the velocity falls by what 20 minutes from 146 to 60 mm give it
            // over these 3 ms at the innermost groove.
            signal.spacing = spacingOf(kind, n, kInnerSpacing, 4e-6);
            signal.wall = sineWall(signal.spacing, amplitude, wavelength, phase);
            const std::vector<double> x = groovePositions(signal.spacing);
            const std::vector<double> traced = traceInBlocks(signal, kRadius, {n});
            const std::int64_t reach = footprintReach(kInnerSpacing, TipRadius(kRadius));
            // The samples miss the top of the candidates' hump by at most (dx/2)²/2 times its
            // curvature, |w''| + (1 + s²)^(3/2)/ρ, with s up to a·k; a ramp adds the footprint
            // measured with the traced sample's spacing (a part in 10^7 of ρ).
            const double slope = amplitude * k;
            const double curvature = amplitude * k * k + std::pow(1 + slope * slope, 1.5) / kRadius;
            const double tolerance = kInnerSpacing * kInnerSpacing / 8 * curvature + 1e-12;
            for (std::size_t j = reach; j + reach < n; j += 31) {
                EXPECT_NEAR(traced[j], offsetCurveAt(x[j], amplitude, wavelength, phase, kRadius),
                            tolerance)
                    << "eps " << epsilon << " at " << j
                    << (kind == SpacingKind::Ramp ? ", ramp" : "");
            }
        }
    }
}

// The second harmonic of a traced sine over whole periods, relative to the fundamental.
double tracedSecondHarmonic(double epsilon, double wavelength, double radius, double spacing) {
    const double k = 2 * M_PI / wavelength;
    const double amplitude = epsilon / (radius * k * k);
    const auto perPeriod = static_cast<std::size_t>(std::lround(wavelength / spacing));
    const double dx = wavelength / static_cast<double>(perPeriod);
    const std::size_t periods = 8;
    TracedWallCase signal;
    signal.spacing.assign(perPeriod * periods, dx);
    signal.wall = sineWall(signal.spacing, amplitude, wavelength, 0.0);
    const std::vector<double> traced = traceInBlocks(signal, radius, {signal.wall.size()});
    // Two periods in the middle, clear of the ends.
    double c1 = 0, s1 = 0, c2 = 0, s2 = 0;
    for (std::size_t j = 3 * perPeriod; j < 5 * perPeriod; ++j) {
        const double phase = k * static_cast<double>(j) * dx;
        c1 += traced[j] * std::cos(phase);
        s1 += traced[j] * std::sin(phase);
        c2 += traced[j] * std::cos(2 * phase);
        s2 += traced[j] * std::sin(2 * phase);
    }
    return std::hypot(c2, s2) / std::hypot(c1, s1);
}

TEST(TipTracing, SmallSinesGetLewisAndHuntsSecondHarmonic) {
    // To first order in ε = ρ·a·k², H2 = π²·ρ·a/λ² = ε/4 (Lewis & Hunt 1941); the next order is
    // a few ε² smaller. The samples miss the continuous envelope by up to dx²·(1 + s²)^(3/2)/(8ρ),
    // so the cases are those whose second harmonic stands well above that: the winner must move
    // over many samples (ρ·s ≫ dx).
    const struct {
        double epsilon, wavelength;
    } cases[] = {{0.01, 0.0835}, {0.03, 0.0835}, {0.05, 0.042}, {0.02, 0.12}, {0.1, 0.0835}};
    for (const auto& c : cases) {
        const double k = 2 * M_PI / c.wavelength;
        const double amplitude = c.epsilon / (kRadius * k * k);
        const double slope = amplitude * k;
        const double grid =
            kInnerSpacing * kInnerSpacing / (8 * kRadius) * std::pow(1 + slope * slope, 1.5);
        const double h2 = tracedSecondHarmonic(c.epsilon, c.wavelength, kRadius, kInnerSpacing);
        EXPECT_NEAR(h2 / (c.epsilon / 4), 1.0,
                    0.6 * c.epsilon + 2 * grid / (c.epsilon / 4 * amplitude))
            << "eps " << c.epsilon << ", wavelength " << c.wavelength;
    }
}

TEST(TipTracing, TheTipReachesTheTroughOnlyBelowCurvatureRatioOne) {
    // At a trough the wall's radius of curvature is ρ/ε: below ε = 1 the tip fits and touches the
    // bottom, above it the tip skates over the crests, and the traced trough stays above the
    // wall (still the maximum, finite).
    const double wavelength = 0.0835;
    const double k = 2 * M_PI / wavelength;
    const std::size_t perPeriod = 2400;
    const double dx = wavelength / perPeriod;
    for (const double epsilon : {0.3, 0.9, 1.1, 4.0, 30.0}) {
        const double amplitude = epsilon / (kRadius * k * k);
        TracedWallCase signal;
        signal.spacing.assign(4 * perPeriod, dx);
        // Troughs at j = perPeriod·(m + 3/4) exactly: −a·sin(π/2·3) is −a.
        signal.wall = sineWall(signal.spacing, amplitude, wavelength, 0.0);
        const std::vector<double> traced = traceInBlocks(signal, kRadius, {signal.wall.size()});
        const std::size_t trough = perPeriod * 2 + perPeriod * 3 / 4;
        ASSERT_NEAR(signal.wall[trough], -amplitude, 1e-12 * amplitude);
        for (std::size_t j = perPeriod; j < 3 * perPeriod; ++j) {
            ASSERT_TRUE(std::isfinite(traced[j]));
            ASSERT_GE(traced[j], signal.wall[j]);  // the tip never enters the wall
        }
        if (epsilon < 1) {
            EXPECT_EQ(traced[trough], signal.wall[trough]) << epsilon;
        } else {
            // Lifted at least by what the circle of radius ρ misses of the trough within a tenth
            // of its footprint: the wall there rises by a·(1 − cos(k·u)) more than the tip's face.
            const double u = 0.1 * std::min(kRadius, wavelength / 4);
            const double lift = amplitude * (1 - std::cos(k * u)) -
                                (kRadius - std::sqrt(kRadius * kRadius - u * u));
            EXPECT_GT(traced[trough] - signal.wall[trough], lift) << epsilon;
        }
    }
}

TEST(TipTracing, WallsSplitAndJoinOnTheirAxes) {
    const struct {
        double y, z;
    } cases[] = {{0.001, 0.001}, {0.001, -0.001}, {0.0123, -0.004}, {-3e-7, 5e-5}, {0.0, 0.0}};
    for (const auto& c : cases) {
        const GrooveWalls walls = wallsOf(c.y, c.z);
        EXPECT_NEAR(walls.inner, (c.y + c.z) / std::sqrt(2.0), 1e-18);
        EXPECT_NEAR(walls.outer, (c.z - c.y) / std::sqrt(2.0), 1e-18);
        const GrooveDisplacement back = displacementOf(walls.inner, walls.outer);
        EXPECT_NEAR(back.lateral, c.y, 4e-16 * (std::fabs(c.y) + std::fabs(c.z)));
        EXPECT_NEAR(back.vertical, c.z, 4e-16 * (std::fabs(c.y) + std::fabs(c.z)));
    }
}

TEST(TipTracing, ALeftOnlyToneLeavesTheOuterWallAtRest) {
    // Left alone is mid = side, y = z: the outer wall is exactly still, traces to exactly 0, and
    // the traced walls give y = z again, so the right channel, mid − side, stays silent.
    TracedWallCase inner;
    TracedWallCase outer;
    inner.spacing = spacingOf(SpacingKind::Ramp, 5000, kInnerSpacing);
    outer.spacing = inner.spacing;
    const std::vector<double> y = sineWall(inner.spacing, 0.01, 0.02);
    for (const double value : y) {
        const GrooveWalls walls = wallsOf(value, value);
        inner.wall.push_back(walls.inner);
        outer.wall.push_back(walls.outer);
        ASSERT_EQ(walls.outer, 0.0);
    }
    const std::vector<double> tracedInner =
        traceInBlocks(inner, kRadius, blockPattern(5000, 777, 1));
    const std::vector<double> tracedOuter =
        traceInBlocks(outer, kRadius, blockPattern(5000, 777, 1));
    ASSERT_EQ(tracedOuter.size(), y.size());
    for (std::size_t j = 0; j < y.size(); ++j) {
        ASSERT_EQ(tracedOuter[j], 0.0);
        const GrooveDisplacement back = displacementOf(tracedInner[j], tracedOuter[j]);
        ASSERT_EQ(back.lateral, back.vertical) << j;
    }
}

TEST(TipTracing, TipTextsAreReadOrRefused) {
    const struct {
        const char* text;
        StylusShape shape;
        double scanning, bearing;
    } good[] = {
        {"point", StylusShape::Point, 0, 0},
        {"spherical:17.8", StylusShape::Spherical, 17.8, 17.8},
        {"spherical:15", StylusShape::Spherical, 15, 15},
        {"elliptical:7x18", StylusShape::Elliptical, 7, 18},
        {"elliptical:3x18", StylusShape::Elliptical, 3, 18},
        {"elliptical:0.2x8", StylusShape::Elliptical, 0.2, 8},
        {"elliptical:8x8", StylusShape::Elliptical, 8, 8},
        {"spherical:1000", StylusShape::Spherical, 1000, 1000},
    };
    for (const auto& c : good) {
        std::string message;
        const std::optional<StylusTip> tip = parseStylusTip(c.text, message);
        ASSERT_TRUE(tip) << c.text << ": " << message;
        EXPECT_EQ(tip->shape, c.shape) << c.text;
        EXPECT_EQ(tip->scanningRadius, c.scanning) << c.text;
        EXPECT_EQ(tip->bearingRadius, c.bearing) << c.text;
        EXPECT_EQ(stylusTipText(*tip), c.text);
    }
    const struct {
        const char* text;
        const char* says;
    } bad[] = {
        {"", "is not a tip"},
        {"Point", "is not a tip"},
        {"spherical", "is not a tip"},
        {"spherical:", "is not a number"},
        {"spherical:abc", "is not a number"},
        {"spherical:-3", "is not a number"},
        {"spherical:+3", "is not a number"},
        {"spherical:17.8um", "is not a number"},
        {"spherical:1e1", "is not a number"},
        {"spherical:0", "above 0"},
        {"spherical:1000.5", "at most 1000"},
        {"spherical:inf", "at most 1000"},
        {"spherical:nan", "above 0"},
        {"elliptical:7", "two radii"},
        {"elliptical:7x", "two radii"},
        {"elliptical:x18", "two radii"},
        {"elliptical:7X18", "two radii"},
        {"elliptical:7x18x2", "two radii"},
        {"elliptical:18x7", "did you mean elliptical:7x18?"},
        {"elliptical:0x7", "R1 must be above 0"},
        {"conical:17.8", "unknown tip shape \"conical\""},
        {"spherical:17.8 ", "is not a number"},
    };
    for (const auto& c : bad) {
        std::string message;
        EXPECT_FALSE(parseStylusTip(c.text, message)) << c.text;
        EXPECT_NE(message.find(c.says), std::string::npos) << c.text << ": " << message;
        EXPECT_NE(message.find(std::string("\"") + c.text + "\""), std::string::npos) << message;
    }
}

TEST(TipTracing, ImpossibleSettingsAndSpacingsAreRefused) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const TipTracingSettings refused[] = {
        {0.0, 1e-5},     {-0.01, 1e-5}, {inf, 1e-5},    {nan, 1e-5}, {0.0178, 0.0},
        {0.0178, -1e-5}, {0.0178, nan}, {0.0178, 1e-9},  // 17.8 million samples on either side
    };
    for (const TipTracingSettings& settings : refused) {
        std::string message;
        EXPECT_FALSE(tipTracingSettingsValid(settings, message));
        EXPECT_THROW(TipTracer{settings}, std::invalid_argument);
    }
    TipTracer tracer({kRadius, kInnerSpacing});
    SampleBlock traced;
    const std::vector<double> wall(10, 0.0);
    EXPECT_THROW(tracer.process(wall, kInnerSpacing / 2, traced), std::invalid_argument);
    EXPECT_THROW(tracer.process(wall, nan, traced), std::invalid_argument);
    std::vector<double> spacing(10, kInnerSpacing);
    spacing[9] = inf;
    EXPECT_THROW(tracer.process(wall, spacing, traced), std::invalid_argument);
    // Nothing was taken by a refused call: the tracer still gives every sample once.
    tracer.process(wall, kInnerSpacing, traced);
    tracer.finish(traced);
    EXPECT_EQ(traced.size(), wall.size());
}

TEST(TipTracing, ResetStartsAgainFromTheFirstSample) {
    TracedWallCase signal;
    signal.spacing = spacingOf(SpacingKind::Constant, 3000, kInnerSpacing);
    signal.wall = randomWall(3000, 0.002, 20, 99);
    TipTracer tracer({kRadius, kInnerSpacing});
    SampleBlock first;
    tracer.process(signal.wall, signal.spacing, first);
    tracer.finish(first);
    tracer.reset();
    SampleBlock second;
    tracer.process(signal.wall, signal.spacing, second);
    tracer.finish(second);
    expectSameBits(std::vector<double>(first.begin(), first.end()),
                   std::vector<double>(second.begin(), second.end()), "after reset");
    EXPECT_EQ(first.size(), signal.wall.size());
}

}  // namespace
