#include "analysis/tone_calibration.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

#include "analysis/distortion_prediction.hpp"

namespace {

constexpr double kSearchSpan = 0.03;  // the tone is looked for within 3 % of its nominal frequency
constexpr int kMostHarmonics = 5;     // the fit's harmonics, H1 to H5
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The 4-term Blackman-Harris window (sidelobes below -92 dB), at m of n.
double blackmanHarris(std::int64_t m, std::int64_t n) {
    const double x = 2 * std::numbers::pi * static_cast<double>(m) / static_cast<double>(n - 1);
    return 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
}

// |windowed DTFT|² of x[0, n) at `frequency`, the phase of each sample reduced in extended
// precision.
double windowedPower(const std::vector<double>& x, std::int64_t n, double frequency,
                     int sampleRate) {
    const long double step = static_cast<long double>(frequency) / sampleRate;
    long double re = 0.0L;
    long double im = 0.0L;
    for (std::int64_t m = 0; m < n; ++m) {
        long double turn = step * m;
        turn -= std::floor(turn);
        const double angle = static_cast<double>(2 * std::numbers::pi_v<long double> * turn);
        const double value = x[static_cast<std::size_t>(m)] * blackmanHarris(m, n);
        re += value * std::cos(angle);
        im -= value * std::sin(angle);
    }
    return static_cast<double>(re * re + im * im);
}

// The frequency of the largest windowed power in [low, high], by golden-section search.
double refinePeak(const std::vector<double>& x, std::int64_t n, double low, double high,
                  int sampleRate) {
    const double ratio = (std::sqrt(5.0) - 1) / 2;
    double a = low;
    double b = high;
    double c = b - ratio * (b - a);
    double d = a + ratio * (b - a);
    double pc = windowedPower(x, n, c, sampleRate);
    double pd = windowedPower(x, n, d, sampleRate);
    const double resolution = 1e-4 * sampleRate / static_cast<double>(n);
    while (b - a > resolution) {
        if (pc > pd) {
            b = d;
            d = c;
            pd = pc;
            c = b - ratio * (b - a);
            pc = windowedPower(x, n, c, sampleRate);
        } else {
            a = c;
            c = d;
            pc = pd;
            d = a + ratio * (b - a);
            pd = windowedPower(x, n, d, sampleRate);
        }
    }
    return (a + b) / 2;
}

// Solves the symmetric positive system `a`·u = `b` (size n, row-major) by Gaussian elimination
// with partial pivoting, in extended precision.
std::vector<long double> solve(std::vector<long double> a, std::vector<long double> b,
                               std::size_t n) {
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        for (std::size_t row = col + 1; row < n; ++row) {
            if (std::fabs(a[row * n + col]) > std::fabs(a[pivot * n + col])) {
                pivot = row;
            }
        }
        for (std::size_t k = 0; k < n; ++k) {
            std::swap(a[col * n + k], a[pivot * n + k]);
        }
        std::swap(b[col], b[pivot]);
        for (std::size_t row = col + 1; row < n; ++row) {
            const long double factor = a[row * n + col] / a[col * n + col];
            for (std::size_t k = col; k < n; ++k) {
                a[row * n + k] -= factor * a[col * n + k];
            }
            b[row] -= factor * b[col];
        }
    }
    std::vector<long double> u(n, 0.0L);
    for (std::size_t row = n; row-- > 0;) {
        long double sum = b[row];
        for (std::size_t k = row + 1; k < n; ++k) {
            sum -= a[row * n + k] * u[k];
        }
        u[row] = sum / a[row * n + row];
    }
    return u;
}

}  // namespace

ToneFit fitTone(const std::vector<double>& x, int sampleRate, double nominal) {
    const auto n = static_cast<std::int64_t>(x.size());
    ToneFit fit;
    // Over a short part first, whose peak is wide, then over parts four times as long, each
    // searched within two of the previous part's bins either side of its peak (the window's main
    // lobe is four bins either side), up to the whole window.
    std::int64_t part = std::min<std::int64_t>(n, sampleRate / 8);
    double low = nominal * (1 - kSearchSpan);
    double high = nominal * (1 + kSearchSpan);
    // The short part's peak: the best of a grid of quarter bins, then refined.
    const double bin = static_cast<double>(sampleRate) / static_cast<double>(part);
    double best = nominal;
    double bestPower = -1.0;
    for (double f = low; f <= high; f += bin / 4) {
        const double power = windowedPower(x, part, f, sampleRate);
        if (power > bestPower) {
            bestPower = power;
            best = f;
        }
    }
    double frequency = refinePeak(x, part, std::max(low, best - bin / 2),
                                  std::min(high, best + bin / 2), sampleRate);
    while (part < n) {
        const double partBin = static_cast<double>(sampleRate) / static_cast<double>(part);
        part = std::min(n, 4 * part);
        frequency =
            refinePeak(x, part, frequency - 2 * partBin, frequency + 2 * partBin, sampleRate);
    }
    fit.frequency = frequency;

    // Least squares over the whole window: a constant and cos, sin of each harmonic.
    int harmonics = 0;
    while (harmonics < kMostHarmonics && (harmonics + 1) * frequency < sampleRate / 2.0) {
        ++harmonics;
    }
    const auto size = static_cast<std::size_t>(1 + 2 * harmonics);
    std::vector<long double> normal(size * size, 0.0L);
    std::vector<long double> right(size, 0.0L);
    std::vector<long double> basis(size);
    const long double step = static_cast<long double>(frequency) / sampleRate;
    auto fillBasis = [&](std::int64_t m) {
        basis[0] = 1.0L;
        for (int k = 1; k <= harmonics; ++k) {
            long double turn = step * k * m;
            turn -= std::floor(turn);
            const long double angle = 2 * std::numbers::pi_v<long double> * turn;
            basis[static_cast<std::size_t>(2 * k - 1)] = std::cos(angle);
            basis[static_cast<std::size_t>(2 * k)] = std::sin(angle);
        }
    };
    for (std::int64_t m = 0; m < n; ++m) {
        fillBasis(m);
        const long double value = x[static_cast<std::size_t>(m)];
        for (std::size_t r = 0; r < size; ++r) {
            right[r] += basis[r] * value;
            for (std::size_t c = r; c < size; ++c) {
                normal[r * size + c] += basis[r] * basis[c];
            }
        }
    }
    for (std::size_t r = 0; r < size; ++r) {
        for (std::size_t c = 0; c < r; ++c) {
            normal[r * size + c] = normal[c * size + r];
        }
    }
    const std::vector<long double> u = solve(normal, right, size);
    for (int k = 1; k <= harmonics; ++k) {
        // a cos + b sin = Re((a − i b) exp(i k ω m)).
        fit.harmonics.emplace_back(static_cast<double>(u[static_cast<std::size_t>(2 * k - 1)]),
                                   -static_cast<double>(u[static_cast<std::size_t>(2 * k)]));
    }
    long double leftOver = 0.0L;
    for (std::int64_t m = 0; m < n; ++m) {
        fillBasis(m);
        long double model = 0.0L;
        for (std::size_t r = 0; r < size; ++r) {
            model += u[r] * basis[r];
        }
        const long double d = x[static_cast<std::size_t>(m)] - model;
        leftOver += d * d;
    }
    fit.residualRms = n > 0 ? static_cast<double>(std::sqrt(leftOver / n)) : 0.0;
    return fit;
}

std::vector<double> channelSignal(const std::vector<double>& frames, int channels,
                                  MeasureChannel channel) {
    if (channels == 1) {
        return frames;  // the mid alone
    }
    std::vector<double> signal(frames.size() / 2);
    for (std::size_t m = 0; m < signal.size(); ++m) {
        const double left = frames[2 * m];
        const double right = frames[2 * m + 1];
        switch (channel) {
            case MeasureChannel::Mid:
                signal[m] = (left + right) / 2;
                break;
            case MeasureChannel::Side:
                signal[m] = (left - right) / 2;
                break;
            case MeasureChannel::Left:
                signal[m] = left;
                break;
            case MeasureChannel::Right:
                signal[m] = right;
                break;
        }
    }
    return signal;
}

double modulationIndexForHarmonic(double ratio, double frequency, int sampleRate) {
    if (!(ratio >= 0.0) || 2 * frequency >= sampleRate / 2.0) {
        return kNaN;
    }
    // H2 grows with e from 0 to the edge of a single reading, 1.
    double low = 0.0;
    double high = 1.0 - 1e-12;
    if (!(predictedHarmonicRatio(2, high, frequency, sampleRate) >= ratio)) {
        return kNaN;
    }
    for (int step = 0; step < 200 && high - low > 1e-16; ++step) {
        const double middle = (low + high) / 2;
        if (predictedHarmonicRatio(2, middle, frequency, sampleRate) < ratio) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return (low + high) / 2;
}

Calibration calibrateTone(const std::vector<double>& channel, const CalibrationRequest& request) {
    Calibration result;
    result.tone = fitTone(channel, request.sampleRate, request.toneFrequency);
    const ToneFit& tone = result.tone;
    const double f = tone.frequency;
    const std::complex<double> fundamental = tone.harmonics.at(0);
    result.peak = std::abs(fundamental);
    result.signalToRestDecibels =
        20 * std::log10(result.peak / std::numbers::sqrt2 / tone.residualRms);
    const bool wall =
        request.channel == MeasureChannel::Left || request.channel == MeasureChannel::Right;
    const double axisPerSample = wall ? std::numbers::sqrt2 / 2 : 1.0;
    const double displacement =
        request.peakVelocity / (2 * std::numbers::pi * request.toneFrequency);
    result.fullScaleAmplitude =
        displacement * 32768.0 /
        (recordingFilterGain(f, request.sampleRate) * result.peak * axisPerSample);
    result.h2 = tone.harmonics.size() > 1 ? std::abs(tone.harmonics[1]) / result.peak : kNaN;
    result.h3 = tone.harmonics.size() > 2 ? std::abs(tone.harmonics[2]) / result.peak : kNaN;
    result.modulationIndex = kNaN;
    result.timingFactor = kNaN;
    result.h2PhaseDegrees = kNaN;
    if (tone.harmonics.size() < 2) {
        return result;
    }
    // On the displacement: each harmonic through the recording filter at its own frequency.
    const std::complex<double> first = fundamental * recordingFilterResponse(f, request.sampleRate);
    const std::complex<double> second =
        tone.harmonics[1] * recordingFilterResponse(2 * f, request.sampleRate);
    const double phase = std::arg(second) - 2 * std::arg(first);
    result.h2PhaseDegrees = std::remainder(phase, 2 * std::numbers::pi) * 180 / std::numbers::pi;
    const double size = modulationIndexForHarmonic(result.h2, f, request.sampleRate);
    result.modulationIndex = std::sin(phase) < 0 ? -size : size;
    if (request.grooveVelocity > 0.0 && std::isfinite(result.modulationIndex)) {
        // The displacement along the model's axis: a wall's over √2.
        const double axis = wall ? displacement / std::numbers::sqrt2 : displacement;
        result.timingFactor =
            result.modulationIndex * request.grooveVelocity / (2 * std::numbers::pi * f * axis);
    }
    return result;
}
