#pragma once

#include <string>

#include "dsp/groove_geometry.hpp"

// How the stylus meets the groove: a fixed tracking error, a pivoted arm, or a tangential
// (linear) tracker.
//
// Sign of the tracking error. Seen from above, the record turning clockwise, the groove runs
// under the stylus from the arm's side toward the front of the cartridge. A positive error means
// that the cartridge's axis, followed from the stylus back toward the arm, is turned toward the
// spindle (inward) from the groove tangent. For a pivoted arm this is the error outside its two
// null radii (inside the inner null and beyond the outer one); between the nulls it is negative.
// A positive lateral sample displaces the groove outward, away from the spindle; with a positive
// error the stylus then meets that displacement ahead of where it was cut, so the sample is
// played early, which is the sign the chain's timing error has.
struct Tonearm {
    enum class Kind { FixedAngle, Pivoted, Tangential };
    Kind kind = Kind::FixedAngle;
    double fixedAngleDegrees = 0.0;  // FixedAngle: the tracking error at every radius
    double effectiveLength = 0.0;    // Pivoted: L, pivot to stylus, mm
    double pivotToSpindle = 0.0;     // Pivoted: d, mm
    double offsetDegrees = 0.0;      // Pivoted: beta, the headshell offset angle
};

// The tracking error in degrees at groove radius `radius` (mm); NaN where a pivoted arm cannot
// reach that radius. A FixedAngle arm gives its angle unchanged at every radius.
double trackingErrorDegrees(const Tonearm& arm, double radius);

// The tracking error of a pivoted arm of effective length L, pivot-to-spindle distance d and
// offset beta (degrees) at radius r, all lengths in mm:
//   alpha(r) = asin((L^2 + r^2 - d^2) / (2 L r)) - beta
// NaN where the arcsine's argument leaves [-1, 1] (the stylus cannot reach r).
double pivotedTrackingErrorDegrees(double effectiveLength, double pivotToSpindle,
                                   double offsetDegrees, double radius);

// The groove-radius standards: the playing area from the innermost to the outermost modulated
// groove.
enum class GrooveStandard { Iec, Din };

struct PlayingArea {
    double innerRadius = 0.0;  // mm
    double outerRadius = 0.0;  // mm
};

PlayingArea standardPlayingArea(GrooveStandard standard);

// The named alignments. Baerwald published Löfgren's alignment A independently; both names give
// the same arm.
enum class AlignmentKind { Baerwald, LofgrenA, LofgrenB, Stevenson };

const char* alignmentName(AlignmentKind kind);

// The two radii where the error is zero, inner first.
struct NullRadii {
    double inner = 0.0;  // mm
    double outer = 0.0;  // mm
};

NullRadii lofgrenANulls(const PlayingArea& area);
NullRadii lofgrenBNulls(const PlayingArea& area);
NullRadii stevensonNulls(const PlayingArea& area);
NullRadii alignmentNulls(AlignmentKind kind, const PlayingArea& area);

// A pivoted arm with everything known about it: its three dimensions, where its error is zero
// and the playing area it is set up for.
struct ArmAlignment {
    double effectiveLength = 0.0;  // L, mm
    double pivotToSpindle = 0.0;   // d, mm
    double offsetDegrees = 0.0;    // beta
    NullRadii nulls;
    PlayingArea area;
};

// The arm that has its nulls at `nulls` when mounted `pivotToSpindle` from the spindle:
//   L = sqrt(d^2 + n1 n2),  sin beta = (n1 + n2) / (2 L).
ArmAlignment alignArm(const NullRadii& nulls, double pivotToSpindle, const PlayingArea& area);

// The named alignment for a pivot-to-spindle distance and a playing area.
ArmAlignment namedAlignment(AlignmentKind kind, double pivotToSpindle, const PlayingArea& area);

// The arm's own null radii from its dimensions: n1 + n2 = 2 L sin beta, n1 n2 = L^2 - d^2.
// False where it has none (its error never crosses zero).
bool armNulls(double effectiveLength, double pivotToSpindle, double offsetDegrees,
              NullRadii& nulls);

// The Tonearm record of an aligned arm.
Tonearm pivotedArm(const ArmAlignment& alignment);

// Overhang: how far the stylus reaches past the spindle, L - d (mm).
double overhang(double effectiveLength, double pivotToSpindle);

// Whether a pivoted arm can play every radius from `innerRadius` to `outerRadius`: its length and
// distance are positive and finite, and the arcsine's argument stays within [-1, 1] over the
// whole range. False with the reason, in words a user can act on.
bool armReachesArea(const Tonearm& arm, double innerRadius, double outerRadius,
                    std::string& reason);

// Whether an arm's nulls lie within the playing area (from its inner to its outer radius).
bool nullsWithinArea(const NullRadii& nulls, const PlayingArea& area, std::string& reason);

// The classic second-harmonic distortion of a velocity pickup with tracking error `errorDegrees`
// playing a peak lateral velocity `peakVelocity` at groove velocity `grooveVelocity` (both mm/s):
// 100 V tan(alpha) / v percent.
double predictedSecondHarmonicPercent(double peakVelocity, double grooveVelocity,
                                      double errorDegrees);

// The gain of the playback characteristic (the inverse of the recording characteristic with
// time constants 3180, 318 and 75 microseconds) at `frequency` (Hz), relative to its gain at
// `reference` (Hz).
double playbackGainRatio(double frequency, double reference);

// The vertical tracking angle of an arm whose pivot is raised by `raise` mm (negative: lowered)
// from where the angle was `degrees`: the arm tilts about the stylus by atan(raise / L), and the
// pickup's vertical axis with it, so the angle becomes degrees + atan(raise / L) (L the effective
// length, mm). The change for one millimetre is verticalAngleChangePerMillimetre.
double raisedVerticalTrackingDegrees(double degrees, double raise, double effectiveLength);
double verticalAngleChangePerMillimetre(double effectiveLength);
