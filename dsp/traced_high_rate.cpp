#include "dsp/traced_high_rate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "dsp/polyphase_kernel.hpp"
#include "dsp/tracking_stage.hpp"
#include "dsp/worker_pool.hpp"

// The bound. Let Ω_in and Ω_out bound the magnitudes of the inner and outer walls' samples over
// every footprint of [first, last], which all lie in [first − K, last + K], K the largest reach.
// A traced wall ŵ_i is the largest of its candidates stored(w_j − dip_j), each with dip_j ≥ 0, so
// each candidate is at most w_j ≤ Ω (rounding to nearest is monotonic); and the candidate of j = i
// is w_i − 0 = w_i ≥ −Ω. So |ŵ_i| ≤ Ω, NaN aside (a NaN sample makes Ω infinite). Then
// |ŵ_in ∓ ŵ_out| ≤ Ω_in + Ω_out, and the extended sum or difference, its product with 1/√2 and
// the storing are each monotonic in magnitude: |U_c| and |W_c| are at most
// stored((Ω_in + Ω_out)·(1/√2)), formed the same way. The traced samples never exceed the walls
// that make them: the tip lifts the wall it rests on toward its crests, never beyond them.

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The smallest spacing a side will give: at its smallest radius, with a margin for the rounding
// of the radius between its ends.
double smallestSpacing(const TracedSettings& s, double fixedSpacing) {
    if (!s.moving) {
        return fixedSpacing;
    }
    const double radius = std::min(s.path.fromRadius, s.path.toRadius);
    const double velocity = grooveVelocityAt(radius, s.path.revolutionsPerMinute);
    const double period = stored(1.0L / static_cast<long double>(s.path.sampleRate));
    return tracingSpacingUnits(velocity, period, s.fullScaleLateralAmplitude) * (1.0 - 0x1p-30);
}

TipTracingSettings unchecked(const TracedSettings& s) {
    const double fixedSpacing = tracingSpacingUnits(
        s.geometry.grooveVelocity, s.geometry.samplePeriod, s.fullScaleLateralAmplitude);
    TipTracingSettings tracing;
    tracing.radius = tracingRadiusUnits(s.tipRadius, s.fullScaleLateralAmplitude);
    tracing.smallestSpacing = smallestSpacing(s, fixedSpacing);
    return tracing;
}

TipTracingSettings windowSettings(const TracedSettings& s) {
    std::string message;
    if (!tracedSettingsValid(s, message)) {
        throw std::invalid_argument(message);
    }
    return unchecked(s);
}

double magnitudeOf(double value) {
    return std::isnan(value) ? kInfinity : std::fabs(value);
}

}  // namespace

bool tracedSettingsValid(const TracedSettings& settings, std::string& message) {
    if (!std::isfinite(settings.fullScaleLateralAmplitude) ||
        !(settings.fullScaleLateralAmplitude > 0.0)) {
        message = "the tip's shape needs a full-scale amplitude above 0";
        return false;
    }
    return tipTracingSettingsValid(unchecked(settings), message);
}

TracedHighRate::TracedHighRate(const TracedSettings& settings, StylusHighRate& upstream)
    : settings_(settings),
      upstream_(&upstream),
      inner_(windowSettings(settings)),
      outer_(windowSettings(settings)) {
    const TipTracingSettings tracing = windowSettings(settings);
    radius_ = tracing.radius;
    amplitude_ = settings.fullScaleLateralAmplitude;
    if (!settings.moving) {
        spacing_ = tracingSpacingUnits(settings.geometry.grooveVelocity,
                                       settings.geometry.samplePeriod, amplitude_);
    }
    largestReach_ = footprintReach(tracing.smallestSpacing, TipRadius(radius_));
}

double TracedHighRate::spacingAt(std::int64_t j) const {
    if (!settings_.moving) {
        return spacing_;
    }
    const GroovePath& path = settings_.path;
    const double velocity = grooveVelocityAt(grooveRadiusAt(path, j), path.revolutionsPerMinute);
    const double period = stored(1.0L / static_cast<long double>(path.sampleRate));
    return tracingSpacingUnits(velocity, period, amplitude_);
}

void TracedHighRate::take(std::int64_t available) {
    const int threads = std::min(settings_.threadCount, 2);
    while (end_ < available) {
        // A slab at a time, in two steps on up to two threads, each component and each wall on a
        // thread of its own, so that a stage is formed by one thread at a time and the helper is
        // woken twice a slab rather than for every few thousand samples.
        const std::int64_t count = std::min(available - end_, kSlab);
        const auto size = static_cast<std::size_t>(count);
        midTaken_.resize(size);
        sideTaken_.resize(size);
        runChunks(2, 1, threads, [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t part = begin; part < end; ++part) {
                if (part == 0) {
                    upstream_->mid().form(end_, count, midTaken_.data());
                } else {
                    upstream_->side().form(end_, count, sideTaken_.data());
                }
            }
        });
        const auto nextBlock =
            static_cast<std::size_t>((end_ + count - 1 - blockBase_) / kBlock + 1);
        innerLargest_.resize(nextBlock, 0.0);
        outerLargest_.resize(nextBlock, 0.0);
        runChunks(2, 1, threads, [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t part = begin; part < end; ++part) {
                if (part == 0) {
                    takeWall(inner_, innerLargest_, count,
                             [](double mid, double side) { return wallsOf(mid, side).inner; });
                } else {
                    takeWall(outer_, outerLargest_, count,
                             [](double mid, double side) { return wallsOf(mid, side).outer; });
                }
            }
        });
        end_ += count;
        upstream_->releaseBefore(end_);
    }
}

template <typename Wall>
void TracedHighRate::takeWall(TracingWindow& window, std::vector<double>& largest,
                              std::int64_t count, Wall wall) {
    // The wall of each sample as wallsOf forms it, straight into the window.
    double* values = window.open(count);
    const double* mid = midTaken_.data();
    const double* side = sideTaken_.data();
    {
        const ExtendedPrecisionScope precision;
        for (std::int64_t k = 0; k < count; ++k) {
            values[k] = wall(mid[k], side[k]);
        }
    }
    window.close();
    // The largest magnitude per block of kBlock samples (a NaN counts as infinity).
    for (std::int64_t n = end_; n < end_ + count;) {
        const std::int64_t blockEnd =
            std::min(end_ + count, (n - blockBase_) / kBlock * kBlock + blockBase_ + kBlock);
        double& block = largest[static_cast<std::size_t>((n - blockBase_) / kBlock)];
        double m = block;
        for (; n < blockEnd; ++n) {
            m = std::max(m, magnitudeOf(values[n - end_]));
        }
        block = m;
    }
}

void TracedHighRate::finish(std::int64_t readable) {
    take(readable);
    finished_ = true;
}

StylusSample TracedHighRate::traced(std::int64_t n) const {
    const double spacing = spacingAt(n);
    const double in = inner_.tracedAt(n, spacing, end_ - 1);
    const double out = outer_.tracedAt(n, spacing, end_ - 1);
    const GrooveDisplacement displacement = displacementOf(in, out);
    return {displacement.lateral, displacement.vertical};
}

StylusSample TracedHighRate::at(std::int64_t n) const {
    const std::lock_guard<std::mutex> lock(tracing_);
    return traced(n);
}

void TracedHighRate::form(std::int64_t first, std::int64_t count, StylusSample* out) const {
    const std::lock_guard<std::mutex> lock(tracing_);
    for (std::int64_t k = 0; k < count; ++k) {
        out[k] = traced(first + k);
    }
}

double TracedHighRate::wallMagnitude(const std::vector<double>& largest, std::int64_t first,
                                     std::int64_t last) const {
    double magnitude = 0.0;
    for (std::int64_t block = (first - blockBase_) / kBlock; block <= (last - blockBase_) / kBlock;
         ++block) {
        magnitude = std::max(magnitude, largest[static_cast<std::size_t>(block)]);
    }
    return magnitude;
}

StylusSample TracedHighRate::bound(std::int64_t first, std::int64_t last) const {
    const std::int64_t from = std::max<std::int64_t>(0, first - largestReach_);
    const std::int64_t to = std::min(end_ - 1, last + largestReach_);
    if (from < blockBase_ || to < from) {
        return {kInfinity, kInfinity};
    }
    const long double in = wallMagnitude(innerLargest_, from, to);
    const long double out = wallMagnitude(outerLargest_, from, to);
    const double both = stored((in + out) * kInverseSqrt2);
    return {both, both};
}

void TracedHighRate::releaseBefore(std::int64_t n) {
    const std::int64_t keep = n - largestReach_;
    inner_.releaseBefore(keep);
    outer_.releaseBefore(keep);
    const std::int64_t dead = (keep - blockBase_) / kBlock;
    if (dead > 0 && dead >= static_cast<std::int64_t>(innerLargest_.size()) - dead) {
        innerLargest_.erase(innerLargest_.begin(), innerLargest_.begin() + dead);
        outerLargest_.erase(outerLargest_.begin(), outerLargest_.begin() + dead);
        blockBase_ += dead * kBlock;
    }
}
