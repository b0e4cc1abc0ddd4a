#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "dsp/disc_parameters.hpp"
#include "dsp/groove_geometry.hpp"

// The stylus model written out step by step, as the yardstick for the engine's: the side
// component through its own recording filter and four upsampling stages, every high-rate index
// timed by both components together, both read at the same crossings with the same fraction.

// The angles, and the tracking tangent and groove velocity of every high-rate index (empty: the
// disc's own, at its radius).
struct ReferenceStylus {
    double verticalTrackingDegrees = 20.0;
    double cuttingDegrees = 20.0;
    std::function<GrooveGeometry(std::int64_t)> geometryAt;
    // The play undone: every tracking tangent and Δ taken with the opposite sign.
    bool undo = false;
    // The tip's scanning radius in mm, 0 for a point: both walls of every high-rate sample are
    // then traced by the direct maximum over its footprint before the pass reads them.
    double tipRadius = 0.0;
};

// The two components as a tip of radius `tipRadius` mm traces them, every index with the
// spacing of its own groove velocity, the footprints cut at both ends of the signal.
void referenceTraceComponents(std::vector<double>& u, std::vector<double>& w, double tipRadius,
                              double fullScaleLateralAmplitude,
                              const std::function<GrooveGeometry(std::int64_t)>& geometryAt);

// Δ = tan(vertical tracking angle) − tan(cutting angle), each tangent extended.
long double referenceVerticalSlope(double verticalTrackingDegrees, double cuttingDegrees);

// The corrected time of high-rate index j with mid value u[j] and side value w[j].
double referenceStylusCorrectedTime(const std::vector<double>& u, const std::vector<double>& w,
                                    std::int64_t j, double fullScaleLateralAmplitude,
                                    long double slope, const GrooveGeometry& geometry);

struct ReferenceStylusPass {
    std::vector<double> mid;
    std::vector<double> side;
};
ReferenceStylusPass referenceStylusInterpolatedOutput(
    const std::vector<double>& u, const std::vector<double>& w, std::int32_t frameCount,
    double fullScaleLateralAmplitude, double samplePeriod, long double slope,
    const std::function<GrooveGeometry(std::int64_t)>& geometryAt);

// The chain up to the unscaled output under the stylus model, as referenceUnscaledOutput: a
// single channel has no side and gives the lateral model's output.
std::vector<double> referenceStylusUnscaledOutput(const std::vector<double>& samples, int channels,
                                                  int sampleRate, const DiscParameters& parameters,
                                                  const std::vector<std::vector<double>>& taps,
                                                  const ReferenceStylus& stylus);
