#pragma once

#include <cstdint>
#include <vector>

#include "dsp/sample_buffer.hpp"
#include "wave/dither_generator.hpp"

// The largest magnitude the scaled output may reach before dither.
inline constexpr double kOutputPeakLimit = 32766.0;

// The same limit for a 24-bit output, in 16-bit units: full scale less 2 steps, 8388606 steps
// of 1/256 each.
inline constexpr double kOutputPeakLimit24 = 8388606.0 / 256.0;

// 1, or 32766 / peak (stored) when the peak exceeds 32766.
double chooseOutputGain(double peakMagnitude);

// 1, or limit / peak (stored) when the peak exceeds `peakLimit`.
double chooseOutputGain(double peakMagnitude, double peakLimit);

// Scales, dithers and rounds every value to a 16-bit sample; takes stereoOutput over and
// releases it. Draws two values per sample from a generator in its starting state.
std::vector<std::int16_t> quantiseOutput(SampleBuffer stereoOutput, double outputGain);

// The same, drawing from `dither`, which it leaves where the last draw left it.
std::vector<std::int16_t> quantiseOutput(SampleBuffer stereoOutput, double outputGain,
                                         DitherGenerator& dither);

// One sample: gain · value + r1 + r2 − 1 in extended precision, rounded to the nearest integer
// (ties to even); not-a-number gives 0 and the result is held within ±32767.
std::int16_t quantiseSample(double value, double outputGain, double r1, double r2);

// One 24-bit sample from a value in 16-bit units, by the same steps in 24-bit steps:
// (gain · value) · 256 + r1 + r2 − 1 in extended precision (the product rounded once, the
// scaling by 256 exact), rounded to the nearest integer (ties to even); not-a-number gives 0 and
// the result is held within ±8388607. The dither is one step of the 24-bit output.
std::int32_t quantiseSample24(double value, double outputGain, double r1, double r2);

// 20 log10(1 / gain), rounded to 2 decimals.
double attenuationDecibels(double outputGain);
