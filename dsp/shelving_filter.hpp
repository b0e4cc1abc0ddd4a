#pragma once

#include <cstdint>

#include "dsp/sample_buffer.hpp"

// One first-order shelving section made by the bilinear transform: a zero at `zeroFrequency`
// and a pole at `poleFrequency` (Hz), prewarped at the sample period T.
struct ShelvingSection {
    double wz = 0.0;    // prewarped zero
    double wp = 0.0;    // prewarped pole
    double b0 = 0.0;    // num0 / den0, rounded; the recursion uses the extended quotients
    double b1 = 0.0;    // num1 / den0, rounded
    double a1 = 0.0;    // den1 / den0, rounded
    double num0 = 0.0;  // wz wp + wp
    double num1 = 0.0;  // wz wp - wp
    double den1 = 0.0;  // wz - wz wp
    double den0 = 0.0;  // wz wp + wz
};

ShelvingSection designShelvingSection(double zeroFrequency, double poleFrequency,
                                      double samplePeriod);

// y[0] = y[1] = 0; y[n] = b0 x[n] + b1 x[n-1] + a1 y[n-1] in extended precision, each stored.
SampleBuffer runShelvingSection(const SampleBuffer& input, const ShelvingSection& section);

// The corner frequencies of the recording characteristic (Hz): the 1 Hz integration pole f0 and
// the corners of the 3180 us, 318 us and 75 us time constants.
struct LateralCorners {
    double f0 = 1.0;
    double f1 = 0.0;
    double f2 = 0.0;
    double f3 = 0.0;
};

LateralCorners lateralCornerFrequencies();

// 1 / sampleRate, stored.
double lateralSamplePeriod(int sampleRate);

// Lateral component (velocity) -> groove displacement; takes the mid component over and
// releases it.
SampleBuffer filterLateral(SampleBuffer midComponent, int sampleRate);

// Groove displacement -> velocity again; takes the distorted lateral component over.
SampleBuffer inverseFilterLateral(SampleBuffer distortedLateral, int sampleRate);

// A section run over a stream, a block at a time: the quotients, the previous input and output
// and how many samples have gone through. Its outputs are those of the whole-signal run.
struct ShelvingState {
    long double b0 = 0.0L;
    long double b1 = 0.0L;
    long double a1 = 0.0L;
    double previousInput = 0.0;
    double previousOutput = 0.0;
    std::int64_t position = 0;
};

ShelvingState startShelvingSection(const ShelvingSection& section);

// `count` samples from `input` to `output` (which may be the same array).
void runShelvingBlock(ShelvingState& state, const double* input, double* output,
                      std::int64_t count);

// The two sections of the lateral filter, or of its inverse, over a stream.
struct LateralFilterState {
    ShelvingState sectionA;
    ShelvingState sectionB;
};

LateralFilterState startFilterLateral(int sampleRate);
LateralFilterState startInverseFilterLateral(int sampleRate);

// Runs both sections over `count` samples in place.
void runLateralBlock(LateralFilterState& state, double* samples, std::int64_t count);
