#include "analysis/tracing_prediction.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace {

constexpr double kTwoPi = 2 * M_PI;

// The candidate at offset u from x on the wall a·sin(k·(x + u)): the wall less the tip's dip.
double candidate(double amplitude, double k, double x, double u, double radius) {
    return amplitude * std::sin(k * (x + u)) -
           u * u / (radius + std::sqrt(radius * radius - u * u));
}

// The largest of the continuous candidate between u0 and u1 around a grid maximum.
double refine(double amplitude, double k, double x, double u0, double u1, double radius) {
    const double golden = (std::sqrt(5.0) - 1) / 2;
    double a = u0;
    double b = u1;
    double c = b - golden * (b - a);
    double d = a + golden * (b - a);
    double fc = candidate(amplitude, k, x, c, radius);
    double fd = candidate(amplitude, k, x, d, radius);
    for (int step = 0; step < 80 && b - a > 0.0; ++step) {
        if (fc > fd) {
            b = d;
            d = c;
            fd = fc;
            c = b - golden * (b - a);
            fc = candidate(amplitude, k, x, c, radius);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + golden * (b - a);
            fd = candidate(amplitude, k, x, d, radius);
        }
    }
    return std::max(fc, fd);
}

}  // namespace

double curvatureRatio(double radius, double frequency, double peakVelocity, double grooveVelocity) {
    return radius * kTwoPi * frequency * peakVelocity / (grooveVelocity * grooveVelocity);
}

double highestFollowableFrequency(double radius, double peakVelocity, double grooveVelocity) {
    return grooveVelocity * grooveVelocity / (kTwoPi * radius * peakVelocity);
}

std::vector<double> tracedSinePeriod(double amplitude, double wavelength, double radius,
                                     int points) {
    if (points < 8 || points % 2 != 0 || !(radius > 0.0) || !(wavelength > 0.0)) {
        throw std::invalid_argument("tracedSinePeriod: impossible arguments");
    }
    // The grid: M points a period, a multiple of `points`, at most λ/2048 and ρ/64 apart.
    const double wanted = std::max(2048.0, 64.0 * wavelength / radius);
    const std::int64_t perPoint =
        static_cast<std::int64_t>(std::ceil(wanted / static_cast<double>(points)));
    const std::int64_t gridPoints = perPoint * points;
    const double h = wavelength / static_cast<double>(gridPoints);
    const double k = kTwoPi / wavelength;
    std::vector<double> wall(static_cast<std::size_t>(gridPoints));
    for (std::int64_t j = 0; j < gridPoints; ++j) {
        wall[static_cast<std::size_t>(j)] =
            amplitude * std::sin(kTwoPi * static_cast<double>(j) / static_cast<double>(gridPoints));
    }
    const auto reach = static_cast<std::int64_t>(std::floor(radius / h));
    std::vector<double> dips(static_cast<std::size_t>(reach + 1));
    for (std::int64_t m = 0; m <= reach; ++m) {
        const double u = static_cast<double>(m) * h;
        dips[static_cast<std::size_t>(m)] = u * u / (radius + std::sqrt(radius * radius - u * u));
    }
    std::vector<double> traced(static_cast<std::size_t>(points));
    for (int n = 0; n < points; ++n) {
        const std::int64_t centre = n * perPoint;
        double best = -INFINITY;
        std::int64_t bestOffset = 0;
        for (std::int64_t m = -reach; m <= reach; ++m) {
            const std::int64_t j = ((centre + m) % gridPoints + gridPoints) % gridPoints;
            const double c =
                wall[static_cast<std::size_t>(j)] - dips[static_cast<std::size_t>(std::abs(m))];
            if (c > best) {
                best = c;
                bestOffset = m;
            }
        }
        const double x = static_cast<double>(centre) * h;
        const double u0 = std::max(-radius, static_cast<double>(bestOffset - 1) * h);
        const double u1 = std::min(radius, static_cast<double>(bestOffset + 1) * h);
        traced[static_cast<std::size_t>(n)] =
            std::max(best, refine(amplitude, k, x, u0, u1, radius));
    }
    return traced;
}

double harmonicAmplitude(const std::vector<double>& period, int n) {
    long double re = 0.0L;
    long double im = 0.0L;
    const auto count = static_cast<long double>(period.size());
    for (std::size_t j = 0; j < period.size(); ++j) {
        const long double phase = 2.0L * 3.141592653589793238462643383279503L *
                                  static_cast<long double>(n) * static_cast<long double>(j) / count;
        re += period[j] * std::cos(phase);
        im -= period[j] * std::sin(phase);
    }
    return static_cast<double>(2.0L / count * std::sqrt(re * re + im * im));
}

TracingPrediction predictTracing(const TracingConditions& c) {
    if (!(c.radius > 0.0) || !(c.grooveVelocity > 0.0) || !(c.frequency > 0.0) ||
        !(c.peakVelocity > 0.0)) {
        throw std::invalid_argument("predictTracing: every condition must be above 0");
    }
    const int points = 1024;
    const double omega = kTwoPi * c.frequency;
    const double wavelength = c.grooveVelocity / c.frequency;
    TracingPrediction p;
    p.epsilon = curvatureRatio(c.radius, c.frequency, c.peakVelocity, c.grooveVelocity);
    p.maxFrequency = highestFollowableFrequency(c.radius, c.peakVelocity, c.grooveVelocity);

    const std::vector<double> wall =
        tracedSinePeriod(c.peakVelocity / omega, wavelength, c.radius, points);
    const double fundamental = harmonicAmplitude(wall, 1);
    p.h2 = 2 * harmonicAmplitude(wall, 2) / fundamental;
    p.h3 = 3 * harmonicAmplitude(wall, 3) / fundamental;

    // A mono tone: the inner wall a·sin, the outer −a·sin, which is the inner wall half a period
    // on; each traced alike.
    const std::vector<double> inner =
        tracedSinePeriod(c.peakVelocity / std::sqrt(2.0) / omega, wavelength, c.radius, points);
    std::vector<double> lateral(inner.size());
    std::vector<double> vertical(inner.size());
    for (std::size_t j = 0; j < inner.size(); ++j) {
        const double outer = inner[(j + inner.size() / 2) % inner.size()];
        lateral[j] = (inner[j] - outer) / std::sqrt(2.0);
        vertical[j] = (inner[j] + outer) / std::sqrt(2.0);
    }
    p.pinch = 2 * harmonicAmplitude(vertical, 2) / harmonicAmplitude(lateral, 1);
    return p;
}
