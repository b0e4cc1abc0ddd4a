#pragma once

#include <vector>

#include "dsp/tonearm.hpp"

// An arm's tracking error over the playing area, and the second harmonic it predicts, as the arm
// subcommand tabulates and plots them.

// The playback equalisation is judged at 1 kHz: its second harmonic is played back at the gain
// of 2 kHz relative to that of the fundamental.
inline constexpr double kEqualisationFundamentalHz = 1000.0;

// The largest |error| and |error / r| over the playing area, signed, and where they are.
struct ArmExtremes {
    double maxError = 0.0;  // degrees
    double maxErrorRadius = 0.0;
    double maxWeighted = 0.0;  // degrees per cm
    double maxWeightedRadius = 0.0;
};

// The extremes on a grid of 100000 steps (under a micrometre) and both ends: the error is
// smooth, so the grid finds the peaks to well within the printed digits.
ArmExtremes findExtremes(const Tonearm& arm, const PlayingArea& area);

// One radius of the table.
struct ArmRow {
    double radius = 0.0;
    double error = 0.0;           // degrees
    double weighted = 0.0;        // alpha / r, degrees per cm
    double grooveVelocity = 0.0;  // mm/s
    double h2 = 0.0;              // percent, at the peak lateral velocity
    double h2Equalised = 0.0;     // the same after the playback equalisation
};

// `peakVelocity` in mm/s; `equalisation` the playback equalisation's gain ratio for h2.
ArmRow armRowAt(const Tonearm& arm, double revolutionsPerMinute, double radius, double peakVelocity,
                double equalisation);

// Every 5 mm within the playing area, both ends and the given null radii, ascending; radii closer
// than 0.005 mm are taken once.
std::vector<double> tableRadii(const PlayingArea& area, const std::vector<NullRadii>& nulls);
