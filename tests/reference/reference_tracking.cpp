#include "tests/reference/reference_tracking.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

using Extended = long double;

const Extended kPi = 3.14159265359L;

}  // namespace

GrooveGeometry referenceGrooveGeometry(const DiscParameters& parameters, int sampleRate) {
    GrooveGeometry g;
    g.grooveVelocity =
        static_cast<double>(kPi * Extended(2) * Extended(parameters.grooveRadius) *
                            Extended(parameters.revolutionsPerMinute) / Extended(60));
    g.samplePeriod = static_cast<double>(Extended(1) / Extended(sampleRate));
    g.trackingTangent = tanl(Extended(parameters.trackingErrorDegrees) * kPi / Extended(180));
    return g;
}

namespace {

double correctedTimeWith(const std::vector<double>& u, std::int64_t j, double a,
                         const GrooveGeometry& g) {
    return referenceCorrectedTimeOf(u[static_cast<std::size_t>(j)], j, a, g);
}

}  // namespace

double referenceCorrectedTimeOf(double value, std::int64_t j, double a, const GrooveGeometry& g) {
    const double y = static_cast<double>((Extended(value) * Extended(a)) / Extended(32768));
    const double p = static_cast<double>(g.trackingTangent * Extended(y));
    const double dt = static_cast<double>(Extended(p) / Extended(g.grooveVelocity));
    return static_cast<double>((Extended(j - 10447) * Extended(g.samplePeriod)) / Extended(144) -
                               Extended(dt));
}

double referenceCorrectedTime(const std::vector<double>& u, std::int64_t j, double a,
                              const GrooveGeometry& g) {
    return correctedTimeWith(u, j, a, g);
}

std::vector<double> referenceInterpolatedOutput(const std::vector<double>& u,
                                                std::int32_t frameCount, double a,
                                                const GrooveGeometry& g) {
    return referenceInterpolatedOutput(u, frameCount, a, g.samplePeriod,
                                       [&g](std::int64_t) { return g; });
}

namespace {

// The pass with the amplitude and the geometry that `grooveAt(j)` gives index j.
template <typename GrooveAt>
std::vector<double> interpolatedOutputWith(const std::vector<double>& u, std::int32_t frameCount,
                                           double samplePeriod, const GrooveAt& grooveAt) {
    const std::int64_t n = std::max<std::int32_t>(frameCount, 0);
    std::vector<double> d(static_cast<std::size_t>(n), 0.0);
    // The last index read, limited to the buffer handed over.
    const std::int64_t last =
        std::min<std::int64_t>(144 * n + 20837, static_cast<std::int64_t>(u.size()) - 1);
    std::int64_t start = 0;
    double previous = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const Extended tOut = Extended(samplePeriod) * Extended(i);
        std::int64_t j = start;
        while (j <= last) {
            const auto [a, geometry] = grooveAt(j);
            const double tj = correctedTimeWith(u, j, a, geometry);
            if (tOut >= Extended(tj)) {
                previous = tj;
                ++j;
                continue;
            }
            // Index 0 has no predecessor: the signal before it counts as 0.
            const double before = j > 0 ? u[j - 1] : 0.0;
            d[i] = static_cast<double>(
                (Extended(u[j]) - Extended(before)) *
                    ((tOut - Extended(previous)) / (Extended(tj) - Extended(previous))) +
                Extended(before));
            start = j;
            break;
        }
    }
    return d;
}

}  // namespace

std::vector<double> referenceInterpolatedOutput(
    const std::vector<double>& u, std::int32_t frameCount, double a, double samplePeriod,
    const std::function<GrooveGeometry(std::int64_t)>& geometryAt) {
    return interpolatedOutputWith(u, frameCount, samplePeriod, [&](std::int64_t j) {
        return std::pair<double, GrooveGeometry>(a, geometryAt(j));
    });
}

std::vector<double> referenceInterpolatedOutputOfDiscs(
    const std::vector<double>& u, std::int32_t frameCount, int sampleRate,
    const std::function<DiscParameters(std::int64_t)>& discAt) {
    const double samplePeriod = static_cast<double>(Extended(1) / Extended(sampleRate));
    return interpolatedOutputWith(u, frameCount, samplePeriod, [&](std::int64_t j) {
        const DiscParameters disc = discAt(j);
        return std::pair<double, GrooveGeometry>(disc.fullScaleLateralAmplitude,
                                                 referenceGrooveGeometry(disc, sampleRate));
    });
}
