#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "dsp/disc_ramps.hpp"
#include "dsp/extended.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/groove_path.hpp"
#include "dsp/upsample_design.hpp"

// Which way the pass moves the samples. Play moves each by the timing error its value gives, as
// the pickup plays the groove; Undo moves it by exactly the opposite, which turns a played signal
// back into the one that was cut (see correctedTime).
enum class TimingDirection { Play, Undo };

// How the interpolation pass times the high-rate samples: the nominal time of index j, its time
// corrected by the timing error y·tan α / v that its value gives, double estimates of that time,
// and bounds on the error over a stretch. Fixed at set-up, for a groove of one geometry or for a
// side as it plays, where each index takes the tangent and velocity of its own radius. A groove
// of one geometry may change it while it plays: from a given index on, across a ramp, each index
// then takes the amplitude, tangent and velocity of the disc parameters moved that far.
class TimingModel {
  public:
    TimingModel(double fullScaleLateralAmplitude, const GrooveGeometry& geometry,
                TimingDirection direction = TimingDirection::Play);
    TimingModel(double fullScaleLateralAmplitude, const GroovePath& path,
                TimingDirection direction = TimingDirection::Play);

    // The instant of output i: i·T in extended precision.
    long double outputTime(std::int64_t i) const {
        return static_cast<long double>(samplePeriod_) * i;
    }
    // ((j − 10447)·T)/144 in extended precision.
    long double nominalTime(std::int64_t j) const {
        return static_cast<long double>(j - kUpsampleAlignmentDelay) * samplePeriod_ /
               kUpsampleFactor;
    }
    // stored(nominal − stored(stored(tan·stored(value·a/32768))/v)).
    //
    // Undo takes −tan in place of tan at every index. Rounding to nearest is symmetric, so
    // stored(−tan·y) = −stored(tan·y) and stored(−p/v) = −stored(p/v): the timing error is
    // negated exactly, Δt_undo(value, j) = −Δt_play(value, j) (a zero keeps its sign, which
    // nominal − 0 does not see), and t_j = stored(nominal + Δt_play). Why that undoes the play:
    // playing moves a cut sample of value x from its nominal instant τ to τ − Δt(x) and keeps its
    // value, so a played sample of value p at instant t was cut at t + Δt(p), which is where
    // Undo puts it. Reading the moved samples back at the output instants, as the play does,
    // gives the cut signal, but for the interpolation between the high-rate samples and for the
    // geometry, which Undo takes at the played instant and the play at the cut one: they lie
    // Δt apart, microseconds, over which an arm's tangent and the groove velocity change by
    // parts in 10^9.
    double correctedTime(double value, std::int64_t j) const {
        const LocalGeometry local = localGeometry(j);
        const double shift = stored(local.tangent * displacement(value, local.amplitude));
        const double timingError = stored(shift / local.velocity);
        return stored(nominalTime(j) - timingError);
    }

    // Moves a groove of one geometry from the disc `from` (the one in force) to `to` across the
    // indices [first, end); `to` holds from `end` on. No index from `first` on may have been read.
    // False, with nothing changed, on a moving side, for a ramp that starts before the last one
    // ends, or where the room reserved for ramps is taken.
    bool changeDisc(std::int64_t first, std::int64_t end, const DiscParameters& from,
                    const DiscParameters& to);
    // Room for `count` ramps at a time, made now.
    void reserveRamps(std::size_t count) { ramps_.reserve(count); }
    // No index before j will be asked for again: the ramps that end there are let go.
    void releaseBefore(std::int64_t j);
    // Back to a groove of one geometry with no ramp, keeping the room reserved.
    void reset(double fullScaleLateralAmplitude, const GrooveGeometry& geometry);

    // Whether bounds on the timing error may be used to skip indices.
    bool boundsUsable() const { return boundsUsable_; }
    // The bound on |Δt| over the stretch [first, last] whose samples are at most `largest` in
    // magnitude, or infinity.
    double timingErrorBound(double largest, std::int64_t first, std::int64_t last) const;
    // The index from which on, by the bound, the search surely moves past the output instant;
    // a first guess only, to be checked with nominalTime.
    double indexEstimate(long double outputTime, double bound) const {
        return (static_cast<double>(outputTime) - bound) / highRatePeriod_ +
               kUpsampleAlignmentDelay;
    }

    // Whether the parameters lie in the range the estimates' error bound holds for.
    bool estimable() const { return estimable_; }
    // The same for every index from j on: they must also have the settled geometry.
    bool estimableFrom(std::int64_t j) const { return estimable_ && j >= settledFrom_; }
    // How far an estimate must lie from what it is compared with, for magnitudes of `magnitude`
    // on both sides together, to decide the comparison.
    static double decisionMargin(double magnitude) {
        return magnitude * kDecisionMargin + kDecisionFloor;
    }
    // Whether the estimate of value's corrected time at index j surely lies before the output
    // instant `roughOutput`.
    bool surelyBefore(double value, std::int64_t j, double roughOutput) const {
        if (!estimable_ || j < settledFrom_ || !(std::fabs(value) <= kSampleMagnitudeHigh)) {
            return false;
        }
        const double nominal = static_cast<double>(j - kUpsampleAlignmentDelay) * highRatePeriod_;
        const double shift = value * shiftPerSample_;
        const double margin =
            decisionMargin(std::fabs(nominal) + std::fabs(shift) + std::fabs(roughOutput));
        return nominal - shift < roughOutput - margin;
    }

    // The estimates of a window's elements [begin, end), whose first element has the index
    // offset `firstOffset` (j − 10447 as a double): the largest magnitude among the values and
    // whether any left the estimates' range (a NaN counts as out of range).
    struct WindowRange {
        double largest = 0.0;
        bool rangeLeft = false;
        // Takes in the range of another part of the same window.
        void include(const WindowRange& part) {
            largest = std::max(largest, part.largest);
            rangeLeft = rangeLeft || part.rangeLeft;
        }
    };
    WindowRange estimateWindow(double firstOffset, std::int64_t begin, std::int64_t end,
                               const double* values, double* estimates) const;
    // A bound on |nominal time| + |timing error| over a window of `count` estimated values from
    // index offset `firstOffset`, whose range estimateWindow found.
    double windowMagnitude(double firstOffset, std::int64_t count, const WindowRange& range) const;

  protected:
    // The tracking tangent and the groove velocity at index j.
    struct LocalGeometry {
        long double amplitude;
        long double tangent;
        long double velocity;
    };
    // The full-scale amplitude, the tracking tangent and the groove velocity at index j.
    LocalGeometry localGeometry(std::int64_t j) const {
        if (moving_) {
            const GrooveGeometry geometry = grooveGeometryAt(path_, j);
            return {amplitude_, directed(geometry.trackingTangent), geometry.grooveVelocity};
        }
        if (j < settledFrom_) {
            LocalGeometry local{};
            rampAt(j, local.amplitude, local.tangent, local.velocity);
            return local;
        }
        return {amplitude_, tangent_, velocity_};
    }
    // stored(value·a/32768): the displacement of a sample. Dividing by 32768 = 2^15 is exact in
    // the extended range, so it is a multiplication.
    static double displacement(double value, long double amplitude) {
        return stored(value * amplitude * 0x1p-15L);
    }
    // Upper bounds on |a| and |tan| and a lower bound on |v| over the indices [first, last];
    // false where the velocity may reach 0 or a bound is not finite.
    bool stretchGeometry(std::int64_t first, std::int64_t last, long double& amplitude,
                         long double& tangent, long double& velocity) const;
    // Whether an extended parameter lies in the range the estimates' error bound holds for.
    static bool estimableParameter(long double value);

    // The estimates' range and margins: see timing_model.cpp.
    static constexpr double kSampleMagnitudeHigh = 0x1p300;
    static constexpr double kDecisionMargin = 0x1p-44;
    static constexpr double kDecisionFloor = 0x1p-600;

    void settle(double fullScaleLateralAmplitude, const GrooveGeometry& geometry);
    // The tracking tangent as this direction takes it: negated for Undo.
    long double directed(long double tangent) const { return undo_ ? -tangent : tangent; }
    void rampAt(std::int64_t j, long double& amplitude, long double& tangent,
                long double& velocity) const;
    void boundRamps();

    bool undo_ = false;  // TimingDirection::Undo: every tangent negated, as held
    long double amplitude_ = 0.0L;
    long double tangent_ = 0.0L;  // directed
    double velocity_ = 0.0;
    double samplePeriod_ = 0.0;
    double highRatePeriod_ = 0.0;  // T / 144, for estimates only
    bool boundsUsable_ = false;
    bool moving_ = false;  // the tangent and velocity follow `path_` from index to index
    GroovePath path_;
    bool estimable_ = false;
    double shiftPerSample_ = 0.0;  // tan a / (32768 v), for estimates only
    // Changes of the disc while it plays: the geometry above holds from settledFrom_ on, the
    // ramps before it. Over the ramps, |a| and |tan| are at most, and |v| at least, these.
    DiscRamps ramps_;
    std::int64_t settledFrom_ = std::numeric_limits<std::int64_t>::min();
    long double rampAmplitude_ = 0.0L;
    long double rampTangent_ = 0.0L;
    long double rampVelocity_ = 0.0L;
};
