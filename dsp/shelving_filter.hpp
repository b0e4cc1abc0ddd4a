#pragma once

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
