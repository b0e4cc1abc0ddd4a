#pragma once

#include <cstdint>
#include <span>

#include "dsp/block.hpp"

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

// Which way the lateral filter runs: recording turns the lateral component (a velocity) into
// groove displacement, playback turns displacement back into velocity.
enum class LateralDirection { Recording, Playback };

// The lateral filter's two sections in the order they run. Recording: zero f1 over pole f0, then
// zero f3 over pole f2. Playback: each section designed afresh with its zero and pole exchanged,
// run in the same order.
struct LateralSections {
    ShelvingSection first;
    ShelvingSection second;
};

LateralSections designLateralSections(int sampleRate, LateralDirection direction);

// An upper bound on |output| over the largest |input| of the lateral filter at `sampleRate`, for
// any input: the gain from the largest input magnitude to the largest output magnitude.
double lateralFilterGainBound(int sampleRate, LateralDirection direction);

// The lateral filter as a stage of the chain: both sections over a stream, a block at a time.
// Each section gives y[0] = y[1] = 0 and y[n] = b0 x[n] + b1 x[n-1] + a1 y[n-1] in extended
// precision, each output stored, with the extended quotients num / den0; the outputs are those
// of the sections run one after the other over the whole signal.
class LateralFilter {
  public:
    LateralFilter(int sampleRate, LateralDirection direction);
    explicit LateralFilter(const LateralSections& sections);

    // Appends one output for every input sample.
    void process(std::span<const double> input, SampleBlock& output);
    // Every output is made with its input: nothing remains to be given.
    void finish(SampleBlock& output);
    void reset();

  private:
    // One section's recursion: its quotients, the previous input and output, and how many
    // samples have gone through.
    struct Recursion {
        long double b0 = 0.0L;
        long double b1 = 0.0L;
        long double a1 = 0.0L;
        double previousInput = 0.0;
        double previousOutput = 0.0;
        std::int64_t position = 0;

        explicit Recursion(const ShelvingSection& section);
        double step(double x);
    };

    Recursion first_;
    Recursion second_;
};
