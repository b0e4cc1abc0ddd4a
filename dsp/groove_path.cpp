#include "dsp/groove_path.hpp"

#include <algorithm>

#include "dsp/upsample_design.hpp"

double grooveRadiusAt(const GroovePath& path, std::int64_t j) {
    const std::int64_t span = kUpsampleFactor * (path.frameCount - 1);
    double fraction = 0.0;
    if (span > 0) {
        fraction = static_cast<double>(j - kUpsampleAlignmentDelay) / static_cast<double>(span);
        fraction = std::clamp(fraction, 0.0, 1.0);
    }
    return path.fromRadius + (path.toRadius - path.fromRadius) * fraction;
}

GrooveGeometry grooveGeometryAt(const GroovePath& path, std::int64_t j) {
    const double radius = grooveRadiusAt(path, j);
    DiscParameters disc;
    disc.revolutionsPerMinute = path.revolutionsPerMinute;
    disc.grooveRadius = radius;
    disc.trackingErrorDegrees = trackingErrorDegrees(path.arm, radius);
    return deriveGrooveGeometry(disc, path.sampleRate);
}
