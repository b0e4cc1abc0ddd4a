#include "dsp/shelving_filter.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

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

SampleBuffer runShelvingSection(const SampleBuffer& input, const ShelvingSection& section) {
    const std::size_t count = input.size();
    SampleBuffer output(count);
    if (count <= 2) {
        return output;
    }
    // The three quotients are the same extended values at every step, so they are formed once.
    const long double b0 = static_cast<long double>(section.num0) / section.den0;
    const long double b1 = static_cast<long double>(section.num1) / section.den0;
    const long double a1 = static_cast<long double>(section.den1) / section.den0;
    const double* x = input.data();
    double* y = output.data();
    double previous = 0.0;
    for (std::size_t n = 2; n < count; ++n) {
        previous = stored(b0 * x[n] + b1 * x[n - 1] + a1 * previous);
        y[n] = previous;
    }
    return output;
}

static SampleBuffer runTwoSections(SampleBuffer input, const ShelvingSection& first,
                                   const ShelvingSection& second) {
    SampleBuffer intermediate = runShelvingSection(input, first);
    input.release();
    SampleBuffer output = runShelvingSection(intermediate, second);
    intermediate.release();
    return output;
}

SampleBuffer filterLateral(SampleBuffer midComponent, int sampleRate) {
    const LateralCorners corners = lateralCornerFrequencies();
    const double samplePeriod = lateralSamplePeriod(sampleRate);
    const ShelvingSection sectionA = designShelvingSection(corners.f1, corners.f0, samplePeriod);
    const ShelvingSection sectionB = designShelvingSection(corners.f3, corners.f2, samplePeriod);
    return runTwoSections(std::move(midComponent), sectionA, sectionB);
}

SampleBuffer inverseFilterLateral(SampleBuffer distortedLateral, int sampleRate) {
    // Designed afresh, zero and pole exchanged in each section, run in the same order.
    const LateralCorners corners = lateralCornerFrequencies();
    const double samplePeriod = lateralSamplePeriod(sampleRate);
    const ShelvingSection sectionA = designShelvingSection(corners.f0, corners.f1, samplePeriod);
    const ShelvingSection sectionB = designShelvingSection(corners.f2, corners.f3, samplePeriod);
    return runTwoSections(std::move(distortedLateral), sectionA, sectionB);
}

ShelvingState startShelvingSection(const ShelvingSection& section) {
    ShelvingState state;
    state.b0 = static_cast<long double>(section.num0) / section.den0;
    state.b1 = static_cast<long double>(section.num1) / section.den0;
    state.a1 = static_cast<long double>(section.den1) / section.den0;
    return state;
}

void runShelvingBlock(ShelvingState& state, const double* input, double* output,
                      std::int64_t count) {
    for (std::int64_t k = 0; k < count; ++k) {
        const double x = input[k];
        double y = 0.0;
        if (state.position >= 2) {
            y = stored(state.b0 * x + state.b1 * state.previousInput +
                       state.a1 * state.previousOutput);
        }
        state.previousInput = x;
        state.previousOutput = y;
        output[k] = y;
        ++state.position;
    }
}

LateralFilterState startFilterLateral(int sampleRate) {
    const LateralCorners corners = lateralCornerFrequencies();
    const double samplePeriod = lateralSamplePeriod(sampleRate);
    return {startShelvingSection(designShelvingSection(corners.f1, corners.f0, samplePeriod)),
            startShelvingSection(designShelvingSection(corners.f3, corners.f2, samplePeriod))};
}

LateralFilterState startInverseFilterLateral(int sampleRate) {
    const LateralCorners corners = lateralCornerFrequencies();
    const double samplePeriod = lateralSamplePeriod(sampleRate);
    return {startShelvingSection(designShelvingSection(corners.f0, corners.f1, samplePeriod)),
            startShelvingSection(designShelvingSection(corners.f2, corners.f3, samplePeriod))};
}

namespace {

double stepSection(ShelvingState& state, double x) {
    double y = 0.0;
    if (state.position >= 2) {
        y = stored(state.b0 * x + state.b1 * state.previousInput + state.a1 * state.previousOutput);
    }
    state.previousInput = x;
    state.previousOutput = y;
    ++state.position;
    return y;
}

}  // namespace

void runLateralBlock(LateralFilterState& state, double* samples, std::int64_t count) {
    // Both sections in one loop, sample by sample: the second's recursion then runs alongside
    // the first's instead of after it. Each still sees its own input in order.
    for (std::int64_t k = 0; k < count; ++k) {
        samples[k] = stepSection(state.sectionB, stepSection(state.sectionA, samples[k]));
    }
}
