#include "analysis/distortion_prediction.hpp"

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

#include "dsp/shelving_filter.hpp"

namespace {

// (b0 + b1 z^-1) / (1 - a1 z^-1) at z = exp(j w T), with the section's own extended quotients.
std::complex<long double> sectionResponse(const ShelvingSection& section, long double phase) {
    const long double b0 = static_cast<long double>(section.num0) / section.den0;
    const long double b1 = static_cast<long double>(section.num1) / section.den0;
    const long double a1 = static_cast<long double>(section.den1) / section.den0;
    const std::complex<long double> zInverse = std::polar(1.0L, -phase);
    return (b0 + b1 * zInverse) / (1.0L - a1 * zInverse);
}

}  // namespace

std::complex<double> recordingFilterResponse(double frequency, int sampleRate) {
    const LateralSections sections = designLateralSections(sampleRate, LateralDirection::Recording);
    const long double phase = 2 * std::numbers::pi_v<long double> * frequency / sampleRate;
    const std::complex<long double> response =
        sectionResponse(sections.first, phase) * sectionResponse(sections.second, phase);
    return {static_cast<double>(response.real()), static_cast<double>(response.imag())};
}

double recordingFilterGain(double frequency, int sampleRate) {
    const LateralSections sections = designLateralSections(sampleRate, LateralDirection::Recording);
    const long double phase = 2 * std::numbers::pi_v<long double> * frequency / sampleRate;
    return static_cast<double>(
        std::abs(sectionResponse(sections.first, phase) * sectionResponse(sections.second, phase)));
}

double modulationIndex(double frequency, double displacement, double trackingTangent,
                       double grooveVelocity) {
    return 2 * std::numbers::pi * frequency * displacement * trackingTangent / grooveVelocity;
}

double keplerHarmonicRatio(int n, double e) {
    if (e == 0.0) {
        return 0.0;
    }
    if (!(std::fabs(e) < 1.0)) {
        // From e = 1 on the groove's own slope turns the time axis back: no single reading.
        return std::numeric_limits<double>::quiet_NaN();
    }
    // J_n(-x) = (-1)^n J_n(x): the sign of e changes signs, never sizes.
    const double size = std::fabs(e);
    return std::fabs(std::cyl_bessel_j(static_cast<double>(n), n * size) / n /
                     std::cyl_bessel_j(1.0, size));
}

double predictedHarmonicRatio(int n, double e, double frequency, int sampleRate) {
    // The playback filter is the recording filter's inverse.
    return keplerHarmonicRatio(n, e) * recordingFilterGain(frequency, sampleRate) /
           recordingFilterGain(n * frequency, sampleRate);
}

double predictedSidebandImd(double lowerFrequency, double upperFrequency, double lowerDisplacement,
                            double trackingTangent, double grooveVelocity, int orders,
                            int sampleRate) {
    const double beta = std::fabs(
        modulationIndex(upperFrequency, lowerDisplacement, trackingTangent, grooveVelocity));
    const double carrierGain = 1.0 / recordingFilterGain(upperFrequency, sampleRate);
    const double carrier = std::fabs(std::cyl_bessel_j(0.0, beta)) * carrierGain;
    double power = 0.0;
    for (int k = 1; k <= orders; ++k) {
        const double sideband = std::cyl_bessel_j(static_cast<double>(k), beta);
        for (const int side : {-1, 1}) {
            const double gain =
                1.0 / recordingFilterGain(upperFrequency + side * k * lowerFrequency, sampleRate);
            power += sideband * sideband * gain * gain;
        }
    }
    return std::sqrt(power) / carrier;
}

double predictedDifferenceToneImd(double lowerFrequency, double upperFrequency,
                                  double lowerDisplacement, double upperDisplacement,
                                  double trackingTangent, double grooveVelocity, int sampleRate) {
    const double difference = trackingTangent / (2 * grooveVelocity) * lowerDisplacement *
                              upperDisplacement * 2 * std::numbers::pi *
                              (upperFrequency - lowerFrequency);
    // Every tone leaves the playback filter with its displacement over the recording gain.
    const double differenceOut =
        std::fabs(difference) / recordingFilterGain(upperFrequency - lowerFrequency, sampleRate);
    const double lowerOut = lowerDisplacement / recordingFilterGain(lowerFrequency, sampleRate);
    const double upperOut = upperDisplacement / recordingFilterGain(upperFrequency, sampleRate);
    return differenceOut / (lowerOut + upperOut);
}

double predictedPhaseModulation(double lowerFrequency, double lowerDisplacement,
                                double trackingTangent, double grooveVelocity) {
    return std::fabs(
        modulationIndex(lowerFrequency, lowerDisplacement, trackingTangent, grooveVelocity));
}
