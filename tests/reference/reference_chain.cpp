#include "tests/reference/reference_chain.hpp"

#include <cmath>

#include "tests/reference/reference_shelving.hpp"
#include "tests/reference/reference_tracking.hpp"
#include "tests/reference/reference_upsampler.hpp"

ReferenceOutput referenceProcess(const std::vector<std::int16_t>& inputSamples,
                                 std::int32_t frameCount, const DiscParameters& parameters,
                                 const std::vector<std::vector<double>>& taps) {
    const std::size_t n = static_cast<std::size_t>(frameCount);
    std::vector<double> mid(n, 0.0);
    std::vector<double> side(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const int left = inputSamples[2 * i];
        const int right = inputSamples[2 * i + 1];
        mid[i] = static_cast<double>((right + left) * 0.5L);
        side[i] = static_cast<double>((left - right) * 0.5L);
    }

    const std::vector<double> filtered = referenceFilterLateral(mid, 44100);
    const std::vector<double> highRate = referenceUpsampleFourStages(filtered, taps);
    const GrooveGeometry geometry = referenceGrooveGeometry(parameters, 44100);
    const std::vector<double> distorted = referenceInterpolatedOutput(
        highRate, frameCount, parameters.fullScaleLateralAmplitude, geometry);
    const std::vector<double> restored = referenceInverseFilterLateral(distorted, 44100);

    ReferenceOutput output;
    std::vector<double> stereo(2 * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        stereo[2 * i] = static_cast<double>(static_cast<long double>(side[i]) + restored[i]);
        if (std::fabs(stereo[2 * i]) > output.peakMagnitude) {
            output.peakMagnitude = std::fabs(stereo[2 * i]);
        }
        stereo[2 * i + 1] = static_cast<double>(static_cast<long double>(restored[i]) - side[i]);
        if (std::fabs(stereo[2 * i + 1]) > output.peakMagnitude) {
            output.peakMagnitude = std::fabs(stereo[2 * i + 1]);
        }
    }

    if (output.peakMagnitude > 32766.0) {
        output.outputGain = static_cast<double>(32766.0L / output.peakMagnitude);
    }
    std::uint32_t state = 4294967295u;
    auto draw = [&state]() {
        state = state * 134775813u + 1u;
        return static_cast<long double>(state >> 1) / 2147483648.0L;
    };
    output.outputSamples.assign(2 * n, 0);
    for (std::size_t k = 0; k < 2 * n; ++k) {
        long double v = static_cast<long double>(output.outputGain) * stereo[k];
        v = v + draw();
        v = v + draw();
        v = v - 1.0L;
        if (std::isnan(v)) {
            continue;
        }
        output.outputSamples[k] = static_cast<std::int16_t>(std::nearbyintl(v));
    }
    return output;
}
