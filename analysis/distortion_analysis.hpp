#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "dsp/disc_parameters.hpp"
#include "dsp/upsampler.hpp"

// Test signals rendered through the whole chain and measured from its output.
//
// Every tone lies on a whole number of hertz and the analysis window is one second long, so each
// tone and each product of tones completes a whole number of periods in the window (coherent
// sampling) and its amplitude is read at its own bin with a plain rectangular window, free of
// leakage. The tones start at the top of a cosine, whose running integral has no mean, so the
// recording filter's 1 Hz integration pole is barely excited; half a second of start-up is
// skipped before the window and a tenth of a second after it is left for the chain's end.

inline constexpr int kMeasureSampleRate = 44100;
inline constexpr std::int64_t kMeasureFadeFrames = kMeasureSampleRate / 4;
inline constexpr std::int64_t kMeasureSkipFrames = kMeasureSampleRate / 2;
inline constexpr std::int64_t kMeasureWindowFrames = kMeasureSampleRate;
inline constexpr std::int64_t kMeasureTailFrames = kMeasureSampleRate / 10;
// The input's largest value (the tones' amplitudes summed), in 16-bit sample units: -6 dB of
// full scale; the groove's full-scale amplitude is chosen to give the asked velocity from it.
inline constexpr double kMeasureInputPeak = 16384.0;
// Sideband orders that the SMPTE/DIN figure sums, and that the phase demodulation keeps.
inline constexpr int kSidebandOrders = 3;

enum class SignalKind { Sine, Smpte, Ccif, Fm };

struct TestSignal {
    SignalKind kind = SignalKind::Sine;
    double frequency = 1000.0;  // the sine's frequency, a whole number of hertz
};

// "sine:FREQ", "smpte", "ccif" or "fm". A sine's frequency is rounded to the nearest hertz; it
// must lie from 10 Hz up to below a quarter of the sample rate, so that at least H2 is below
// Nyquist.
bool parseTestSignal(const std::string& text, TestSignal& signal, std::string& reason);
std::string testSignalName(const TestSignal& signal);

struct TestTone {
    double frequency = 0.0;  // Hz, whole
    double level = 1.0;      // input amplitude relative to the lower tone's
};

// Lower tone first: sine one tone; smpte 60 Hz and 7 kHz at 4:1; ccif 19 and 20 kHz at 1:1; fm
// 400 Hz and 4 kHz at 4:1.
std::vector<TestTone> testTones(const TestSignal& signal);

// How loud the chain's input is and what it means in the groove.
struct ChainLevel {
    double fullScaleLateralAmplitude = 0.0;  // mm at sample value 32768
    std::vector<double> inputAmplitudes;     // per tone, 16-bit units
    std::vector<double> displacements;  // per tone, peak groove displacement after the filter, mm
};

// The lower tone at `peakVelocity` (mm/s) peak: displacement V / (2 pi f1) after the recording
// filter, whose gain at f1 is known, from an input whose tones sum to kMeasureInputPeak.
ChainLevel chooseChainLevel(const TestSignal& signal, double peakVelocity, int sampleRate);

// The tones as cosines from frame 0, each of its own amplitude.
std::vector<double> synthesiseTestSignal(const TestSignal& signal, const ChainLevel& level,
                                         std::int64_t frameCount, int sampleRate);

// One channel (the lateral component) through the whole chain, unscaled float output.
std::vector<double> renderThroughChain(const std::vector<double>& input, const DiscParameters& disc,
                                       const CoefficientSet& coefficients, int threadCount);

// 2 |X_k| / N of x[0, N) at bin k (k whole periods in the window), a direct DFT in extended
// precision with exactly reduced phases.
double binAmplitude(const double* x, std::int64_t n, std::int64_t k);

// The figures, as ratios (0.01 is 1 %); NaN where a figure does not apply to the signal (or a
// harmonic lies at or beyond Nyquist).
struct DistortionFigures {
    static constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    std::array<double, 4> harmonics = {kNone, kNone, kNone, kNone};  // H2 .. H5
    double thd = kNone;
    double imd = kNone;  // smpte: sidebands; ccif: difference tone; fm: phase modulation
};

// The figures of the signal measured from one window of rendered output:
//  sine  - H2..H5 over the fundamental, THD their root sum of squares;
//  smpte - the sidebands f2 +- k f1, k = 1..kSidebandOrders, root sum of squares over f2;
//  ccif  - the difference tone f2 - f1 over the sum of the two tones;
//  fm    - the upper tone's phase demodulated (FFTW, the band f2 +- kSidebandOrders f1 kept), its
//          peak deviation at f1 as a frequency deviation over the carrier, beta f1 / f2.
DistortionFigures analyseWindow(const TestSignal& signal, const double* window, std::int64_t n,
                                int sampleRate);

struct MeasurementConditions {
    double radius = 100.0;  // mm
    double trackingErrorDegrees = 0.0;
    double revolutionsPerMinute = 100.0 / 3.0;
    double peakVelocity = 100.0;  // mm/s, of the lower tone
};

// The theory's figures for the same signal and conditions (see distortion_prediction.hpp).
DistortionFigures predictFigures(const TestSignal& signal, const MeasurementConditions& conditions,
                                 int sampleRate);

struct PointResult {
    DistortionFigures measured;
    DistortionFigures predicted;
    double modulationIndex = 0.0;  // e of the lower tone
};

// Renders the signal at one radius and measures it.
PointResult measurePoint(const TestSignal& signal, const MeasurementConditions& conditions,
                         const CoefficientSet& coefficients, int threadCount);

// Renders and measures every point, shared among up to `workers` threads: each point is
// independent, and each chain runs on one thread.
std::vector<PointResult> measurePoints(const TestSignal& signal,
                                       const std::vector<MeasurementConditions>& points,
                                       const CoefficientSet& coefficients, int workers);
