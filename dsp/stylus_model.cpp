#include "dsp/stylus_model.hpp"

#include <cmath>

#include "dsp/extended.hpp"

long double verticalSlopeDifference(const StylusAngles& angles) {
    const long double playback =
        std::tan(static_cast<long double>(angles.verticalTrackingDegrees) * kChainPi / 180);
    const long double cutting =
        std::tan(static_cast<long double>(angles.cuttingDegrees) * kChainPi / 180);
    return playback - cutting;
}
