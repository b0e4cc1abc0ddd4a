#pragma once

// Walls, spacings and block patterns for the tests of the tip's tracing, and the tracer run over
// a whole signal.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "dsp/tip_tracing.hpp"

struct TracedWallCase {
    std::vector<double> wall;     // mm
    std::vector<double> spacing;  // mm per sample, one per sample
};

// The groove positions of the samples: the running sum of their spacings, from 0.
inline std::vector<double> groovePositions(const std::vector<double>& spacing) {
    std::vector<double> x(spacing.size());
    long double position = 0.0L;
    for (std::size_t j = 0; j < spacing.size(); ++j) {
        x[j] = static_cast<double>(position);
        position += spacing[j];
    }
    return x;
}

// How the spacing moves along the signal.
enum class SpacingKind {
    Constant,  // one groove velocity
    Ramp,      // an arm moving across the side: the velocity falls by `fall` (1 %) over the
               // signal, in steps of 144 samples, as the chain gives one velocity per input sample
    Random,    // every sample its own spacing, up to 30 % above the smallest (a stress test)
};

inline std::vector<double> spacingOf(SpacingKind kind, std::size_t n, double dx, double fall = 0.01,
                                     std::uint32_t seed = 7) {
    std::vector<double> spacing(n, dx);
    if (kind == SpacingKind::Ramp) {
        for (std::size_t j = 0; j < n; ++j) {
            const double step = static_cast<double>(j / 144 * 144) / static_cast<double>(n);
            spacing[j] = dx * (1 + fall - fall * step);
        }
    } else if (kind == SpacingKind::Random) {
        std::mt19937 generator(seed);
        std::uniform_real_distribution<double> spread(1.0, 1.3);
        for (double& value : spacing) {
            value = dx * spread(generator);
        }
    }
    return spacing;
}

// A sine wall a·sin(2π x / λ + phase) at the samples' groove positions.
inline std::vector<double> sineWall(const std::vector<double>& spacing, double amplitude,
                                    double wavelength, double phase = 0.3) {
    const std::vector<double> x = groovePositions(spacing);
    std::vector<double> wall(x.size());
    for (std::size_t j = 0; j < x.size(); ++j) {
        wall[j] = amplitude * std::sin(2 * M_PI * x[j] / wavelength + phase);
    }
    return wall;
}

// Seeded noise of peak `scale`, smoothed over `smoothing` samples (1: white).
inline std::vector<double> randomWall(std::size_t n, double scale, int smoothing,
                                      std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<double> uniform(-scale, scale);
    std::vector<double> wall(n);
    double state = 0.0;
    const double keep = 1.0 - 1.0 / smoothing;
    for (double& value : wall) {
        state = keep * state + (1.0 - keep) * uniform(generator);
        value = smoothing == 1 ? uniform(generator) : state * std::sqrt(2.0 * smoothing);
    }
    return wall;
}

// Music-like wall displacement: a few dozen partials from 40 Hz to 16 kHz with falling
// amplitudes and seeded phases, sampled at `rate` per second, scaled to a peak wall velocity of
// `peakVelocity` mm/s (estimated from the partials' amplitudes).
inline std::vector<double> musicLikeWall(std::size_t n, double rate, double peakVelocity,
                                         std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<double> phase(0.0, 2 * M_PI);
    struct Partial {
        double omega, amplitude, phase;
    };
    std::vector<Partial> partials;
    double velocitySum = 0.0;
    for (double f = 40.0; f < 16000.0; f *= 1.25) {
        const double velocity = 1.0 / std::sqrt(f / 40.0);  // a falling spectrum
        const double omega = 2 * M_PI * f;
        partials.push_back({omega, velocity / omega, phase(generator)});
        velocitySum += velocity;
    }
    const double scale = peakVelocity / velocitySum;
    std::vector<double> wall(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double t = static_cast<double>(j) / rate;
        double value = 0.0;
        for (const Partial& p : partials) {
            value += p.amplitude * std::sin(p.omega * t + p.phase);
        }
        wall[j] = scale * value;
    }
    return wall;
}

// Block sizes: a fixed size, or seeded random sizes from 1 to 3000 when `size` is 0.
inline std::vector<std::size_t> blockPattern(std::size_t n, std::size_t size, std::uint32_t seed) {
    std::vector<std::size_t> sizes;
    std::mt19937 generator(seed);
    std::uniform_int_distribution<std::size_t> random(1, 3000);
    for (std::size_t done = 0; done < n;) {
        const std::size_t next = std::min(n - done, size == 0 ? random(generator) : size);
        sizes.push_back(next);
        done += next;
    }
    return sizes;
}

// The tracer run over a whole wall in blocks of the given sizes, then finished.
inline std::vector<double> traceInBlocks(const TracedWallCase& signal, double radius,
                                         const std::vector<std::size_t>& blocks) {
    const double smallest = *std::min_element(signal.spacing.begin(), signal.spacing.end());
    TipTracer tracer({radius, smallest});
    SampleBlock traced;
    std::size_t done = 0;
    for (const std::size_t size : blocks) {
        tracer.process(std::span(signal.wall).subspan(done, size),
                       std::span(signal.spacing).subspan(done, size), traced);
        done += size;
    }
    tracer.finish(traced);
    return std::vector<double>(traced.begin(), traced.end());
}
