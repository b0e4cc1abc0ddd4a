#include "cli/cli_options.hpp"

#include <charconv>
#include <cmath>

namespace {

std::string refusal(const char* option, double value, const char* rule) {
    return std::string(option) + " " + numberText(value) + ": " + rule;
}

}  // namespace

void addDiscOptions(CLI::App& command, DiscOptions& options) {
    command
        .add_option(
            "--rpm", options.rpm,
            "Rotational speed: 33 (exactly 100/3), 45, 78 (78.26) or any other positive number")
        ->required()
        ->type_name("R");
    command.add_option("--radius", options.radius, "Groove radius in mm (> 0)")
        ->required()
        ->type_name("MM");
    command
        .add_option("--amplitude", options.amplitude,
                    "Full scale lateral groove amplitude in mm (>= 0)")
        ->required()
        ->type_name("MM");
    command
        .add_option("--angle", options.angle, "Lateral tracking error in degrees (|angle| < 90)")
        ->required()
        ->type_name("DEG");
}

bool discParametersFrom(const DiscOptions& options, DiscParameters& disc, std::string& message) {
    if (!std::isfinite(options.rpm) || options.rpm <= 0.0) {
        message = refusal("--rpm", options.rpm, "the speed must be a finite number above 0");
        return false;
    }
    if (!std::isfinite(options.radius) || options.radius <= 0.0) {
        message = refusal("--radius", options.radius, "the radius must be a finite number above 0");
        return false;
    }
    if (!std::isfinite(options.amplitude) || options.amplitude < 0.0) {
        message = refusal("--amplitude", options.amplitude,
                          "the amplitude must be a finite number, 0 or more");
        return false;
    }
    if (!std::isfinite(options.angle) || !(std::fabs(options.angle) < 90.0)) {
        message = refusal("--angle", options.angle,
                          "the angle must be a finite number between -90 and 90, both excluded");
        return false;
    }
    disc.revolutionsPerMinute = revolutionsPerMinuteFor(options.rpm);
    disc.grooveRadius = options.radius;
    disc.fullScaleLateralAmplitude = options.amplitude;
    disc.trackingErrorDegrees = options.angle;
    return true;
}

std::string numberText(double value) {
    char text[64];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}
