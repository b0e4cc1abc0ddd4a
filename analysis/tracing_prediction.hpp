#pragma once

#include <vector>

// What theory says the tip's shape does to a sine on the groove wall, computed directly from the
// envelope of the tip rolling on it, not through the chain (Pierce & Hunt 1938; Lewis & Hunt,
// JASA 12(3), 1941; Corrington, RCA Review 1949).
//
// A wall sine w = a·sin(k·x) of peak velocity V at frequency f, on a groove moving at v, has
// a = V/ω and k = ω/v. Its smallest radius of curvature, at the crests and troughs, is
// 1/(a·k²) = v²/(ω·V); the curvature ratio ε = ρ·ω·V/v² is the tip's radius over it. Below
// ε = 1 the tip touches the wall everywhere; above it the tip no longer fits into the troughs
// and skates over the crests. The highest frequency the tip follows at V is therefore where
// ε = 1: f = v²/(2π·ρ·V). To first order in ε the traced wall is w + (ρ/2)·w'², whose second
// harmonic is ρ·a·k²/4 = ε/4 = π²·ρ·a/λ² of the fundamental (Lewis & Hunt).

// ε = ρ·ω·V/v²: ρ in mm, f in Hz, V and v in mm/s.
double curvatureRatio(double radius, double frequency, double peakVelocity, double grooveVelocity);

// The frequency at which ε reaches 1: v²/(2π·ρ·V), in Hz.
double highestFollowableFrequency(double radius, double peakVelocity, double grooveVelocity);

// The traced wall ŵ(x) = max over |u| ≤ ρ of [w(x + u) + sqrt(ρ² − u²)] − ρ of the wall
// w = a·sin(2π·x/λ), at `points` evenly spaced positions x = n·λ/points of one period (n from 0).
// Computed as the maximum over a fine grid (at most λ/2048 and ρ/64 apart, the positions on it),
// refined around the grid's best by a golden-section search of the continuous candidate, so the
// value is the envelope's to about 10^-12 of a (the grid alone would miss it by up to
// h²·(1 + s²)^(3/2)/(8ρ)). Exact in the sense that matters: where the envelope folds (ε > 1),
// the maximum takes the upper branch, as the tip does. `points` is at least 8 and even.
std::vector<double> tracedSinePeriod(double amplitude, double wavelength, double radius,
                                     int points);

// Harmonic n (1, 2, 3, ...) of one period of samples: the magnitude of its DFT coefficient,
// 2/N·|Σ x_j·e^(−2πi·n·j/N)|, the peak amplitude of that harmonic.
double harmonicAmplitude(const std::vector<double>& period, int n);

// One condition of the tip on the groove.
struct TracingConditions {
    double radius = 0.0;          // ρ, the tip's scanning radius, mm
    double grooveVelocity = 0.0;  // v, mm/s
    double frequency = 0.0;       // f, Hz
    double peakVelocity = 0.0;    // V, mm/s: along the wall for a wall sine, lateral for a mono one
};

// The figures of the stylus report, as ratios (not percent).
struct TracingPrediction {
    double epsilon = 0.0;  // ρ·ω·V/v² of a wall sine of peak velocity V
    // Harmonics 2 and 3 of a wall sine of peak velocity V as a velocity pickup gives them, before
    // the playback equalisation: n times the traced displacement's harmonic over its fundamental.
    double h2 = 0.0;
    double h3 = 0.0;
    // The pinch figure: a mono (lateral) tone of peak lateral velocity V moves each wall by V/√2,
    // the two walls in opposite phase. Traced, their sum holds the even harmonics, so the
    // vertical displacement z = (ŵ_in + ŵ_out)/√2 gets a second harmonic; this is its velocity
    // over the lateral fundamental's velocity, y = (ŵ_in − ŵ_out)/√2. To first order it is
    // ε_wall/2, ε_wall the curvature ratio of one wall (V/√2).
    double pinch = 0.0;
    double maxFrequency = 0.0;  // Hz, where ε = 1 at V
};

// The prediction for a tip of radius ρ > 0. Each envelope is taken over 1024 points of a period.
TracingPrediction predictTracing(const TracingConditions& conditions);
