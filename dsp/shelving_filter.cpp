#include "dsp/shelving_filter.hpp"

#include <cmath>

#include "dsp/extended.hpp"

// The time constants of the recording characteristic. The longest one is a single-precision
// constant: its value is the float nearest 0.00318.
static constexpr float kTimeConstant1 = 0.00318f;
static constexpr double kTimeConstant2 = 0.000318;
static constexpr double kTimeConstant3 = 7.5e-05;

static double cornerFrequency(long double timeConstant) {
    return stored(1.0L / (kChainPi * 2 * timeConstant));
}

LateralCorners lateralCornerFrequencies() {
    LateralCorners corners;
    corners.f0 = 1.0;
    corners.f1 = cornerFrequency(static_cast<long double>(kTimeConstant1));
    corners.f2 = cornerFrequency(kTimeConstant2);
    corners.f3 = cornerFrequency(kTimeConstant3);
    return corners;
}

double lateralSamplePeriod(int sampleRate) {
    return stored(1.0L / static_cast<long double>(sampleRate));
}

static double prewarp(double frequency, double samplePeriod) {
    return stored(std::tan((kChainPi * 2 * frequency) * samplePeriod / 2));
}

ShelvingSection designShelvingSection(double zeroFrequency, double poleFrequency,
                                      double samplePeriod) {
    ShelvingSection section;
    section.wp = prewarp(poleFrequency, samplePeriod);
    section.wz = prewarp(zeroFrequency, samplePeriod);
    const long double wz = section.wz;
    const long double wp = section.wp;
    section.num0 = stored(wz * wp + wp);
    section.num1 = stored(wz * wp - wp);
    section.den1 = stored(wz - wz * wp);
    section.den0 = stored(wz * wp + wz);
    section.b0 = stored(static_cast<long double>(section.num0) / section.den0);
    section.b1 = stored(static_cast<long double>(section.num1) / section.den0);
    section.a1 = stored(static_cast<long double>(section.den1) / section.den0);
    return section;
}

LateralSections designLateralSections(int sampleRate, LateralDirection direction) {
    const LateralCorners c = lateralCornerFrequencies();
    const double samplePeriod = lateralSamplePeriod(sampleRate);
    if (direction == LateralDirection::Recording) {
        return {designShelvingSection(c.f1, c.f0, samplePeriod),
                designShelvingSection(c.f3, c.f2, samplePeriod)};
    }
    return {designShelvingSection(c.f0, c.f1, samplePeriod),
            designShelvingSection(c.f2, c.f3, samplePeriod)};
}

// The three quotients are the same extended values at every step, so they are formed once.
LateralFilter::Recursion::Recursion(const ShelvingSection& section)
    : b0(static_cast<long double>(section.num0) / section.den0),
      b1(static_cast<long double>(section.num1) / section.den0),
      a1(static_cast<long double>(section.den1) / section.den0) {}

double LateralFilter::Recursion::step(double x) {
    double y = 0.0;
    if (position >= 2) {
        y = stored(b0 * x + b1 * previousInput + a1 * previousOutput);
    }
    previousInput = x;
    previousOutput = y;
    ++position;
    return y;
}

LateralFilter::LateralFilter(int sampleRate, LateralDirection direction)
    : LateralFilter(designLateralSections(sampleRate, direction)) {}

LateralFilter::LateralFilter(const LateralSections& sections)
    : first_(sections.first), second_(sections.second) {}

void LateralFilter::process(std::span<const double> input, SampleBlock& output) {
    const std::size_t at = output.size();
    output.resize(at + input.size());
    double* out = output.data() + at;
    // Both sections in one loop, sample by sample: the second's recursion then runs alongside
    // the first's instead of after it. Each still sees its own input in order.
    for (std::size_t k = 0; k < input.size(); ++k) {
        out[k] = second_.step(first_.step(input[k]));
    }
}

void LateralFilter::finish(SampleBlock&) {}

void LateralFilter::reset() {
    for (Recursion* recursion : {&first_, &second_}) {
        recursion->previousInput = 0.0;
        recursion->previousOutput = 0.0;
        recursion->position = 0;
    }
}
