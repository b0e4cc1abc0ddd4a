#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/extended.hpp"
#include "dsp/stylus_sample.hpp"
#include "dsp/timing_model.hpp"
#include "dsp/upsample_design.hpp"

// How the interpolation pass times the high-rate samples when one rigid tip reads both groove
// components (see stylus_model.hpp). The corrected time of index j with mid value U and side
// value W is
//   y = stored(U·a/32768), p = stored(tan·y)      the lateral model's, unchanged
//   z = stored(W·a/32768), q = stored(Δ·z)
//   Δt = stored((p − q)/v)                        the difference in extended precision
//   t_j = stored(nominal − Δt)
// where tan and v are those of j's radius, as the lateral model takes them, and Δ is constant.
// With W = 0, q is ±0 and p − q is p but for the sign of a zero difference; Δt is then the
// lateral model's stored(p/v) or its zero of the other sign, and since the nominal time is never
// −0, t_j is the lateral model's exactly.
//
// Undo (the lateral model's direction, see TimingModel::correctedTime) negates Δ with the
// tangent: p and q are both negated exactly, so is their difference p − q, rounded
// symmetrically, and Δt_undo = −Δt_play at every index, as for the lateral model.
//
// The estimates and bounds are the lateral model's, extended to the second component (proofs in
// stylus_timing.cpp).
class StylusTimingModel : private TimingModel {
  public:
    // The lateral model's timing (for a groove of one geometry or a side as it plays, in its
    // direction) and Δ = tan(vertical tracking angle) − tan(cutting angle), negated for Undo.
    StylusTimingModel(const TimingModel& lateral, long double slopeDifference);

    using TimingModel::boundsUsable;
    using TimingModel::decisionMargin;
    using TimingModel::estimable;
    using TimingModel::estimableFrom;
    using TimingModel::indexEstimate;
    using TimingModel::nominalTime;
    using TimingModel::outputTime;
    using TimingModel::releaseBefore;
    using TimingModel::reserveRamps;

    double correctedTime(StylusSample value, std::int64_t j) const {
        const LocalGeometry local = localGeometry(j);
        const double shift = stored(local.tangent * displacement(value.mid, local.amplitude));
        const double lift = stored(slope_ * displacement(value.side, local.amplitude));
        const long double difference = static_cast<long double>(shift) - lift;
        const double timingError = stored(difference / local.velocity);
        return stored(nominalTime(j) - timingError);
    }

    // The bound on |Δt| over the stretch [first, last] whose mid and side samples are at most
    // `largest.mid` and `largest.side` in magnitude, or infinity.
    double timingErrorBound(StylusSample largest, std::int64_t first, std::int64_t last) const;

    // Whether the estimate of the corrected time of `value` at index j surely lies before the
    // output instant `roughOutput`. The margin is taken on |U·k_y| + |W·k_z|, never on their
    // difference, which may cancel.
    bool surelyBefore(StylusSample value, std::int64_t j, double roughOutput) const {
        if (!estimableFrom(j) || !(std::fabs(value.mid) <= kSampleMagnitudeHigh) ||
            !(std::fabs(value.side) <= kSampleMagnitudeHigh)) {
            return false;
        }
        const double nominal = static_cast<double>(j - kUpsampleAlignmentDelay) * highRatePeriod_;
        const double shift = value.mid * shiftPerSample_;
        const double lift = value.side * liftPerSample_;
        const double margin = decisionMargin(std::fabs(nominal) + std::fabs(shift) +
                                             std::fabs(lift) + std::fabs(roughOutput));
        return nominal - (shift - lift) < roughOutput - margin;
    }

    // The estimates of a window's elements [begin, end), as the lateral model's: the largest
    // magnitude of each component and whether any value left the estimates' range.
    struct WindowRange {
        double largestMid = 0.0;
        double largestSide = 0.0;
        bool rangeLeft = false;
        void include(const WindowRange& part) {
            largestMid = std::max(largestMid, part.largestMid);
            largestSide = std::max(largestSide, part.largestSide);
            rangeLeft = rangeLeft || part.rangeLeft;
        }
    };
    WindowRange estimateWindow(double firstOffset, std::int64_t begin, std::int64_t end,
                               const StylusSample* values, double* estimates) const;
    // A bound on |nominal time| + |U·k_y| + |W·k_z| over a window of `count` estimated values.
    double windowMagnitude(double firstOffset, std::int64_t count, const WindowRange& range) const;

  private:
    long double slope_ = 0.0L;    // Δ, directed as the tangent
    double liftPerSample_ = 0.0;  // Δ a / (32768 v), for estimates only
};
