#include "dsp/groove_geometry.hpp"

#include <cmath>

#include "dsp/extended.hpp"

GrooveGeometry deriveGrooveGeometry(const DiscParameters& parameters, int sampleRate) {
    GrooveGeometry geometry;
    geometry.grooveVelocity =
        grooveVelocityAt(parameters.grooveRadius, parameters.revolutionsPerMinute);
    geometry.samplePeriod = stored(1.0L / static_cast<long double>(sampleRate));
    geometry.trackingTangent =
        std::tan(static_cast<long double>(parameters.trackingErrorDegrees) * kChainPi / 180);
    return geometry;
}

double grooveVelocityAt(double radius, double revolutionsPerMinute) {
    return stored(kChainPi * 2 * radius * revolutionsPerMinute / 60);
}
