#pragma once

// The four disc parameters the user enters. None is limited to a range.
struct DiscParameters {
    double revolutionsPerMinute = 0.0;       // exactly 100/3 for "33", 45 for "45"
    double grooveRadius = 0.0;               // mm
    double fullScaleLateralAmplitude = 0.0;  // mm of lateral displacement at sample value 32768
    double trackingErrorDegrees = 0.0;
};

// The speed the chain uses for a nominal one: 33 is exactly 100/3 (stored as a double), 78 is
// 78.26, anything else (45 included) is taken as given.
constexpr double revolutionsPerMinuteFor(double nominal) {
    if (nominal == 33.0) {
        return static_cast<double>(100.0L / 3.0L);
    }
    if (nominal == 78.0) {
        return 78.26;
    }
    return nominal;
}
