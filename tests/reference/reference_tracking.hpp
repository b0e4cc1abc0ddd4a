#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "dsp/disc_parameters.hpp"
#include "dsp/groove_geometry.hpp"

// The groove geometry and the interpolation pass written out step by step, one high-rate index
// at a time, as the yardstick for dsp/groove_geometry and dsp/tracking_error.

GrooveGeometry referenceGrooveGeometry(const DiscParameters& parameters, int sampleRate);

// The corrected time of high-rate index j.
double referenceCorrectedTime(const std::vector<double>& highRateLateral, std::int64_t j,
                              double fullScaleLateralAmplitude, const GrooveGeometry& geometry);

// The same for a sample of value `value` at index j.
double referenceCorrectedTimeOf(double value, std::int64_t j, double fullScaleLateralAmplitude,
                                const GrooveGeometry& geometry);

std::vector<double> referenceInterpolatedOutput(const std::vector<double>& highRateLateral,
                                                std::int32_t frameCount,
                                                double fullScaleLateralAmplitude,
                                                const GrooveGeometry& geometry);

// The same pass with a tracking tangent and a groove velocity of its own for every index j.
std::vector<double> referenceInterpolatedOutput(
    const std::vector<double>& highRateLateral, std::int32_t frameCount,
    double fullScaleLateralAmplitude, double samplePeriod,
    const std::function<GrooveGeometry(std::int64_t)>& geometryAt);

// The same pass with the disc that `discAt(j)` gives each index j: its amplitude, and the tangent
// and velocity its parameters give.
std::vector<double> referenceInterpolatedOutputOfDiscs(
    const std::vector<double>& highRateLateral, std::int32_t frameCount, int sampleRate,
    const std::function<DiscParameters(std::int64_t)>& discAt);
