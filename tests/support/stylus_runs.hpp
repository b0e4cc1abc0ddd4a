#pragma once

// What the stylus model's engine tests share: a pivoted arm across a side, and that side's
// geometry index by index as the direct implementation takes it.

#include <algorithm>
#include <cstdint>
#include <functional>

#include "dsp/groove_path.hpp"
#include "dsp/tonearm.hpp"
#include "tests/reference/reference_tracking.hpp"
#include "tests/support/engine_runs.hpp"

// A 9-inch pivoted arm (239.3 mm, 222 mm to the spindle, 23.5° offset) from `from` to `to` mm
// over the case's frames.
inline GroovePath armPath(double from, double to, const EngineCase& c) {
    GroovePath path;
    path.arm.kind = Tonearm::Kind::Pivoted;
    path.arm.effectiveLength = 239.3;
    path.arm.pivotToSpindle = 222;
    path.arm.offsetDegrees = 23.5;
    path.fromRadius = from;
    path.toRadius = to;
    path.frameCount = c.frames;
    path.revolutionsPerMinute = c.disc.revolutionsPerMinute;
    path.sampleRate = c.sampleRate;
    return path;
}

// The tangent and velocity of high-rate index j on the path, written out: the radius moves
// linearly from the first frame's index (10447) to the last one's, held beyond.
inline std::function<GrooveGeometry(std::int64_t)> referenceSideGeometry(const GroovePath& path,
                                                                         const EngineCase& c) {
    return [path, c](std::int64_t j) {
        const double fraction = std::clamp(
            static_cast<double>(j - 10447) / static_cast<double>(144 * (c.frames - 1)), 0.0, 1.0);
        DiscParameters disc = c.disc;
        disc.grooveRadius = path.fromRadius + (path.toRadius - path.fromRadius) * fraction;
        disc.trackingErrorDegrees = trackingErrorDegrees(path.arm, disc.grooveRadius);
        return referenceGrooveGeometry(disc, c.sampleRate);
    };
}
