#include "tests/reference/reference_stylus.hpp"

#include <algorithm>
#include <cmath>

#include "dsp/tip_tracing.hpp"
#include "dsp/traced_high_rate.hpp"
#include "tests/reference/reference_chain.hpp"
#include "tests/reference/reference_shelving.hpp"
#include "tests/reference/reference_tip_tracing.hpp"
#include "tests/reference/reference_tracking.hpp"
#include "tests/reference/reference_upsampler.hpp"

namespace {

using Extended = long double;

const Extended kPi = 3.14159265359L;

}  // namespace

long double referenceVerticalSlope(double verticalTrackingDegrees, double cuttingDegrees) {
    const Extended playback = tanl(Extended(verticalTrackingDegrees) * kPi / Extended(180));
    const Extended cutting = tanl(Extended(cuttingDegrees) * kPi / Extended(180));
    return playback - cutting;
}

double referenceStylusCorrectedTime(const std::vector<double>& u, const std::vector<double>& w,
                                    std::int64_t j, double a, long double slope,
                                    const GrooveGeometry& g) {
    const double y = static_cast<double>((Extended(u[j]) * Extended(a)) / Extended(32768));
    const double p = static_cast<double>(g.trackingTangent * Extended(y));
    const double z = static_cast<double>((Extended(w[j]) * Extended(a)) / Extended(32768));
    const double q = static_cast<double>(slope * Extended(z));
    const double dt = static_cast<double>((Extended(p) - Extended(q)) / Extended(g.grooveVelocity));
    return static_cast<double>((Extended(j - 10447) * Extended(g.samplePeriod)) / Extended(144) -
                               Extended(dt));
}

ReferenceStylusPass referenceStylusInterpolatedOutput(
    const std::vector<double>& u, const std::vector<double>& w, std::int32_t frameCount, double a,
    double samplePeriod, long double slope,
    const std::function<GrooveGeometry(std::int64_t)>& geometryAt) {
    const std::int64_t n = std::max<std::int32_t>(frameCount, 0);
    ReferenceStylusPass d{std::vector<double>(static_cast<std::size_t>(n), 0.0),
                          std::vector<double>(static_cast<std::size_t>(n), 0.0)};
    const std::int64_t last =
        std::min<std::int64_t>(144 * n + 20837, static_cast<std::int64_t>(u.size()) - 1);
    std::int64_t start = 0;
    double previous = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const Extended tOut = Extended(samplePeriod) * Extended(i);
        std::int64_t j = start;
        while (j <= last) {
            const double tj = referenceStylusCorrectedTime(u, w, j, a, slope, geometryAt(j));
            if (tOut >= Extended(tj)) {
                previous = tj;
                ++j;
                continue;
            }
            // One fraction for both walls: the tip is one point.
            const Extended f = (tOut - Extended(previous)) / (Extended(tj) - Extended(previous));
            const double midBefore = j > 0 ? u[j - 1] : 0.0;
            const double sideBefore = j > 0 ? w[j - 1] : 0.0;
            d.mid[i] = static_cast<double>((Extended(u[j]) - Extended(midBefore)) * f +
                                           Extended(midBefore));
            d.side[i] = static_cast<double>((Extended(w[j]) - Extended(sideBefore)) * f +
                                            Extended(sideBefore));
            start = j;
            break;
        }
    }
    return d;
}

void referenceTraceComponents(std::vector<double>& u, std::vector<double>& w, double tipRadius,
                              double a,
                              const std::function<GrooveGeometry(std::int64_t)>& geometryAt) {
    const std::size_t n = u.size();
    std::vector<double> inner(n);
    std::vector<double> outer(n);
    std::vector<double> spacing(n);
    for (std::size_t j = 0; j < n; ++j) {
        const GrooveWalls walls = wallsOf(u[j], w[j]);
        inner[j] = walls.inner;
        outer[j] = walls.outer;
        const GrooveGeometry g = geometryAt(static_cast<std::int64_t>(j));
        spacing[j] = tracingSpacingUnits(g.grooveVelocity, g.samplePeriod, a);
    }
    const double radius = tracingRadiusUnits(tipRadius, a);
    const std::vector<double> tracedInner = referenceTraceWall(inner, spacing, radius);
    const std::vector<double> tracedOuter = referenceTraceWall(outer, spacing, radius);
    for (std::size_t j = 0; j < n; ++j) {
        const GrooveDisplacement back = displacementOf(tracedInner[j], tracedOuter[j]);
        u[j] = back.lateral;
        w[j] = back.vertical;
    }
}

std::vector<double> referenceStylusUnscaledOutput(const std::vector<double>& samples, int channels,
                                                  int sampleRate, const DiscParameters& parameters,
                                                  const std::vector<std::vector<double>>& taps,
                                                  const ReferenceStylus& stylus) {
    if (channels == 1 && !stylus.geometryAt && !stylus.undo && !(stylus.tipRadius > 0.0)) {
        return referenceUnscaledOutput(samples, 1, sampleRate, parameters, taps);
    }
    const std::size_t n = samples.size() / static_cast<std::size_t>(channels);
    std::vector<double> mid(n, 0.0);
    std::vector<double> side(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (channels == 1) {
            mid[i] = samples[i];
            continue;
        }
        const Extended left = samples[2 * i];
        const Extended right = samples[2 * i + 1];
        mid[i] = static_cast<double>((right + left) * 0.5L);
        side[i] = static_cast<double>((left - right) * 0.5L);
    }
    const GrooveGeometry disc = referenceGrooveGeometry(parameters, sampleRate);
    const std::function<GrooveGeometry(std::int64_t)> given =
        stylus.geometryAt ? stylus.geometryAt : [disc](std::int64_t) { return disc; };
    const std::function<GrooveGeometry(std::int64_t)> geometryAt = [&](std::int64_t j) {
        GrooveGeometry geometry = given(j);
        if (stylus.undo) {
            geometry.trackingTangent = -geometry.trackingTangent;
        }
        return geometry;
    };
    const long double slope =
        referenceVerticalSlope(stylus.verticalTrackingDegrees, stylus.cuttingDegrees);
    std::vector<double> u =
        referenceUpsampleFourStages(referenceFilterLateral(mid, sampleRate), taps);
    const double period = static_cast<double>(1.0L / sampleRate);
    if (channels == 1 && !(stylus.tipRadius > 0.0)) {
        // No side: the lateral pass alone.
        return referenceInverseFilterLateral(
            referenceInterpolatedOutput(u, static_cast<std::int32_t>(n),
                                        parameters.fullScaleLateralAmplitude, period, geometryAt),
            sampleRate);
    }
    std::vector<double> w =
        referenceUpsampleFourStages(referenceFilterLateral(side, sampleRate), taps);
    if (stylus.tipRadius > 0.0) {
        referenceTraceComponents(u, w, stylus.tipRadius, parameters.fullScaleLateralAmplitude,
                                 geometryAt);
    }
    const ReferenceStylusPass pass = referenceStylusInterpolatedOutput(
        u, w, static_cast<std::int32_t>(n), parameters.fullScaleLateralAmplitude, period,
        stylus.undo ? -slope : slope, geometryAt);
    const std::vector<double> restoredMid = referenceInverseFilterLateral(pass.mid, sampleRate);
    if (channels == 1) {
        // A single channel traced as a groove with no vertical modulation: its mid plays.
        return restoredMid;
    }
    const std::vector<double> restoredSide = referenceInverseFilterLateral(pass.side, sampleRate);
    std::vector<double> stereo(2 * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        stereo[2 * i] = static_cast<double>(Extended(restoredSide[i]) + restoredMid[i]);
        stereo[2 * i + 1] = static_cast<double>(Extended(restoredMid[i]) - restoredSide[i]);
    }
    return stereo;
}
