#pragma once

#include "dsp/disc_parameters.hpp"

struct GrooveGeometry {
    double grooveVelocity = 0.0;  // mm/s
    double samplePeriod = 0.0;    // s
    long double trackingTangent = 0.0L;
};

GrooveGeometry deriveGrooveGeometry(const DiscParameters& parameters, int sampleRate);
