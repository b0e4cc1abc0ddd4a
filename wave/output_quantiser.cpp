#include "wave/output_quantiser.hpp"

#include <cmath>
#include <utility>

#include "dsp/extended.hpp"
#include "text/number_format.hpp"

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

namespace {

// The scaled value v plus the dither r1 + r2 − 1, rounded to the nearest step (ties to even) and
// held within ±largest; a value that is not a number gives 0. Only a value beyond the chosen
// gain's reach (an infinity, or a peak that was not the true one) needs the holding; it keeps the
// integer conversion from overflowing.
long double ditheredStep(long double v, double r1, double r2, long double largest) {
    v = v + r1;
    v = v + r2;
    v = v - 1.0L;
    if (std::isnan(v)) {
        return 0.0L;
    }
    v = roundToInteger(v);
    if (v > largest) {
        v = largest;
    } else if (v < -largest) {
        v = -largest;
    }
    return v;
}

}  // namespace

std::int16_t quantiseSample(double value, double outputGain, double r1, double r2) {
    const long double v = static_cast<long double>(outputGain) * value;
    return static_cast<std::int16_t>(ditheredStep(v, r1, r2, kLargestSample));
}

std::int32_t quantiseSample24(double value, double outputGain, double r1, double r2) {
    long double v = static_cast<long double>(outputGain) * value;
    v = v * kSixteenToTwentyFourBit;
    return static_cast<std::int32_t>(ditheredStep(v, r1, r2, kLargestSample24));
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
