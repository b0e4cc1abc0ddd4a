#include "dsp/tonearm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <sstream>

#include "dsp/extended.hpp"

// Sources of the formulas below:
//   [B45] B. B. Bauer, "Tracking angle in phonograph pickups", Electronics, March 1945: the
//         error from the triangle spindle-pivot-stylus, and distortion proportional to the
//         error divided by the radius.
//   [L38] E. Löfgren, "Über die nichtlineare Verzerrung bei der Wiedergabe von Schallplatten
//         infolge der Winkelabweichung des Abtaststiftes", Akustische Zeitschrift 3 (1938):
//         alignments A (equal peaks of the weighted error) and B (least mean square).
//   [B41] H. G. Baerwald, "Analytic treatment of tracking error and notes on optimal pick-up
//         design", Journal of the SMPE 37 (1941): alignment A found independently.
//   [S66] J. K. Stevenson, "Pickup arm design", Wireless World, May 1966: the inner null on the
//         innermost groove.
//   IEC 60098 and DIN 45 547: the innermost and outermost modulated groove radii.

namespace {

// Degrees and radians are converted with the chain's pi, so that an error handed to the chain
// in degrees turns back into the same radians there. The error is worked out in double: the
// engine asks for it at every high-rate sample, and the extended functions cost several times
// as much.
constexpr double kPi = static_cast<double>(kChainPi);

double toRadians(double degrees) {
    return degrees * kPi / 180;
}

double toDegrees(double radians) {
    return radians * 180 / kPi;
}

bool finitePositive(double value) {
    return std::isfinite(value) && value > 0.0;
}

// The argument of the arcsine in the tracking error: by the law of cosines in the triangle
// spindle (C), pivot (P), stylus (S), with |PS| = L, |CP| = d, |CS| = r, the angle at S
// between the arm and the radius has cosine (L^2 + r^2 - d^2) / (2 L r); the arm's angle to the
// groove tangent, which is perpendicular to the radius, has that as its sine [B45].
double reachArgument(double length, double distance, double radius) {
    return (length * length + radius * radius - distance * distance) / (2 * length * radius);
}

std::string millimetres(double value) {
    std::ostringstream text;
    text.precision(6);
    text << value << " mm";
    return text.str();
}

}  // namespace

double pivotedTrackingErrorDegrees(double effectiveLength, double pivotToSpindle,
                                   double offsetDegrees, double radius) {
    const double argument = reachArgument(effectiveLength, pivotToSpindle, radius);
    if (!(argument >= -1.0 && argument <= 1.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return toDegrees(std::asin(argument) - toRadians(offsetDegrees));
}

double trackingErrorDegrees(const Tonearm& arm, double radius) {
    switch (arm.kind) {
        case Tonearm::Kind::FixedAngle:
            return arm.fixedAngleDegrees;
        case Tonearm::Kind::Tangential:
            return 0.0;
        case Tonearm::Kind::Pivoted:
            return pivotedTrackingErrorDegrees(arm.effectiveLength, arm.pivotToSpindle,
                                               arm.offsetDegrees, radius);
    }
    return std::numeric_limits<double>::quiet_NaN();
}

PlayingArea standardPlayingArea(GrooveStandard standard) {
    // IEC 60098: 60.325 mm (2 3/8 in) to 146.05 mm (5 3/4 in); DIN 45 547 lets the groove run
    // in to 57.5 mm.
    switch (standard) {
        case GrooveStandard::Din:
            return {57.5, 146.05};
        case GrooveStandard::Iec:
            break;
    }
    return {60.325, 146.05};
}

const char* alignmentName(AlignmentKind kind) {
    switch (kind) {
        case AlignmentKind::Baerwald:
            return "baerwald";
        case AlignmentKind::LofgrenA:
            return "lofgren-a";
        case AlignmentKind::LofgrenB:
            return "lofgren-b";
        case AlignmentKind::Stevenson:
            return "stevenson";
    }
    return "";
}

// The weighted error. For small errors, with u = 1/r and the nulls n1, n2 (the roots of
// sin(alpha + beta) = sin beta), the error divided by the radius is very nearly
//   alpha / r = (1 - n1 u)(1 - n2 u) / (2 L cos beta),
// a parabola in u [B45, L38]. The alignments below place its roots over the playing area
// R1 <= r <= R2, that is 1/R2 <= u <= 1/R1.

NullRadii lofgrenANulls(const PlayingArea& area) {
    // Equal peaks of |alpha/r| at both ends and between the nulls [L38, B41]: the parabola is
    // the Chebyshev polynomial of degree 2 on [1/R2, 1/R1], whose roots lie at the centre
    // plus or minus the half-width over sqrt 2:
    //   1/n = (1/R1 + 1/R2)/2 -+ (1/R1 - 1/R2)/(2 sqrt 2), that is
    //   n1 = 2 R1 R2 / ((1 + 1/sqrt 2) R2 + (1 - 1/sqrt 2) R1)
    //   n2 = 2 R1 R2 / ((1 - 1/sqrt 2) R2 + (1 + 1/sqrt 2) R1).
    // IEC: 66.00 and 120.89 mm.
    const double r1 = area.innerRadius;
    const double r2 = area.outerRadius;
    const double h = 1.0 / std::sqrt(2.0);
    return {2 * r1 * r2 / ((1 + h) * r2 + (1 - h) * r1),
            2 * r1 * r2 / ((1 - h) * r2 + (1 + h) * r1)};
}

NullRadii lofgrenBNulls(const PlayingArea& area) {
    // Least mean square of alpha/r over the radius [L38]: the offset, and with it the sum of the
    // nulls a = n1 + n2 = 2 L sin beta, stays that of alignment A, and the product b = n1 n2
    // = L^2 - d^2 (the overhang) minimises the integral over R1..R2 of (1 - a/r + b/r^2)^2 dr.
    // Setting its derivative by b to zero: a I3 - b I4 = I2, with I_k the integral of r^-k,
    //   I2 = 1/R1 - 1/R2,  I3 = (1/R1^2 - 1/R2^2)/2,  I4 = (1/R1^3 - 1/R2^3)/3,
    // so b = (a I3 - I2)/I4 and the nulls are the roots of n^2 - a n + b = 0.
    // IEC: 70.29 and 116.60 mm, the figures the alignment is known by.
    const double r1 = area.innerRadius;
    const double r2 = area.outerRadius;
    const NullRadii a = lofgrenANulls(area);
    const double sum = a.inner + a.outer;
    const double i2 = 1 / r1 - 1 / r2;
    const double i3 = (1 / (r1 * r1) - 1 / (r2 * r2)) / 2;
    const double i4 = (1 / (r1 * r1 * r1) - 1 / (r2 * r2 * r2)) / 3;
    const double product = (sum * i3 - i2) / i4;
    const double root = std::sqrt(sum * sum - 4 * product);
    return {(sum - root) / 2, (sum + root) / 2};
}

NullRadii stevensonNulls(const PlayingArea& area) {
    // The inner null on the innermost groove, n1 = R1 [S66]; the outer null makes the peak of
    // |alpha/r| between the nulls, (n2 - n1)^2 / (4 n1 n2) in units of 1/(2 L cos beta), equal
    // to its value at the outer radius, (R2 - n1)(R2 - n2) / R2^2. With k = 4 n1 (R2 - n1) this
    // is the quadratic
    //   (R2^2 + k) n2^2 - (k R2 + 2 R2^2 n1) n2 + R2^2 n1^2 = 0,
    // whose larger root lies between n1 and R2. IEC: 60.325 and 117.42 mm.
    const double n1 = area.innerRadius;
    const double r2 = area.outerRadius;
    const double k = 4 * n1 * (r2 - n1);
    const double qa = r2 * r2 + k;
    const double qb = k * r2 + 2 * r2 * r2 * n1;
    const double qc = r2 * r2 * n1 * n1;
    return {n1, (qb + std::sqrt(qb * qb - 4 * qa * qc)) / (2 * qa)};
}

NullRadii alignmentNulls(AlignmentKind kind, const PlayingArea& area) {
    switch (kind) {
        case AlignmentKind::Baerwald:
        case AlignmentKind::LofgrenA:
            return lofgrenANulls(area);
        case AlignmentKind::LofgrenB:
            return lofgrenBNulls(area);
        case AlignmentKind::Stevenson:
            return stevensonNulls(area);
    }
    return lofgrenANulls(area);
}

ArmAlignment alignArm(const NullRadii& nulls, double pivotToSpindle, const PlayingArea& area) {
    // At a null the arm's angle to the tangent equals beta: (L^2 + n^2 - d^2)/(2 L n) = sin beta
    // for n = n1 and n = n2, so n1, n2 are the roots of n^2 - 2 L sin beta n + (L^2 - d^2) = 0:
    // n1 n2 = L^2 - d^2 and n1 + n2 = 2 L sin beta.
    ArmAlignment arm;
    arm.pivotToSpindle = pivotToSpindle;
    arm.effectiveLength = std::sqrt(pivotToSpindle * pivotToSpindle + nulls.inner * nulls.outer);
    arm.offsetDegrees =
        toDegrees(std::asin((nulls.inner + nulls.outer) / (2 * arm.effectiveLength)));
    arm.nulls = nulls;
    arm.area = area;
    return arm;
}

ArmAlignment namedAlignment(AlignmentKind kind, double pivotToSpindle, const PlayingArea& area) {
    return alignArm(alignmentNulls(kind, area), pivotToSpindle, area);
}

bool armNulls(double effectiveLength, double pivotToSpindle, double offsetDegrees,
              NullRadii& nulls) {
    const double sum = 2 * effectiveLength * std::sin(toRadians(offsetDegrees));
    const double product = effectiveLength * effectiveLength - pivotToSpindle * pivotToSpindle;
    const double discriminant = sum * sum - 4 * product;
    if (!(discriminant >= 0.0) || !(product > 0.0) || !(sum > 0.0)) {
        return false;
    }
    const double root = std::sqrt(discriminant);
    nulls.inner = (sum - root) / 2;
    nulls.outer = (sum + root) / 2;
    return true;
}

Tonearm pivotedArm(const ArmAlignment& alignment) {
    Tonearm arm;
    arm.kind = Tonearm::Kind::Pivoted;
    arm.effectiveLength = alignment.effectiveLength;
    arm.pivotToSpindle = alignment.pivotToSpindle;
    arm.offsetDegrees = alignment.offsetDegrees;
    return arm;
}

double overhang(double effectiveLength, double pivotToSpindle) {
    return effectiveLength - pivotToSpindle;
}

bool armReachesArea(const Tonearm& arm, double innerRadius, double outerRadius,
                    std::string& reason) {
    if (arm.kind != Tonearm::Kind::Pivoted) {
        return true;
    }
    if (!finitePositive(arm.effectiveLength)) {
        reason = "the effective length must be a positive number of millimetres";
        return false;
    }
    if (!finitePositive(arm.pivotToSpindle)) {
        reason = "the pivot-to-spindle distance must be a positive number of millimetres";
        return false;
    }
    if (!std::isfinite(arm.offsetDegrees) || std::fabs(arm.offsetDegrees) >= 90.0) {
        reason = "the offset angle must be a number of degrees between -90 and 90";
        return false;
    }
    // The arm reaches radius r when |L - d| <= r <= L + d (the triangle closes). The argument
    // (L^2 - d^2)/(2 L r) + r/(2 L) rises with r where L <= d; where L > d it is convex with its
    // least value sqrt(L^2 - d^2)/L in [0, 1]. Either way it leaves [-1, 1] within a range of
    // radii only if it does so at one of the range's ends.
    const double nearest = std::fabs(arm.effectiveLength - arm.pivotToSpindle);
    const double farthest = arm.effectiveLength + arm.pivotToSpindle;
    for (double radius : {innerRadius, outerRadius}) {
        const double argument = reachArgument(arm.effectiveLength, arm.pivotToSpindle, radius);
        if (!(argument >= -1.0 && argument <= 1.0)) {
            reason = "the arm cannot reach the groove at " + millimetres(radius) +
                     " (it reaches only from " + millimetres(nearest) + " to " +
                     millimetres(farthest) + " from the spindle)";
            return false;
        }
    }
    return true;
}

bool nullsWithinArea(const NullRadii& nulls, const PlayingArea& area, std::string& reason) {
    // A tolerance of a micrometre: Stevenson's inner null lies on the inner radius itself, and
    // an arm given by rounded dimensions puts it there only to within rounding.
    const double slack = 1e-3;
    if (!(nulls.inner >= area.innerRadius - slack && nulls.outer <= area.outerRadius + slack &&
          nulls.inner <= nulls.outer)) {
        reason = "its null radii, " + millimetres(nulls.inner) + " and " +
                 millimetres(nulls.outer) + ", are not both within the playing area from " +
                 millimetres(area.innerRadius) + " to " + millimetres(area.outerRadius);
        return false;
    }
    return true;
}

double predictedSecondHarmonicPercent(double peakVelocity, double grooveVelocity,
                                      double errorDegrees) {
    // A velocity pickup reading a sine of peak velocity V with tracking error alpha at groove
    // velocity v gives a second harmonic of V tan(alpha) / v relative to the fundamental [B45].
    return 100.0 * peakVelocity * std::tan(std::numbers::pi * errorDegrees / 180.0) /
           grooveVelocity;
}

double playbackGainRatio(double frequency, double reference) {
    // Recording: (1 + j w T1)(1 + j w T3) / (1 + j w T2) with T1 = 3180 us, T2 = 318 us and
    // T3 = 75 us (IEC 60098); playback is its inverse, (1 + j w T2) / ((1 + j w T1)(1 + j w T3)).
    const auto gain = [](double f) {
        const double w = 2 * std::numbers::pi * f;
        const double t1 = 3180e-6;
        const double t2 = 318e-6;
        const double t3 = 75e-6;
        return std::hypot(1.0, w * t2) / (std::hypot(1.0, w * t1) * std::hypot(1.0, w * t3));
    };
    return gain(frequency) / gain(reference);
}

double raisedVerticalTrackingDegrees(double degrees, double raise, double effectiveLength) {
    return degrees + toDegrees(std::atan(raise / effectiveLength));
}

double verticalAngleChangePerMillimetre(double effectiveLength) {
    return toDegrees(std::atan(1.0 / effectiveLength));
}
