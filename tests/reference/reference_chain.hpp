#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "dsp/disc_parameters.hpp"

// The whole processing written out step by step on plain vectors: every buffer in full, the
// scatter convolution over every stuffed element, the interpolation pass one index at a time.
struct ReferenceOutput {
    std::vector<std::int16_t> outputSamples;
    double outputGain = 1.0;
    double peakMagnitude = 0.0;
};

// The chain up to the unscaled output: `samples` holds `channels` (1 or 2) values a frame in the
// units of 16-bit sample values; the result has as many, interleaved likewise.
std::vector<double> referenceUnscaledOutput(const std::vector<double>& samples, int channels,
                                            int sampleRate, const DiscParameters& parameters,
                                            const std::vector<std::vector<double>>& taps);

// The same with the disc that `discAt(j)` gives each high-rate index j.
std::vector<double> referenceUnscaledOutputOfDiscs(
    const std::vector<double>& samples, int channels, int sampleRate,
    const std::function<DiscParameters(std::int64_t)>& discAt,
    const std::vector<std::vector<double>>& taps);

ReferenceOutput referenceProcess(const std::vector<std::int16_t>& inputSamples,
                                 std::int32_t frameCount, const DiscParameters& parameters,
                                 const std::vector<std::vector<double>>& taps);
