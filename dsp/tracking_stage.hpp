#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "dsp/block.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/groove_path.hpp"
#include "dsp/high_rate_source.hpp"
#include "dsp/stylus_high_rate.hpp"
#include "dsp/stylus_sample.hpp"
#include "dsp/stylus_timing.hpp"
#include "dsp/timing_model.hpp"
#include "dsp/traced_high_rate.hpp"
#include "dsp/upsample_stage.hpp"

// The most samples the pass asks its source to form at a time.
inline constexpr std::int64_t kTrackingFormCount = 8192;

struct TrackingSettings {
    double fullScaleLateralAmplitude = 0.0;
    GrooveGeometry geometry;  // of a groove at one radius
    // A side as it plays: when set, each index takes the tangent and velocity of its own radius
    // on `path`, and `geometry` is not used.
    bool moving = false;
    GroovePath path;
    int threadCount = 1;  // for forming windows of samples and for the two halves of a block
    // Δ = tan(vertical tracking angle) − tan(cutting angle), for a source that gives both groove
    // components (the stylus model); not used by the lateral one.
    long double verticalSlope = 0.0L;
    // Play, or Undo: the opposite moves, that turn a played signal back into the cut one.
    TimingDirection direction = TimingDirection::Play;
};

// What the pass reads and makes, by the value its source gives at an index: the lateral
// component alone, timed by its own displacement, or both components, timed by the two together
// and read at the same instants.
template <typename Value>
struct TrackingTraits;
template <>
struct TrackingTraits<double> {
    using Timing = TimingModel;
    using Output = SampleBlock;
};
template <>
struct TrackingTraits<StylusSample> {
    using Timing = StylusTimingModel;
    using Output = StylusBlocks;
};

// The interpolation pass as a stage of the chain: it reads the high-rate signal back at the
// input's instants along the time axis that the tracking error corrects. For output i, at
// t = i·T, the search moves its start index j on while the corrected time of j is not later
// than t, then interpolates between j − 1 and j. Only the samples the search looks at are formed:
// a bound on the timing error lets it pass over stretches it would surely move past, and double
// estimates of the corrected times decide most comparisons where the bound does not help. The
// outputs are those of the pass over the whole signal, bit for bit, whatever the blocks and the
// threads.
template <HighRateSource Source>
class TrackingStage {
  public:
    using Value = HighRateValue<Source>;
    using Timing = typename TrackingTraits<Value>::Timing;
    using Output = typename TrackingTraits<Value>::Output;

    TrackingStage(const TrackingSettings& settings, Source& highRate);

    // Makes outputs while the samples they need can be formed, appending them to `output`, up to
    // `outputLimit` outputs in all (the frames that have come in), and lets the source go of what
    // the pass will not read again.
    void process(std::int64_t outputLimit, Output& output);
    // The input has ended and the pass may read the source's first `readable` samples: makes
    // every output left up to `outputLimit`. Once the search has read past them all, every output
    // left is 0.
    void finish(std::int64_t readable, std::int64_t outputLimit, Output& output);

    // Makes every buffer the search can need up front, and room for `rampCount` changes of the
    // disc at a time, so that a stage run on one thread takes no memory while it runs.
    void reserve(std::size_t rampCount);
    // Moves a groove of one geometry to the disc `to` across the high-rate indices [first, end),
    // none of which may be ready yet (see TimingModel::changeDisc). The stylus model's timing
    // keeps the geometry it was set up with: false there.
    bool changeDisc(std::int64_t first, std::int64_t end, const DiscParameters& from,
                    const DiscParameters& to) {
        if constexpr (std::is_same_v<Timing, TimingModel>) {
            return timing_.changeDisc(first, end, from, to);
        } else {
            return false;
        }
    }
    // Back to the state just after set-up with `settings` (its thread count aside), keeping the
    // buffers and the room for ramps.
    void reset(const TrackingSettings& settings);

    // Samples formed, indices passed over by a bound, and blocks whose second half, run on a
    // thread of its own, was kept (for the bench and the tests).
    std::int64_t formed() const { return counts_.formed; }
    std::int64_t skipped() const { return counts_.skipped; }
    std::int64_t halvesJoined() const { return counts_.halvesJoined; }

  private:
    // Where the search stands: its start index j, the corrected time and value of j − 1 and the
    // next output. A flag is false while the search has passed over j − 1 without needing its
    // corrected time (an estimate or a bound decided), or its value (a bound decided).
    struct Search {
        std::int64_t index = 0;
        double previousTime = 0.0;  // 0.0 before any
        Value previousValue{};      // 0 before index 0
        bool previousTimeKnown = true;
        bool previousValueKnown = true;
        std::int64_t nextOutput = 0;
        std::int64_t skipFailedFor = -1;     // the output for which no skip was found
        std::int64_t exactStepsOutput = -1;  // the output whose exact steps are being counted
        std::int64_t exactSteps = 0;
    };
    // Where the bound does not help (strong distortion), the samples are formed a window at a
    // time side by side, with double estimates of their corrected times that decide most
    // comparisons without the exact value.
    struct Window {
        std::int64_t begin = 0;
        std::vector<Value> values;      // the samples of [begin, begin + size)
        std::vector<double> estimates;  // their estimated corrected times, or empty
        double magnitude = 0.0;         // a bound on |nominal time| + |timing error| there
        std::int64_t next = 0;          // how many samples the next window forms
    };
    // The last index formed, with its value and corrected time.
    struct Formed {
        std::int64_t index = -1;
        Value value{};
        double time = 0.0;
        bool timeKnown = false;
    };
    // The timing-error bound last made, and the stretch of indices it holds for.
    struct StretchBound {
        std::int64_t first = 0;
        std::int64_t last = -1;
        double value = 0.0;
    };
    struct Counts {
        std::int64_t formed = 0;
        std::int64_t skipped = 0;
        std::int64_t halvesJoined = 0;
    };

    void runSplitSearch(std::int64_t outputLimit, Output& output);
    void runSearch(std::int64_t outputLimit, Output& output);
    void searchOutputs(std::int64_t outputLimit, Output& output);
    // The steps of the search, each one place in its loop: they are made part of it, as a call
    // per step would cost a good part of the search's time.
    [[gnu::always_inline]] inline bool skipByBound(long double outputTime);
    [[gnu::always_inline]] inline std::int64_t skipTarget(std::int64_t stretchEnd,
                                                          long double outputTime);
    [[gnu::always_inline]] inline bool passOverWindow(long double outputTime);
    [[gnu::always_inline]] inline bool stepPast(long double outputTime);
    [[gnu::always_inline]] inline Value interpolate(long double outputTime);

    [[gnu::always_inline]] inline bool inWindow(std::int64_t j) const;
    [[gnu::always_inline]] inline Value valueAt(std::int64_t j) const;
    [[gnu::always_inline]] inline Value formCounted(std::int64_t j);
    [[gnu::always_inline]] inline void formIndexValue(std::int64_t j);
    [[gnu::always_inline]] inline void formIndex(std::int64_t j);
    void makePreviousExact();
    void formWindow(std::int64_t j);

    std::int64_t startSecondHalf(std::int64_t middle);
    bool joinsSecondHalf(std::int64_t middle, std::int64_t guess, double guessTime,
                         const Value& guessValue) const;
    static Timing makeTiming(const TrackingSettings& settings);

    Timing timing_;
    Source* highRate_;
    int threadCount_ = 1;
    int formThreads_ = 1;         // threads that form a window
    bool finished_ = false;       // the input has ended
    std::int64_t passLast_ = -1;  // then: the last index the pass may read
    Search search_;
    Window window_;
    Formed formed_;
    StretchBound bound_;
    Counts counts_;
};

// The stage as the chain runs it, over the last upsampling stage.
extern template class TrackingStage<UpsampleStage>;
// The stage as the stylus model runs it, over both components' last upsampling stages.
extern template class TrackingStage<StylusHighRate>;
// The same over the samples a tip of some size traces (dsp/traced_high_rate.hpp).
extern template class TrackingStage<TracedHighRate>;
