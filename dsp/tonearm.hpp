#pragma once

// How the stylus meets the groove: a fixed tracking error, a pivoted arm, or a tangential
// (linear) tracker.
struct Tonearm {
    enum class Kind { FixedAngle, Pivoted, Tangential };
    Kind kind = Kind::FixedAngle;
    double fixedAngleDegrees = 0.0;  // FixedAngle: the tracking error at every radius
    double effectiveLength = 0.0;    // Pivoted: L, pivot to stylus, mm
    double pivotToSpindle = 0.0;     // Pivoted: d, mm
    double offsetDegrees = 0.0;      // Pivoted: beta, the headshell offset angle
};

// The tracking error in degrees at groove radius `radius` (mm); NaN where a pivoted arm cannot
// reach that radius.
double trackingErrorDegrees(const Tonearm& arm, double radius);
