#pragma once

#include <complex>

// What theory says the tracking error does to a test signal, for comparison with what the chain
// measurably does.
//
// The chain reads the groove displacement d back at a shifted time: the output at time t is
// d(tau) where tau = t + tan(alpha) d(tau) / v (v the groove velocity). For d = Y sin(w tau) this
// is Kepler's equation, w t = w tau - e sin(w tau), with the modulation index
// e = w Y tan(alpha) / v, and its classic solution (Bessel, 1824) gives
//   sin(w tau) = sum over n of (2 J_n(n e) / (n e)) sin(n w t).
// The playback (inverse) filter then weighs each harmonic of the displacement by its own gain, so
// harmonic n relative to the fundamental is
//   (J_n(n e) / n) / J_1(e) * |H_inv(n f)| / |H_inv(f)|.

// |H(f)| of the recording filter (velocity -> displacement) exactly as the chain runs it at
// `sampleRate`: the two bilinear shelving sections, evaluated on the unit circle. The playback
// filter is its exact inverse.
double recordingFilterGain(double frequency, int sampleRate);
// The same filter's complex response H(f), whose magnitude recordingFilterGain gives.
std::complex<double> recordingFilterResponse(double frequency, int sampleRate);

// e = w Y tan(alpha) / v for a tone of `frequency` Hz and peak displacement `displacement` mm.
double modulationIndex(double frequency, double displacement, double trackingTangent,
                       double grooveVelocity);

// Harmonic n (n >= 2) of the displacement relative to its fundamental, for index e, before the
// playback filter: (J_n(n e) / n) / J_1(e). Exact for any |e| < 1; 0 for e = 0; NaN from
// |e| = 1 on, where tau - tan(alpha) d(tau) / v no longer grows with tau (no single reading).
double keplerHarmonicRatio(int n, double e);

// The same after the playback filter, for a fundamental of `frequency` Hz.
double predictedHarmonicRatio(int n, double e, double frequency, int sampleRate);

// First-order predictions of the two-tone figures (ratios, not percent). `lowerDisplacement` and
// `upperDisplacement` are the two tones' peak displacements (mm).
//
// SMPTE/DIN: the lower tone shifts the time of the upper one by tan(alpha) d1 / v, a phase
// modulation of index beta = w2 Y1 tan(alpha) / v, whose sidebands at f2 +- k f1 are J_k(beta)
// against the carrier's J_0(beta), each weighed by the playback filter. The figure is the root
// sum of squares of the sidebands k = 1 .. `orders` on both sides over the carrier.
double predictedSidebandImd(double lowerFrequency, double upperFrequency, double lowerDisplacement,
                            double trackingTangent, double grooveVelocity, int orders,
                            int sampleRate);

// CCIF difference tone: to first order the output is d + (tan(alpha) / (2 v)) (d^2)', whose
// difference-frequency term has amplitude (tan(alpha) / (2 v)) Y1 Y2 (w2 - w1). The figure is
// that tone, weighed by the playback filter, over the sum of the two tones' amplitudes.
double predictedDifferenceToneImd(double lowerFrequency, double upperFrequency,
                                  double lowerDisplacement, double upperDisplacement,
                                  double trackingTangent, double grooveVelocity, int sampleRate);

// Phase modulation of the upper tone by the lower: the peak phase deviation beta = w2 Y1 tan(alpha)
// / v, expressed as the peak frequency deviation over the carrier, beta f1 / f2, which is
// w1 Y1 tan(alpha) / v: the lower tone's peak velocity times tan(alpha) over v.
double predictedPhaseModulation(double lowerFrequency, double lowerDisplacement,
                                double trackingTangent, double grooveVelocity);
