#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "analysis/distortion_analysis.hpp"

// A test record's reference band, measured in a transfer: how many millimetres of groove a full
// scale sample of the transfer stands for, and what its second harmonic says about the tracking
// error that played it.
//
// The amplitude. The chain turns a sample value s of a channel's component (the mid (L + R)/2,
// the side (L − R)/2, or one wall's channel) into groove displacement through the recording
// filter, of gain G(f) at the tone's frequency, and `--amplitude` a (mm at 32768):
//     D = A · G(f) · a / 32768 · w,
// A the tone's peak in the component, w = 1 for the mid and the side and √2/2 for a wall (a
// wall's sample moves y and z by half of it each, √2/2 of it along the wall). A tone cut at peak
// velocity V along that axis has the displacement V / (2π f0), f0 the tone's nominal frequency
// (the groove holds what was cut, whatever the speed it is played at). Equal displacements give
//     a = 32768 · V / (2π f0 · A · G(f) · w),
// with G taken at the frequency measured in the transfer, which the chain sees.
//
// The tracking error. A pure tracking distortion of a sine of displacement Y is the phase
// modulation of index e = ω·Y·k/v (k the channel's timing factor: tan α for the mid and, with
// the vertical angles matched, for a wall; −Δ for the side), and its second harmonic, after the
// playback filter, is predictedHarmonicRatio(2, e) of the fundamental, which grows with |e| for
// |e| < 1: that is solved for |e|. Its sign is the phase of H2: played early where it is
// displaced outward (e > 0), the displacement Y sin(ωτ) comes out as Y·(2J1(e)/e)·sin(ωt) +
// Y·(J2(2e)/e)·sin(2ωt) + ..., so the second harmonic is +90 degrees ahead of twice the
// fundamental's phase for e > 0 and 90 behind for e < 0, measured on the displacement (the
// transfer's harmonics times the recording filter's response at their frequencies). Then
// k = e·v / (ω·Y), with Y the displacement along the model's axis (a wall's over √2).

// A steady tone in a signal: its frequency, and its fundamental and harmonics as complex
// amplitudes c_k, the component k being Re(c_k·exp(i·k·ω·m)) at sample m of the window.
struct ToneFit {
    double frequency = 0.0;                       // Hz
    std::vector<std::complex<double>> harmonics;  // [0] the fundamental, [1] H2, ...
    double residualRms = 0.0;                     // what the fit leaves, rms
};

// Finds the strongest component within 3 % of `nominal` Hz in `x` (a 4-term Blackman-Harris
// window, its peak refined by golden-section search over ever longer parts of the window), then
// fits a constant, that frequency and its harmonics up to H5 below Nyquist by least squares over
// the whole window.
ToneFit fitTone(const std::vector<double>& x, int sampleRate, double nominal);

// The channel a reference band is read from, from interleaved frames of 1 or 2 channels: the
// component the chain moves (mid, side) or one channel alone.
std::vector<double> channelSignal(const std::vector<double>& frames, int channels,
                                  MeasureChannel channel);

struct CalibrationRequest {
    double toneFrequency = 1000.0;  // Hz, nominal
    double peakVelocity = 50.0;     // mm/s, along the channel's axis
    MeasureChannel channel = MeasureChannel::Mid;
    int sampleRate = 44100;
    double grooveVelocity = 0.0;  // mm/s where the band lies; 0: no tracking error asked
};

struct Calibration {
    ToneFit tone;
    double peak = 0.0;                // the tone's peak in the channel, 16-bit units
    double fullScaleAmplitude = 0.0;  // mm at 32768: --amplitude
    double h2 = 0.0;                  // ratios to the fundamental, NaN beyond Nyquist
    double h3 = 0.0;
    double h2PhaseDegrees = 0.0;        // of the displacement's H2 against 2× the fundamental's
    double modulationIndex = 0.0;       // e, signed; NaN where H2 gives none
    double timingFactor = 0.0;          // k; NaN without a groove velocity or an index
    double signalToRestDecibels = 0.0;  // the fundamental over what the fit leaves
};

Calibration calibrateTone(const std::vector<double>& channel, const CalibrationRequest& request);

// |e| < 1 whose predicted H2 after the playback filter is `ratio`, by bisection; NaN where none
// below 1 gives it.
double modulationIndexForHarmonic(double ratio, double frequency, int sampleRate);
