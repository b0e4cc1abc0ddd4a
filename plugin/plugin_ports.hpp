#pragma once

#include <array>
#include <cstdint>
#include <span>

// The plugin's ports, in one place: the plugin reads its controls by this table, and the bundle's
// Turtle description is written from it at build time. A control joins the plugin as a row of
// kControls (and a field that DiscParameters or the chain takes from it).

namespace plugin {

// The two plugins of the bundle: the same chain over two channels (mid and side) or one (the
// lateral component alone).
struct Variant {
    const char* uri;
    const char* name;
    int channelCount;
};

inline constexpr std::array<Variant, 2> kVariants = {{
    {"urn:cartrivex:pickup:stereo", "Cartrivex pickup (stereo)", 2},
    {"urn:cartrivex:pickup:mono", "Cartrivex pickup (mono)", 1},
}};

struct ScalePoint {
    double value;
    const char* label;
};

// The speeds a turntable has; a value in between is taken as the nearest of them.
inline constexpr std::array<ScalePoint, 3> kSpeedPoints = {{
    {100.0 / 3, "33 1/3 rpm"},
    {45.0, "45 rpm"},
    {78.0, "78 rpm"},
}};

enum class Control { Speed, Radius, Amplitude, Angle };

struct ControlPort {
    Control control;
    const char* symbol;
    const char* name;
    const char* comment;
    double minimum;
    double defaultValue;
    double maximum;
    const char* unit;                    // an LV2 unit's local name ("mm", "degree"), or null
    std::span<const ScalePoint> points;  // an enumeration's values, or none
};

// The ranges bound the timing error, and so the latency (see plugin/studio_chain.hpp): the
// largest amplitude, the largest angle and the slowest groove (the smallest radius at 33 1/3).
inline constexpr std::array<ControlPort, 4> kControls = {{
    {Control::Speed, "speed", "Speed", "Turntable speed: 33 1/3, 45 or 78 (78.26) rpm.", 100.0 / 3,
     100.0 / 3, 78.0, nullptr, kSpeedPoints},
    {Control::Radius,
     "radius",
     "Groove radius",
     "Radius of the groove under the stylus, from the inner grooves to the outer edge of a 12-inch "
     "record.",
     50.0,
     100.0,
     150.0,
     "mm",
     {}},
    {Control::Amplitude,
     "amplitude",
     "Full-scale amplitude",
     "Lateral groove displacement of a full-scale sample (1.0).",
     0.0,
     0.05,
     0.2,
     "mm",
     {}},
    {Control::Angle,
     "angle",
     "Tracking error",
     "Lateral tracking error: positive when the cartridge's axis, followed from the stylus back "
     "toward the arm, turns inward (toward the spindle) from the groove tangent.",
     -45.0,
     2.0,
     45.0,
     "degree",
     {}},
}};

// Port numbers: the audio inputs, then the audio outputs, then the controls in table order, then
// the latency output.
constexpr std::uint32_t audioInputPort(int channelCount, int channel) {
    (void)channelCount;
    return static_cast<std::uint32_t>(channel);
}
constexpr std::uint32_t audioOutputPort(int channelCount, int channel) {
    return static_cast<std::uint32_t>(channelCount + channel);
}
constexpr std::uint32_t controlPort(int channelCount, std::size_t control) {
    return static_cast<std::uint32_t>(2 * channelCount) + static_cast<std::uint32_t>(control);
}
constexpr std::uint32_t latencyPort(int channelCount) {
    return controlPort(channelCount, kControls.size());
}
constexpr std::uint32_t portCount(int channelCount) {
    return latencyPort(channelCount) + 1;
}

}  // namespace plugin
