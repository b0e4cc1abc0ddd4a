#include "tests/reference/reference_tip_tracing.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "dsp/tip_tracing.hpp"

std::vector<double> referenceTraceWall(const std::vector<double>& wall,
                                       const std::vector<double>& spacing, double radius) {
    const TipRadius tip(radius);
    const auto n = static_cast<std::int64_t>(wall.size());
    std::vector<double> traced(wall.size());
    for (std::int64_t i = 0; i < n; ++i) {
        const double dx = spacing[static_cast<std::size_t>(i)];
        double best = -std::numeric_limits<double>::infinity();
        bool anyNumber = false;
        for (std::int64_t k = 0; insideFootprint(static_cast<double>(k), dx, tip); ++k) {
            const double dip = tipDip(static_cast<double>(k), dx, tip);
            const auto consider = [&](std::int64_t j) {
                if (j < 0 || j >= n) {
                    return;
                }
                const double value = wall[static_cast<std::size_t>(j)];
                if (std::isnan(value)) {
                    return;
                }
                anyNumber = true;
                const double candidate = tracingCandidate(value, dip);
                if (candidate > best) {
                    best = candidate;
                }
            };
            consider(i - k);
            if (k > 0) {
                consider(i + k);
            }
            if (i - k < 0 && i + k >= n) {
                break;
            }
        }
        traced[static_cast<std::size_t>(i)] =
            anyNumber ? tracedFromLargest(best) : std::numeric_limits<double>::quiet_NaN();
    }
    return traced;
}
