#include "analysis/arm_table.hpp"

#include <algorithm>
#include <cmath>

namespace {

// alpha / r in degrees per centimetre.
double weightedAt(const Tonearm& arm, double radius) {
    return trackingErrorDegrees(arm, radius) / (radius / 10.0);
}

}  // namespace

ArmExtremes findExtremes(const Tonearm& arm, const PlayingArea& area) {
    const int steps = 100000;
    ArmExtremes extremes;
    extremes.maxErrorRadius = area.innerRadius;
    extremes.maxWeightedRadius = area.innerRadius;
    for (int i = 0; i <= steps; ++i) {
        const double radius =
            i == steps ? area.outerRadius
                       : area.innerRadius + (area.outerRadius - area.innerRadius) * i / steps;
        const double error = trackingErrorDegrees(arm, radius);
        const double weighted = weightedAt(arm, radius);
        if (std::fabs(error) > std::fabs(extremes.maxError)) {
            extremes.maxError = error;
            extremes.maxErrorRadius = radius;
        }
        if (std::fabs(weighted) > std::fabs(extremes.maxWeighted)) {
            extremes.maxWeighted = weighted;
            extremes.maxWeightedRadius = radius;
        }
    }
    return extremes;
}

ArmRow armRowAt(const Tonearm& arm, double revolutionsPerMinute, double radius, double peakVelocity,
                double equalisation) {
    ArmRow row;
    row.radius = radius;
    row.error = trackingErrorDegrees(arm, radius);
    row.weighted = weightedAt(arm, radius);
    row.grooveVelocity = grooveVelocityAt(radius, revolutionsPerMinute);
    row.h2 = predictedSecondHarmonicPercent(peakVelocity, row.grooveVelocity, row.error);
    row.h2Equalised = row.h2 * equalisation;
    return row;
}

std::vector<double> tableRadii(const PlayingArea& area, const std::vector<NullRadii>& nulls) {
    std::vector<double> radii{area.innerRadius, area.outerRadius};
    for (double radius = std::ceil(area.innerRadius / 5.0) * 5.0; radius < area.outerRadius;
         radius += 5.0) {
        radii.push_back(radius);
    }
    for (const NullRadii& null : nulls) {
        radii.push_back(null.inner);
        radii.push_back(null.outer);
    }
    std::sort(radii.begin(), radii.end());
    radii.erase(std::unique(radii.begin(), radii.end(),
                            [](double a, double b) { return std::fabs(a - b) < 0.005; }),
                radii.end());
    return radii;
}
