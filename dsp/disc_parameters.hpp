#pragma once

// The four disc parameters the user enters. None is limited to a range.
struct DiscParameters {
    double revolutionsPerMinute = 0.0;       // exactly 100/3 for "33", 45 for "45"
    double grooveRadius = 0.0;               // mm
    double fullScaleLateralAmplitude = 0.0;  // mm of lateral displacement at sample value 32768
    double trackingErrorDegrees = 0.0;
};
