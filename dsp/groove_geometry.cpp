#include "dsp/groove_geometry.hpp"

#include <cmath>

#include "dsp/extended.hpp"

GrooveGeometry deriveGrooveGeometry(const DiscParameters& parameters, int sampleRate) {
    GrooveGeometry geometry;
    geometry.grooveVelocity =
        stored(kChainPi * 2 * parameters.grooveRadius * parameters.revolutionsPerMinute / 60);
    geometry.samplePeriod = stored(1.0L / static_cast<long double>(sampleRate));
    geometry.trackingTangent =
        std::tan(static_cast<long double>(parameters.trackingErrorDegrees) * kChainPi / 180);
    return geometry;
}
