#include "dsp/tonearm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "dsp/groove_geometry.hpp"

namespace {

const PlayingArea kIec = standardPlayingArea(GrooveStandard::Iec);
const PlayingArea kDin = standardPlayingArea(GrooveStandard::Din);

// The error worked out from coordinates rather than from the law of cosines: the spindle at the
// origin, the pivot at (d, 0), the stylus where the circles of radius r and L meet. The arm's
// angle from the groove tangent toward the spindle is the angle of the vector stylus->pivot
// from the tangent, measured toward the inward normal; the headshell turns the cartridge's
// axis back by beta.
double errorFromCoordinates(double length, double distance, double offsetDegrees, double r) {
    const long double x =
        (static_cast<long double>(r) * r + static_cast<long double>(distance) * distance -
         static_cast<long double>(length) * length) /
        (2.0L * distance);
    const long double y = std::sqrt(static_cast<long double>(r) * r - x * x);
    const long double ux = (distance - x) / length;  // stylus -> pivot, unit length
    const long double uy = -y / length;
    const long double nx = -x / r;  // inward normal
    const long double ny = -y / r;
    const long double tx = -ny;  // the tangent on the arm's side (u . t > 0)
    const long double ty = nx;
    const long double sign = (ux * tx + uy * ty) >= 0 ? 1.0L : -1.0L;
    const long double angle = std::atan2(ux * nx + uy * ny, sign * (ux * tx + uy * ty));
    return static_cast<double>(angle * 180.0L / std::numbers::pi_v<long double>) - offsetDegrees;
}

// The largest |alpha/r| over the area and at the area's ends, on a fine grid.
struct WeightedPeaks {
    double inner = 0.0;
    double outer = 0.0;
    double between = 0.0;  // the largest |alpha/r| between the nulls
    double overall = 0.0;
    double rms = 0.0;
};

WeightedPeaks weightedPeaks(const ArmAlignment& alignment) {
    const Tonearm arm = pivotedArm(alignment);
    const PlayingArea& area = alignment.area;
    WeightedPeaks peaks;
    const int steps = 20000;
    double sum = 0.0;
    for (int i = 0; i <= steps; ++i) {
        const double r = area.innerRadius + (area.outerRadius - area.innerRadius) * i / steps;
        const double weighted = std::fabs(trackingErrorDegrees(arm, r) / r);
        if (r > alignment.nulls.inner && r < alignment.nulls.outer) {
            peaks.between = std::max(peaks.between, weighted);
        }
        peaks.overall = std::max(peaks.overall, weighted);
        sum += weighted * weighted;
    }
    peaks.inner = std::fabs(trackingErrorDegrees(arm, area.innerRadius) / area.innerRadius);
    peaks.outer = std::fabs(trackingErrorDegrees(arm, area.outerRadius) / area.outerRadius);
    peaks.rms = std::sqrt(sum / (steps + 1));
    return peaks;
}

TEST(TonearmTest, NullRadiiAreThoseTheAlignmentsArePublishedWith) {
    // The IEC null radii as the common alignment calculators and protractors give them
    // (e.g. the Vinyl Engine calculator; Baerwald's and Löfgren's A: 66.00 and 120.89 mm,
    // Löfgren's B: 70.29 and 116.60 mm, Stevenson's: 60.325 and 117.42 mm).
    struct Case {
        AlignmentKind kind;
        double inner;
        double outer;
    };
    for (const Case& c : {Case{AlignmentKind::Baerwald, 66.00, 120.89},
                          Case{AlignmentKind::LofgrenA, 66.00, 120.89},
                          Case{AlignmentKind::LofgrenB, 70.29, 116.60},
                          Case{AlignmentKind::Stevenson, 60.325, 117.42}}) {
        SCOPED_TRACE(alignmentName(c.kind));
        const NullRadii nulls = alignmentNulls(c.kind, kIec);
        EXPECT_NEAR(nulls.inner, c.inner, 0.006);
        EXPECT_NEAR(nulls.outer, c.outer, 0.006);
    }
    // DIN, Löfgren A: the same formula over 57.5..146.05 mm gives 63.10 and 119.17 mm.
    const NullRadii din = lofgrenANulls(kDin);
    EXPECT_NEAR(din.inner, 63.10, 0.006);
    EXPECT_NEAR(din.outer, 119.17, 0.006);
    EXPECT_DOUBLE_EQ(stevensonNulls(kDin).inner, 57.5);
}

TEST(TonearmTest, ArmsFromTheNullsMatchTheWorkedFigures) {
    // Baerwald (IEC) for a 222 mm pivot-to-spindle distance, as published for arms mounted at
    // 222 mm: effective length 239.30 mm, overhang 17.30 mm, offset 22.99 degrees. The 9-, 10-
    // and 12-inch cases are worked by hand from the published nulls 66.00 and 120.89 mm with
    // L = sqrt(d^2 + n1 n2) and sin beta = (n1 + n2) / 2L.
    struct Case {
        double distance;
        double length;
        double offset;
        double overhangMm;
    };
    for (const Case& c : {Case{211.0, 229.13, 24.07, 18.13}, Case{222.0, 239.30, 22.99, 17.30},
                          Case{250.0, 265.48, 20.61, 15.48}, Case{295.0, 308.23, 17.65, 13.23}}) {
        SCOPED_TRACE(c.distance);
        const ArmAlignment arm = namedAlignment(AlignmentKind::Baerwald, c.distance, kIec);
        EXPECT_NEAR(arm.effectiveLength, c.length, 0.006);
        EXPECT_NEAR(arm.offsetDegrees, c.offset, 0.006);
        EXPECT_NEAR(overhang(arm.effectiveLength, arm.pivotToSpindle), c.overhangMm, 0.006);
    }
}

TEST(TonearmTest, ErrorAgreesWithTheCoordinateGeometryAndItsSignConvention) {
    const ArmAlignment aligned = namedAlignment(AlignmentKind::Baerwald, 222.0, kIec);
    const struct {
        double length, distance, offset;
    } arms[] = {{aligned.effectiveLength, aligned.pivotToSpindle, aligned.offsetDegrees},
                {233.2, 215.4, 23.6},
                {308.8, 295.8, 17.6},
                {250.0, 250.0, 10.0},
                {200.0, 222.0, 0.0}};
    for (const auto& arm : arms) {
        for (double r = 50.0; r <= 150.0; r += 2.5) {
            SCOPED_TRACE(r);
            EXPECT_NEAR(pivotedTrackingErrorDegrees(arm.length, arm.distance, arm.offset, r),
                        errorFromCoordinates(arm.length, arm.distance, arm.offset, r), 1e-9);
        }
    }
    // Positive outside the nulls, negative between them.
    const Tonearm arm = pivotedArm(aligned);
    EXPECT_GT(trackingErrorDegrees(arm, 61.0), 0.0);
    EXPECT_LT(trackingErrorDegrees(arm, 90.0), 0.0);
    EXPECT_GT(trackingErrorDegrees(arm, 140.0), 0.0);
    // Out of reach: NaN, never a clamped angle.
    EXPECT_TRUE(std::isnan(pivotedTrackingErrorDegrees(100.0, 222.0, 20.0, 60.0)));
}

TEST(TonearmTest, EveryAlignmentHasZeroErrorAtItsNulls) {
    for (const PlayingArea& area : {kIec, kDin}) {
        for (AlignmentKind kind :
             {AlignmentKind::Baerwald, AlignmentKind::LofgrenB, AlignmentKind::Stevenson}) {
            for (double d : {190.0, 211.0, 222.0, 250.0, 295.0}) {
                SCOPED_TRACE(std::string(alignmentName(kind)) + " " + std::to_string(d));
                const ArmAlignment alignment = namedAlignment(kind, d, area);
                const Tonearm arm = pivotedArm(alignment);
                EXPECT_NEAR(trackingErrorDegrees(arm, alignment.nulls.inner), 0.0, 1e-9);
                EXPECT_NEAR(trackingErrorDegrees(arm, alignment.nulls.outer), 0.0, 1e-9);
                NullRadii back;
                ASSERT_TRUE(armNulls(alignment.effectiveLength, alignment.pivotToSpindle,
                                     alignment.offsetDegrees, back));
                EXPECT_NEAR(back.inner, alignment.nulls.inner, 1e-6);
                EXPECT_NEAR(back.outer, alignment.nulls.outer, 1e-6);
                std::string reason;
                EXPECT_TRUE(armReachesArea(arm, area.innerRadius, area.outerRadius, reason))
                    << reason;
                EXPECT_TRUE(nullsWithinArea(alignment.nulls, area, reason)) << reason;
            }
        }
    }
}

TEST(TonearmTest, EachAlignmentMeetsItsOwnCriterion) {
    for (const PlayingArea& area : {kIec, kDin}) {
        for (double d : {211.0, 222.0, 295.0}) {
            SCOPED_TRACE(std::to_string(area.innerRadius) + " " + std::to_string(d));
            const WeightedPeaks a = weightedPeaks(namedAlignment(AlignmentKind::LofgrenA, d, area));
            const WeightedPeaks b = weightedPeaks(namedAlignment(AlignmentKind::LofgrenB, d, area));
            const WeightedPeaks s =
                weightedPeaks(namedAlignment(AlignmentKind::Stevenson, d, area));
            // Löfgren A: equal peaks of |alpha/r| at both ends and between the nulls (to the
            // percent that the small-angle form of the criterion leaves), and the lowest peak.
            EXPECT_NEAR(a.inner / a.outer, 1.0, 0.015);
            EXPECT_NEAR(a.between / a.outer, 1.0, 0.015);
            EXPECT_LT(a.overall, b.overall);
            EXPECT_LT(a.overall, s.overall);
            // Löfgren B: the lowest mean square, also against its own overhang moved either way.
            EXPECT_LT(b.rms, a.rms);
            EXPECT_LT(b.rms, s.rms);
            const NullRadii nulls = lofgrenBNulls(area);
            for (double shift : {-0.5, 0.5}) {
                const NullRadii moved{nulls.inner - shift, nulls.outer + shift};
                EXPECT_LT(b.rms, weightedPeaks(alignArm(moved, d, area)).rms) << shift;
            }
            // Stevenson: no error on the innermost groove; the peak between the nulls equals
            // the value at the outer radius.
            EXPECT_NEAR(s.inner, 0.0, 1e-9);
            EXPECT_NEAR(s.between / s.outer, 1.0, 0.015);
        }
    }
}

TEST(TonearmTest, FixedAndTangentialArmsGiveTheirAngleUnchanged) {
    for (double angle : {0.0, 1.5, -2.25, 0.1, 45.0, 1e-300, -0.0}) {
        Tonearm arm;
        arm.kind = Tonearm::Kind::FixedAngle;
        arm.fixedAngleDegrees = angle;
        for (double r : {1.0, 60.325, 146.05, 1e6}) {
            const double got = trackingErrorDegrees(arm, r);
            EXPECT_EQ(std::signbit(got), std::signbit(angle));
            EXPECT_EQ(got, angle);
        }
    }
    Tonearm linear;
    linear.kind = Tonearm::Kind::Tangential;
    linear.fixedAngleDegrees = 3.0;
    EXPECT_EQ(trackingErrorDegrees(linear, 80.0), 0.0);
}

TEST(TonearmTest, ImpossibleArmsAreRefusedWithTheReason) {
    struct Case {
        const char* what;
        double length, distance, offset;
        const char* reasonPart;
    };
    const double nan = std::nan("");
    for (const Case& c : {
             Case{"zero length", 0.0, 222.0, 20.0, "effective length"},
             Case{"negative distance", 239.0, -222.0, 20.0, "pivot-to-spindle"},
             Case{"not a number", nan, 222.0, 20.0, "effective length"},
             Case{"infinite distance", 239.0, INFINITY, 20.0, "pivot-to-spindle"},
             Case{"offset at 90", 239.0, 222.0, 90.0, "offset"},
             Case{"too short to reach the outer groove", 100.0, 222.0, 20.0, "cannot reach"},
             Case{"too long to reach the inner groove", 400.0, 300.0, 20.0, "cannot reach"},
         }) {
        SCOPED_TRACE(c.what);
        Tonearm arm;
        arm.kind = Tonearm::Kind::Pivoted;
        arm.effectiveLength = c.length;
        arm.pivotToSpindle = c.distance;
        arm.offsetDegrees = c.offset;
        std::string reason;
        EXPECT_FALSE(armReachesArea(arm, kIec.innerRadius, kIec.outerRadius, reason));
        EXPECT_NE(reason.find(c.reasonPart), std::string::npos) << reason;
    }
    // A named alignment at a pivot-to-spindle distance far too short for an arm to swing over
    // the whole side.
    std::string reason;
    EXPECT_FALSE(armReachesArea(pivotedArm(namedAlignment(AlignmentKind::Baerwald, 20.0, kIec)),
                                kIec.innerRadius, kIec.outerRadius, reason));
    // Nulls outside the area, and an arm with no null at all.
    EXPECT_FALSE(nullsWithinArea({50.0, 120.0}, kIec, reason));
    EXPECT_NE(reason.find("playing area"), std::string::npos);
    EXPECT_FALSE(nullsWithinArea({70.0, 150.0}, kIec, reason));
    NullRadii none;
    EXPECT_FALSE(armNulls(239.3, 222.0, 5.0, none));
}

TEST(TonearmTest, GrooveVelocityIsTheChainsToTheLastBit) {
    for (double rpm : {100.0 / 3, 45.0, 78.26}) {
        for (double r : {57.5, 60.325, 100.0, 146.05}) {
            DiscParameters disc;
            disc.revolutionsPerMinute = rpm;
            disc.grooveRadius = r;
            EXPECT_EQ(grooveVelocityAt(r, rpm), deriveGrooveGeometry(disc, 44100).grooveVelocity);
        }
    }
}

TEST(TonearmTest, PredictionAndPlaybackEqualisationFollowThePublishedFigures) {
    // The playback curve's published table (IEC 60098 / RIAA), relative to 1 kHz: 2 kHz
    // -2.59 dB, 10 kHz -13.73 dB, 100 Hz +13.09 dB.
    const auto decibels = [](double ratio) { return 20.0 * std::log10(ratio); };
    EXPECT_NEAR(decibels(playbackGainRatio(2000.0, 1000.0)), -2.59, 0.01);
    EXPECT_NEAR(decibels(playbackGainRatio(10000.0, 1000.0)), -13.73, 0.01);
    EXPECT_NEAR(decibels(playbackGainRatio(100.0, 1000.0)), 13.09, 0.01);
    // 10 cm/s at 2 degrees on a groove moving at 200 mm/s: 100 * 100 * tan(2 deg) / 200.
    EXPECT_NEAR(predictedSecondHarmonicPercent(100.0, 200.0, 2.0), 1.7460, 1e-4);
    EXPECT_LT(predictedSecondHarmonicPercent(100.0, 200.0, -2.0), 0.0);
}

}  // namespace
