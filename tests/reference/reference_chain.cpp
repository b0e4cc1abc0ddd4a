#include "tests/reference/reference_chain.hpp"

#include <cmath>

#include "tests/reference/reference_shelving.hpp"
#include "tests/reference/reference_tracking.hpp"
#include "tests/reference/reference_upsampler.hpp"

namespace {

// The chain with the interpolation pass that `distort(highRate, frameCount)` runs.
template <typename Distort>
std::vector<double> unscaledOutputWith(const std::vector<double>& samples, int channels,
                                       int sampleRate, const std::vector<std::vector<double>>& taps,
                                       const Distort& distort) {
    const std::size_t n = samples.size() / static_cast<std::size_t>(channels);
    std::vector<double> mid(n, 0.0);
    std::vector<double> side(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (channels == 1) {
            mid[i] = samples[i];
            continue;
        }
        const long double left = samples[2 * i];
        const long double right = samples[2 * i + 1];
        mid[i] = static_cast<double>((right + left) * 0.5L);
        side[i] = static_cast<double>((left - right) * 0.5L);
    }

    const std::vector<double> filtered = referenceFilterLateral(mid, sampleRate);
    const std::vector<double> highRate = referenceUpsampleFourStages(filtered, taps);
    const std::vector<double> distorted = distort(highRate, static_cast<std::int32_t>(n));
    const std::vector<double> restored = referenceInverseFilterLateral(distorted, sampleRate);
    if (channels == 1) {
        return restored;
    }
    std::vector<double> stereo(2 * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        stereo[2 * i] = static_cast<double>(static_cast<long double>(side[i]) + restored[i]);
        stereo[2 * i + 1] = static_cast<double>(static_cast<long double>(restored[i]) - side[i]);
    }
    return stereo;
}

}  // namespace

std::vector<double> referenceUnscaledOutput(const std::vector<double>& samples, int channels,
                                            int sampleRate, const DiscParameters& parameters,
                                            const std::vector<std::vector<double>>& taps) {
    const GrooveGeometry geometry = referenceGrooveGeometry(parameters, sampleRate);
    return unscaledOutputWith(samples, channels, sampleRate, taps,
                              [&](const std::vector<double>& highRate, std::int32_t n) {
                                  return referenceInterpolatedOutput(
                                      highRate, n, parameters.fullScaleLateralAmplitude, geometry);
                              });
}

std::vector<double> referenceUnscaledOutputOfDiscs(
    const std::vector<double>& samples, int channels, int sampleRate,
    const std::function<DiscParameters(std::int64_t)>& discAt,
    const std::vector<std::vector<double>>& taps) {
    return unscaledOutputWith(samples, channels, sampleRate, taps,
                              [&](const std::vector<double>& highRate, std::int32_t n) {
                                  return referenceInterpolatedOutputOfDiscs(highRate, n, sampleRate,
                                                                            discAt);
                              });
}

ReferenceOutput referenceProcess(const std::vector<std::int16_t>& inputSamples,
                                 std::int32_t frameCount, const DiscParameters& parameters,
                                 const std::vector<std::vector<double>>& taps) {
    const std::size_t n = static_cast<std::size_t>(frameCount);
    const std::vector<double> samples(inputSamples.begin(),
                                      inputSamples.begin() + static_cast<std::ptrdiff_t>(2 * n));
    const std::vector<double> stereo = referenceUnscaledOutput(samples, 2, 44100, parameters, taps);
    ReferenceOutput output;
    for (const double value : stereo) {
        if (std::fabs(value) > output.peakMagnitude) {
            output.peakMagnitude = std::fabs(value);
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
