#include "dsp/shelving_filter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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

// One section's output from n = 2 on is y[n] = sum over m = 2..n of g[n − m]·x[m] +
// b1·a1^(n−2)·x[1], g being its impulse response g[0] = b0, g[k] = c·a1^(k−1), c = b0·a1 + b1. With
// the input at most X in magnitude, |y[n]| <= X·f(n − 2), f(m) = sum over k = 0..m of |g[k]| +
// |b1|·|a1|^m, and f(m + 1) − f(m) = |a1|^m·(|c| − |b1|·(1 − |a1|)) keeps one sign: f grows to |b0|
// + |c|/(1 − |a1|) or falls from f(0) = |b0| + |b1|. The larger of the two bounds the section. Each
// stored output errs by 2^-53 of itself at most, and the recursion sums these errors with a gain of
// at most 1/(1 − |a1|). For the recording filter both sections have g >= 0 and the bound is their
// DC gain of 1 (the slow transient of the start stays below it).
static double sectionGainBound(const ShelvingSection& section) {
    const long double b0 = static_cast<long double>(section.num0) / section.den0;
    const long double b1 = static_cast<long double>(section.num1) / section.den0;
    const long double a1 = std::fabs(static_cast<long double>(section.den1) / section.den0);
    if (!(a1 < 1.0L)) {
        return std::numeric_limits<double>::infinity();
    }
    const long double c = b0 * a1 + b1;
    const long double grown = std::fabs(b0) + std::fabs(c) / (1.0L - a1);
    const long double start = std::fabs(b0) + std::fabs(b1);
    const long double rounding = 1.0L + 0x1p-50L / (1.0L - a1);
    return static_cast<double>(std::max(grown, start) * rounding);
}

double lateralFilterGainBound(int sampleRate, LateralDirection direction) {
    const LateralSections sections = designLateralSections(sampleRate, direction);
    return sectionGainBound(sections.first) * sectionGainBound(sections.second) * (1.0 + 0x1p-40);
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
