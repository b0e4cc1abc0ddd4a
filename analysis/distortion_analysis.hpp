#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "dsp/disc_parameters.hpp"
#include "dsp/stylus_model.hpp"
#include "dsp/tip_tracing.hpp"
#include "dsp/upsampler.hpp"
#include "engine/streaming_chain.hpp"

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

// Which channel of the record the test signal is cut in: the lateral (mid) component alone, as a
// mono record; the vertical (side) alone, L = −R; or one wall, the other channel silent. The
// velocity is along that channel's own axis: lateral, vertical, or the wall's, at 45 degrees to
// both, as stereo test records state it.
enum class MeasureChannel { Mid, Side, Left, Right };

// "mid", "side", "left" or "right".
bool parseMeasureChannel(const std::string& text, MeasureChannel& channel);
const char* measureChannelName(MeasureChannel channel);

// The channel's timing as the stylus model gives it: a displacement D along the channel's axis
// moves a sample by D·scale·factor / v. In the chain's axes (y outward, z up, y = M and z = S in
// the same millimetres) the timing error is (y·tan α − z·Δ) / v; the mid is y alone, the side z
// alone; a left-only signal has z = y, a right-only one z = −y, each D/√2 along its wall.
struct ChannelTiming {
    double factor = 0.0;  // tan α, −Δ, tan α − Δ or tan α + Δ
    double scale = 1.0;   // 1, or 1/√2 for a wall
};
ChannelTiming channelTiming(MeasureChannel channel, double trackingTangent, double slope);

// How loud the chain's input is and what it means in the groove.
struct ChainLevel {
    double fullScaleLateralAmplitude = 0.0;  // mm at sample value 32768
    std::vector<double> inputAmplitudes;     // per tone, 16-bit units
    std::vector<double> displacements;  // per tone, peak groove displacement after the filter, mm
};

// The lower tone at `peakVelocity` (mm/s) peak along the channel's axis: displacement V / (2 pi
// f1) after the recording filter, whose gain at f1 is known, from an input whose tones sum to
// kMeasureInputPeak in the channel that carries them. `displacements` are along that axis.
ChainLevel chooseChainLevel(const TestSignal& signal, double peakVelocity, int sampleRate,
                            MeasureChannel channel = MeasureChannel::Mid);

// The tones as cosines from frame 0, each of its own amplitude.
std::vector<double> synthesiseTestSignal(const TestSignal& signal, const ChainLevel& level,
                                         std::int64_t frameCount, int sampleRate);

// How the chain reads the test record.
struct MeasureModel {
    PickupModel model = PickupModel::Lateral;
    StylusAngles angles;
    MeasureChannel channel = MeasureChannel::Mid;
    int sampleRate = kMeasureSampleRate;  // of the rendering
    StylusTip tip;                        // the stylus model's tip, a point by default
};

// The test signal through the whole chain in its channel, unscaled float output of that
// channel: the mid as a mono record (the lateral component alone); the side as L = −R, read back
// as (L − R)/2; a wall as that channel with the other silent, read back from that channel.
std::vector<double> renderThroughChain(const std::vector<double>& input, const DiscParameters& disc,
                                       const CoefficientSet& coefficients, int threadCount,
                                       const MeasureModel& model = {});

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
    double peakVelocity = 100.0;  // mm/s, of the lower tone, along the channel's axis
    MeasureModel model;
};

// The chain's settings for measuring the signal under the conditions (its coefficients aside).
ChainSettings measuredChainSettings(const TestSignal& signal,
                                    const MeasurementConditions& conditions);

// The tip's tracing of a sine of `frequency` Hz cut in the conditions' channel, as the output
// gives it with no timing error: harmonics 2 to 5 of the envelope of the tip rolling on each wall
// (computed directly, analysis/tracing_prediction), over the fundamental, each carried through
// the playback equalisation (the recording filter's gain at f over its gain at n·f). `channel`
// is the channel's own output; `pinch`, for a lateral (mid) tone, the even harmonics it puts into
// the vertical (the side), over the lateral fundamental. 0 where a harmonic cancels, NaN at or
// beyond Nyquist.
struct TracedHarmonics {
    std::array<double, 4> channel = {DistortionFigures::kNone, DistortionFigures::kNone,
                                     DistortionFigures::kNone, DistortionFigures::kNone};
    std::array<double, 4> pinch = {DistortionFigures::kNone, DistortionFigures::kNone,
                                   DistortionFigures::kNone, DistortionFigures::kNone};
};
TracedHarmonics predictTracedHarmonics(double frequency, const MeasurementConditions& conditions,
                                       int sampleRate);

// The theory's figures for the same signal and conditions (see distortion_prediction.hpp), with
// the channel's timing factor in place of tan α. The lateral model reads the side untouched: its
// figures are those of the mid channel alone. With a tip that has a shape, the figures are the
// tracing's (predictTracedHarmonics) for a sine with no timing error, and none otherwise.
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
