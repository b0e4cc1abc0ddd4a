#pragma once

#include <cstdint>

#include "dsp/groove_geometry.hpp"
#include "dsp/tonearm.hpp"

// The side as it plays: the groove radius moves from `fromRadius` at the first frame to `toRadius`
// at the last, linearly in time, and the tracking error follows the arm. Each high-rate sample
// takes the tracking tangent and the groove velocity of the radius at its own nominal time, as
// deriveGrooveGeometry gives them for that radius and that error.
struct GroovePath {
    Tonearm arm;
    double revolutionsPerMinute = 0.0;
    double fromRadius = 0.0;  // mm
    double toRadius = 0.0;    // mm
    std::int64_t frameCount = 0;
    int sampleRate = 44100;
};

// The radius at high-rate index j: held at the ends outside the frames' span.
double grooveRadiusAt(const GroovePath& path, std::int64_t j);

// The geometry of high-rate index j on the path.
GrooveGeometry grooveGeometryAt(const GroovePath& path, std::int64_t j);
