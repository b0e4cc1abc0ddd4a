#include "dsp/mid_side.hpp"

#include <cmath>

#include "dsp/extended.hpp"

MidSideComponents convertToMidSide(std::vector<std::int16_t> inputSamples,
                                   std::int32_t frameCount) {
    const std::size_t frames = frameCount > 0 ? static_cast<std::size_t>(frameCount) : 0;
    MidSideComponents components{SampleBuffer(frames), SampleBuffer(frames)};
    for (std::size_t i = 0; i < frames; ++i) {
        const int left = inputSamples[2 * i];
        const int right = inputSamples[2 * i + 1];
        components.midComponent[i] = static_cast<double>(right + left) * 0.5;
        components.sideComponent[i] = static_cast<double>(left - right) * 0.5;
    }
    std::vector<std::int16_t>().swap(inputSamples);
    return components;
}

StereoOutput convertToLeftRight(const SampleBuffer& restoredLateral,
                                const SampleBuffer& sideComponent, std::int32_t frameCount) {
    const std::size_t frames = frameCount > 0 ? static_cast<std::size_t>(frameCount) : 0;
    StereoOutput result{SampleBuffer(2 * frames), 0.0};
    double peak = 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double left = stored(static_cast<long double>(sideComponent[i]) + restoredLateral[i]);
        result.stereoOutput[2 * i] = left;
        if (std::fabs(left) > peak) {
            peak = std::fabs(left);
        }
        const double right =
            stored(static_cast<long double>(restoredLateral[i]) - sideComponent[i]);
        result.stereoOutput[2 * i + 1] = right;
        if (std::fabs(right) > peak) {
            peak = std::fabs(right);
        }
    }
    result.peakMagnitude = peak;
    return result;
}
