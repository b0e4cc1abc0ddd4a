#include "wave/output_quantiser.hpp"

#include <cmath>
#include <utility>

#include "text/number_format.hpp"
#include "dsp/extended.hpp"

namespace {

constexpr long double kLargestSample = 32767.0L;
constexpr long double kLargestSample24 = 8388607.0L;
constexpr long double kSixteenToTwentyFourBit = 256.0L;

// To the nearest integer, ties to even (the rounding mode is never changed from nearest). The
// library call saves and restores the whole floating-point environment for each sample.
long double roundToInteger(long double value) {
#if defined(__x86_64__) || defined(__i386__)
    asm("frndint" : "+t"(value));
    return value;
#else
    return std::nearbyint(value);
#endif
}

}  // namespace

double chooseOutputGain(double peakMagnitude) {
    return chooseOutputGain(peakMagnitude, kOutputPeakLimit);
}

double chooseOutputGain(double peakMagnitude, double peakLimit) {
    double gain = 1.0;
    if (peakMagnitude > peakLimit) {
        gain = stored(static_cast<long double>(peakLimit) / peakMagnitude);
    }
    return gain;
}

std::int16_t quantiseSample(double value, double outputGain, double r1, double r2) {
    long double v = static_cast<long double>(outputGain) * value;
    v = v + r1;
    v = v + r2;
    v = v - 1.0L;
    if (std::isnan(v)) {
        return 0;
    }
    v = roundToInteger(v);
    // Only a value beyond the chosen gain's reach (an infinity, or a peak that was not the
    // true one) gets here; the integer conversion must not overflow.
    if (v > kLargestSample) {
        v = kLargestSample;
    } else if (v < -kLargestSample) {
        v = -kLargestSample;
    }
    return static_cast<std::int16_t>(v);
}

std::int32_t quantiseSample24(double value, double outputGain, double r1, double r2) {
    long double v = static_cast<long double>(outputGain) * value;
    v = v * kSixteenToTwentyFourBit;
    v = v + r1;
    v = v + r2;
    v = v - 1.0L;
    if (std::isnan(v)) {
        return 0;
    }
    v = roundToInteger(v);
    if (v > kLargestSample24) {
        v = kLargestSample24;
    } else if (v < -kLargestSample24) {
        v = -kLargestSample24;
    }
    return static_cast<std::int32_t>(v);
}

std::vector<std::int16_t> quantiseOutput(SampleBuffer stereoOutput, double outputGain,
                                         DitherGenerator& dither) {
    std::vector<std::int16_t> outputSamples(stereoOutput.size(), 0);
    for (std::size_t k = 0; k < stereoOutput.size(); ++k) {
        const double r1 = dither.next();
        const double r2 = dither.next();
        outputSamples[k] = quantiseSample(stereoOutput[k], outputGain, r1, r2);
    }
    stereoOutput.release();
    return outputSamples;
}

std::vector<std::int16_t> quantiseOutput(SampleBuffer stereoOutput, double outputGain) {
    DitherGenerator dither;
    return quantiseOutput(std::move(stereoOutput), outputGain, dither);
}

double attenuationDecibels(double outputGain) {
    const long double decibels = 20.0L * std::log10(1.0L / outputGain);
    return stored(roundToDecimals(decibels, 2));
}
