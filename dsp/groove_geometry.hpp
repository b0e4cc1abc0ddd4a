#pragma once

#include "dsp/disc_parameters.hpp"

struct GrooveGeometry {
    double grooveVelocity = 0.0;  // mm/s
    double samplePeriod = 0.0;    // s
    long double trackingTangent = 0.0L;
};

GrooveGeometry deriveGrooveGeometry(const DiscParameters& parameters, int sampleRate);

// The linear groove velocity at `radius` (mm) and `revolutionsPerMinute`: 2 pi r rpm / 60 mm/s,
// with the chain's pi and its order of evaluation, so it is the velocity the chain uses.
double grooveVelocityAt(double radius, double revolutionsPerMinute);
