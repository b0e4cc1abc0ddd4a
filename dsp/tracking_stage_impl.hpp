#pragma once

// The interpolation pass's search, for the sources it is instantiated with: included where an
// instantiation is made, nowhere else.

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>

#include "dsp/extended.hpp"
#include "dsp/polyphase_kernel.hpp"
#include "dsp/tracking_stage.hpp"
#include "dsp/upsample_design.hpp"
#include "dsp/worker_pool.hpp"

// Skipping ahead. Let B be a double with |Δt_j| <= B for every j of a stretch. The corrected time
// is t_j = stored(nom_j − Δt_j), nom_j = ((j − 10447)·T)/144 in extended precision, and both
// roundings (to extended, then to double) are monotonic, so t_j <= stored(nom_j + B), the latter
// formed the same way. nom_j grows with j (a product with T > 0 and a quotient by 144, each
// rounded monotonically), so if stored(nom_J + B) <= t_out then every j of the stretch up to J
// has t_j <= t_out: the search would move past all of them, J included. J's value and corrected
// time are formed only if the crossing turns out to be J + 1, whose interpolation needs them; the
// search goes on at J + 1 without them. B follows from a bound M on |U_j| by the same roundings:
// |y| <= stored(M·a/32768), |p| <= stored(|tan|·|y|max), |Δt| <= stored(|p|max/|v|), each step
// monotonic in its operand. Ties are safe: a corrected time equal to t_out counts as reached
// either way. Where any of these is not finite, nothing is skipped and every index is formed.
// Where the source gives both components, the timing model bounds Δt from a bound on each (see
// stylus_timing.cpp), and the rest of the argument holds as it stands.

namespace tracking_search {

inline constexpr std::int64_t kStretch = 1024;
// Windows start small and grow while the search keeps needing them, up to the largest.
inline constexpr std::int64_t kWindow = 4096;
inline constexpr std::int64_t kLargestWindow = std::int64_t{1} << 17;
// Exact steps for one output after which the samples ahead are formed a window at a time.
inline constexpr std::int64_t kWindowAfter = 24;
// Samples one thread forms and estimates of a window.
inline constexpr std::int64_t kWindowPart = kTrackingFormCount;
// Outputs below which a block is not worth a second thread.
inline constexpr std::int64_t kSplitOutputs = 2048;

// A value read between two samples at the fraction f of the way from `before` to `after`:
// stored((after − before)·f + before), every operand extended, so that no difference is rounded
// to double on the way. Both components of a rigid tip are read with the same fraction.
inline double between(double before, double after, long double fraction) {
    const long double from = before;
    return stored((after - from) * fraction + from);
}
inline StylusSample between(const StylusSample& before, const StylusSample& after,
                            long double fraction) {
    return {between(before.mid, after.mid, fraction), between(before.side, after.side, fraction)};
}

// Outputs appended to a block, or to the two components' blocks.
inline void append(SampleBlock& output, double value) {
    output.push_back(value);
}
inline void append(StylusBlocks& output, const StylusSample& value) {
    output.mid.push_back(value.mid);
    output.side.push_back(value.side);
}
inline void appendZeros(SampleBlock& output, std::int64_t count) {
    output.insert(output.end(), static_cast<std::size_t>(count), 0.0);
}
inline void appendZeros(StylusBlocks& output, std::int64_t count) {
    appendZeros(output.mid, count);
    appendZeros(output.side, count);
}
inline void appendAll(SampleBlock& output, const SampleBlock& more) {
    output.insert(output.end(), more.begin(), more.end());
}
inline void appendAll(StylusBlocks& output, const StylusBlocks& more) {
    appendAll(output.mid, more.mid);
    appendAll(output.side, more.side);
}

}  // namespace tracking_search

template <HighRateSource Source>
typename TrackingStage<Source>::Timing TrackingStage<Source>::makeTiming(
    const TrackingSettings& settings) {
    const TimingModel lateral =
        settings.moving
            ? TimingModel(settings.fullScaleLateralAmplitude, settings.path, settings.direction)
            : TimingModel(settings.fullScaleLateralAmplitude, settings.geometry,
                          settings.direction);
    if constexpr (std::is_same_v<Timing, TimingModel>) {
        return lateral;
    } else {
        return Timing(lateral, settings.verticalSlope);
    }
}

template <HighRateSource Source>
TrackingStage<Source>::TrackingStage(const TrackingSettings& settings, Source& highRate)
    : timing_(makeTiming(settings)),
      highRate_(&highRate),
      threadCount_(settings.threadCount),
      formThreads_(settings.threadCount) {}

template <HighRateSource Source>
void TrackingStage<Source>::process(std::int64_t outputLimit, Output& output) {
    runSplitSearch(outputLimit, output);
    // The first index the pass may still read is the one before its start index.
    const std::int64_t firstRead = search_.index > 0 ? search_.index - 1 : 0;
    highRate_->releaseBefore(firstRead);
    timing_.releaseBefore(firstRead);
}

// Inline, so that a test whose own source runs the pass need not use them.
template <HighRateSource Source>
inline void TrackingStage<Source>::reserve(std::size_t rampCount) {
    window_.values.reserve(static_cast<std::size_t>(tracking_search::kLargestWindow));
    window_.estimates.reserve(static_cast<std::size_t>(tracking_search::kLargestWindow));
    timing_.reserveRamps(rampCount);
}

template <HighRateSource Source>
inline void TrackingStage<Source>::reset(const TrackingSettings& settings) {
    if constexpr (std::is_same_v<Timing, TimingModel>) {
        if (!settings.moving) {
            // Keeps the room reserved for changes of the disc.
            timing_.reset(settings.fullScaleLateralAmplitude, settings.geometry);
        } else {
            timing_ = makeTiming(settings);
        }
    } else {
        timing_ = makeTiming(settings);
    }
    finished_ = false;
    passLast_ = -1;
    search_ = Search();
    window_.begin = 0;
    window_.values.clear();
    window_.estimates.clear();
    window_.magnitude = 0.0;
    window_.next = 0;
    formed_ = Formed();
    bound_ = StretchBound();
    counts_ = Counts();
}

template <HighRateSource Source>
void TrackingStage<Source>::finish(std::int64_t readable, std::int64_t outputLimit,
                                   Output& output) {
    finished_ = true;
    passLast_ = readable - 1;
    process(outputLimit, output);
}

// Reading samples.

template <HighRateSource Source>
bool TrackingStage<Source>::inWindow(std::int64_t j) const {
    return j >= window_.begin &&
           j < window_.begin + static_cast<std::int64_t>(window_.values.size());
}

template <HighRateSource Source>
typename TrackingStage<Source>::Value TrackingStage<Source>::valueAt(std::int64_t j) const {
    return inWindow(j) ? window_.values[static_cast<std::size_t>(j - window_.begin)]
                       : highRate_->at(j);
}

// The value of index j, counted as formed unless a window already holds it.
template <HighRateSource Source>
typename TrackingStage<Source>::Value TrackingStage<Source>::formCounted(std::int64_t j) {
    if (!inWindow(j)) {
        ++counts_.formed;
    }
    return valueAt(j);
}

// Forms the value of index j, keeping it (and, once made, its corrected time) for the next look.
template <HighRateSource Source>
void TrackingStage<Source>::formIndexValue(std::int64_t j) {
    if (formed_.index == j) {
        return;
    }
    formed_.index = j;
    formed_.value = formCounted(j);
    formed_.timeKnown = false;
}

template <HighRateSource Source>
void TrackingStage<Source>::formIndex(std::int64_t j) {
    formIndexValue(j);
    if (!formed_.timeKnown) {
        formed_.time = timing_.correctedTime(formed_.value, j);
        formed_.timeKnown = true;
    }
}

// Makes the value and the corrected time of index − 1 exact where only the search's having
// passed over it is known.
template <HighRateSource Source>
void TrackingStage<Source>::makePreviousExact() {
    if (!search_.previousValueKnown) {
        search_.previousValue = formCounted(search_.index - 1);
        search_.previousValueKnown = true;
    }
    if (!search_.previousTimeKnown) {
        search_.previousTime = timing_.correctedTime(search_.previousValue, search_.index - 1);
        search_.previousTimeKnown = true;
    }
}

// Forms the samples from j on, as many as are ready up to a window, with their estimates; on
// several threads, each forming and estimating a part of the window.
template <HighRateSource Source>
void TrackingStage<Source>::formWindow(std::int64_t j) {
    using namespace tracking_search;
    // A window asked for right where the last one ended means the bound is not helping here.
    const bool following =
        j == window_.begin + static_cast<std::int64_t>(window_.values.size()) && j > 0;
    window_.next = following ? std::min(2 * window_.next, kLargestWindow) : kWindow;
    std::int64_t end = j + window_.next;
    if (finished_) {
        end = std::min(end, passLast_ + 1);
    }
    while (end > j + 1 && !highRate_->ready(end - 1)) {
        end = j + 1 + (end - j - 1) / 2;
    }
    const std::int64_t count = end - j;
    window_.begin = j;
    window_.values.resize(static_cast<std::size_t>(count));
    // Estimates hold only where the geometry is settled over the whole window.
    const bool estimable = timing_.estimableFrom(j);
    window_.estimates.resize(estimable ? static_cast<std::size_t>(count) : 0);
    counts_.formed += count;
    // Index differences stay far below 2^53, so they count exactly in doubles.
    const double firstOffset = static_cast<double>(j - kUpsampleAlignmentDelay);
    Value* values = window_.values.data();
    double* estimates = window_.estimates.data();
    // Each part notes its own range, merged once all are done: no thread waits on another.
    std::array<typename Timing::WindowRange, kLargestWindow / kWindowPart> parts{};
    runChunks(count, kWindowPart, count >= 2 * kWindowPart ? formThreads_ : 1,
              [&](std::int64_t begin, std::int64_t partEnd) {
                  for (std::int64_t from = begin; from < partEnd; from += kWindowPart) {
                      const std::int64_t to = std::min(partEnd, from + kWindowPart);
                      highRate_->form(j + from, to - from, values + from);
                      if (!estimable) {
                          continue;
                      }
                      const ExtendedPrecisionScope precision;
                      parts[static_cast<std::size_t>(from / kWindowPart)] =
                          timing_.estimateWindow(firstOffset, from, to, values, estimates);
                  }
              });
    typename Timing::WindowRange whole;
    for (const typename Timing::WindowRange& part : parts) {
        whole.include(part);
    }
    if (!estimable || whole.rangeLeft) {
        window_.estimates.clear();
        return;
    }
    window_.magnitude = timing_.windowMagnitude(firstOffset, count, whole);
}

// The search.

// The last index from which the search, looking for t_out, surely moves on; or −1. The bound
// is made for a stretch from the start index on and used again while the search stays in it.
template <HighRateSource Source>
std::int64_t TrackingStage<Source>::skipTarget(std::int64_t stretchEnd, long double outputTime) {
    const std::int64_t index = search_.index;
    if (index < bound_.first || index >= bound_.last) {
        const Value largest = highRate_->bound(index, stretchEnd);
        bound_.value = timing_.timingErrorBound(largest, index, stretchEnd);
        bound_.first = index;
        bound_.last = stretchEnd;
    }
    stretchEnd = bound_.last;
    const double bound = bound_.value;
    if (!std::isfinite(bound)) {
        return -1;
    }
    const double estimate = timing_.indexEstimate(outputTime, bound);
    if (!(estimate > static_cast<double>(index) + 2)) {
        return -1;
    }
    std::int64_t target =
        std::min<std::int64_t>(static_cast<std::int64_t>(estimate) - 1, stretchEnd);
    for (int tries = 0; tries < 4 && target > index; ++tries, --target) {
        if (stored(timing_.nominalTime(target) + bound) <= outputTime) {
            return target;
        }
    }
    return -1;
}

// Passes over the stretch that the timing-error bound proves the search would move past; false
// where it proves nothing.
template <HighRateSource Source>
bool TrackingStage<Source>::skipByBound(long double outputTime) {
    if (!timing_.boundsUsable() || search_.skipFailedFor == search_.nextOutput) {
        return false;
    }
    std::int64_t stretchEnd = search_.index + tracking_search::kStretch;
    if (finished_) {
        stretchEnd = std::min(stretchEnd, passLast_);
    }
    while (stretchEnd > search_.index && !highRate_->ready(stretchEnd)) {
        stretchEnd = search_.index + (stretchEnd - search_.index) / 2;
    }
    const std::int64_t target = skipTarget(stretchEnd, outputTime);
    if (target > search_.index) {
        // The target's value and time are formed only if the crossing follows it.
        counts_.skipped += target - search_.index;
        search_.previousValueKnown = false;
        search_.previousTimeKnown = false;
        search_.index = target + 1;
        return true;
    }
    search_.skipFailedFor = search_.nextOutput;
    return false;
}

// Forms a window where the search keeps needing exact steps, and passes over every index of it
// whose estimate is surely not later than the output instant, without its exact time; false
// where it passes over none.
template <HighRateSource Source>
bool TrackingStage<Source>::passOverWindow(long double outputTime) {
    if (search_.exactStepsOutput != search_.nextOutput) {
        search_.exactStepsOutput = search_.nextOutput;
        search_.exactSteps = 0;
    }
    const bool windowEnded =
        !window_.values.empty() &&
        search_.index == window_.begin + static_cast<std::int64_t>(window_.values.size());
    if (!inWindow(search_.index) &&
        (search_.exactSteps > tracking_search::kWindowAfter || windowEnded)) {
        formWindow(search_.index);
    }
    if (!inWindow(search_.index) || window_.estimates.empty() || formed_.index == search_.index) {
        return false;
    }
    const double roughOutput = stored(outputTime);
    const double surelyBefore =
        roughOutput - Timing::decisionMargin(window_.magnitude + std::fabs(roughOutput));
    const double* estimates = window_.estimates.data();
    const std::size_t first = static_cast<std::size_t>(search_.index - window_.begin);
    const std::size_t end = window_.estimates.size();
    std::size_t k = first;
    while (k + 4 <= end && estimates[k] < surelyBefore && estimates[k + 1] < surelyBefore &&
           estimates[k + 2] < surelyBefore && estimates[k + 3] < surelyBefore) {
        k += 4;
    }
    while (k < end && estimates[k] < surelyBefore) {
        ++k;
    }
    if (k == first) {
        return false;
    }
    search_.previousValue = window_.values[k - 1];
    search_.previousValueKnown = true;
    search_.previousTimeKnown = false;
    search_.index = window_.begin + static_cast<std::int64_t>(k);
    return true;
}

// One exact step: moves past the start index if its corrected time (or, where it decides, its
// estimate) is not later than the output instant; false at the crossing.
template <HighRateSource Source>
bool TrackingStage<Source>::stepPast(long double outputTime) {
    const std::int64_t j = search_.index;
    ++search_.exactSteps;
    formIndexValue(j);
    if (!formed_.timeKnown && timing_.surelyBefore(formed_.value, j, stored(outputTime))) {
        search_.previousValue = formed_.value;
        search_.previousValueKnown = true;
        search_.previousTimeKnown = false;
        ++search_.index;
        return true;
    }
    formIndex(j);
    if (outputTime >= static_cast<long double>(formed_.time)) {
        search_.previousTime = formed_.time;
        search_.previousTimeKnown = true;
        search_.previousValue = formed_.value;
        search_.previousValueKnown = true;
        ++search_.index;
        return true;
    }
    return false;
}

// The output at the crossing: linear between j − 1 and j, the fraction formed once.
template <HighRateSource Source>
typename TrackingStage<Source>::Value TrackingStage<Source>::interpolate(long double outputTime) {
    makePreviousExact();
    const long double previousTime = search_.previousTime;
    const long double time = formed_.time;
    const long double fraction = (outputTime - previousTime) / (time - previousTime);
    return tracking_search::between(search_.previousValue, formed_.value, fraction);
}

template <HighRateSource Source>
void TrackingStage<Source>::searchOutputs(std::int64_t outputLimit, Output& output) {
    while (search_.nextOutput < outputLimit) {
        if (finished_ && search_.index > passLast_) {
            // The search ran out: this output and every later one stay 0.
            tracking_search::appendZeros(output, outputLimit - search_.nextOutput);
            search_.nextOutput = outputLimit;
            return;
        }
        if (!highRate_->ready(search_.index)) {
            return;
        }
        const long double outputTime = timing_.outputTime(search_.nextOutput);
        if (skipByBound(outputTime) || passOverWindow(outputTime) || stepPast(outputTime)) {
            continue;
        }
        tracking_search::append(output, interpolate(outputTime));
        ++search_.nextOutput;
    }
}

template <HighRateSource Source>
void TrackingStage<Source>::runSearch(std::int64_t outputLimit, Output& output) {
    const ExtendedPrecisionScope precision;
    searchOutputs(outputLimit, output);
    // Between calls the state holds exact values only.
    makePreviousExact();
}

// The search split in two.

// Prepares this copy to start at output `middle` as if the search had moved past every index up
// to a guessed J; returns J, or −1 where no guess can be made.
template <HighRateSource Source>
std::int64_t TrackingStage<Source>::startSecondHalf(std::int64_t middle) {
    using tracking_search::kStretch;
    const long double outputTime = timing_.outputTime(middle);
    const std::int64_t nominal = kUpsampleFactor * middle + kUpsampleAlignmentDelay;
    const std::int64_t first = std::max(search_.index, nominal - kStretch);
    std::int64_t last = nominal + kStretch;
    while (last > first && !highRate_->ready(last)) {
        last = first + (last - first) / 2;
    }
    if (last <= first) {
        return -1;
    }
    const double bound = timing_.timingErrorBound(highRate_->bound(first, last), first, last);
    if (!std::isfinite(bound)) {
        return -1;
    }
    const double estimate = timing_.indexEstimate(outputTime, bound);
    if (!(estimate > static_cast<double>(first) + 2)) {
        return -1;
    }
    const std::int64_t guess =
        std::min<std::int64_t>(static_cast<std::int64_t>(estimate) - 2, last);
    if (guess <= first || stored(timing_.nominalTime(guess) + bound) > outputTime) {
        return -1;
    }
    formed_.index = -1;
    formIndex(guess);
    search_.previousTime = formed_.time;
    search_.previousTimeKnown = true;
    search_.previousValue = formed_.value;
    search_.previousValueKnown = true;
    search_.index = guess + 1;
    search_.nextOutput = middle;
    search_.skipFailedFor = -1;
    bound_.first = 0;
    bound_.last = -1;
    return guess;
}

// Whether the search that reached output `middle` in this state would, for that output, move past
// every index up to `guess` and so arrive where the second half started.
template <HighRateSource Source>
bool TrackingStage<Source>::joinsSecondHalf(std::int64_t middle, std::int64_t guess,
                                            double guessTime, const Value& guessValue) const {
    if (search_.nextOutput != middle || search_.index > guess + 1) {
        return false;
    }
    if (search_.index == guess + 1) {
        return search_.previousTime == guessTime && search_.previousValue == guessValue;
    }
    const long double outputTime = timing_.outputTime(middle);
    const double bound =
        timing_.timingErrorBound(highRate_->bound(search_.index, guess), search_.index, guess);
    return std::isfinite(bound) && stored(timing_.nominalTime(guess) + bound) <= outputTime;
}

// On two threads where the block is long enough: the second half of the outputs starts from a
// guess of where the search will be, made from the timing-error bound, and is kept only when the
// first half's end proves the guess right (the search would have moved past every index up to
// it); otherwise the first half goes on alone. The outputs are the same either way.
template <HighRateSource Source>
void TrackingStage<Source>::runSplitSearch(std::int64_t outputLimit, Output& output) {
    const std::int64_t remaining = outputLimit - search_.nextOutput;
    formThreads_ = threadCount_;
    if (threadCount_ < 2 || !timing_.boundsUsable() || remaining < tracking_search::kSplitOutputs) {
        runSearch(outputLimit, output);
        return;
    }
    const ExtendedPrecisionScope precision;
    const std::int64_t middle = search_.nextOutput + remaining / 2;
    const Counts countsBefore = counts_;
    TrackingStage second = *this;
    const std::int64_t guess = second.startSecondHalf(middle);
    if (guess < 0) {
        runSearch(outputLimit, output);
        return;
    }
    // Each half forms its windows on its own thread.
    formThreads_ = 1;
    second.formThreads_ = 1;
    const double guessTime = second.search_.previousTime;
    const Value guessValue = second.search_.previousValue;
    Output secondOutput;
    runChunks(2, 1, 2, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t half = begin; half < end; ++half) {
            if (half == 0) {
                runSearch(middle, output);
            } else {
                second.runSearch(outputLimit, secondOutput);
            }
        }
    });
    formThreads_ = threadCount_;
    second.formThreads_ = threadCount_;
    if (joinsSecondHalf(middle, guess, guessTime, guessValue)) {
        tracking_search::appendAll(output, secondOutput);
        // The second half started from the counts the first one started from.
        second.counts_.formed += counts_.formed - countsBefore.formed;
        second.counts_.skipped += counts_.skipped - countsBefore.skipped;
        second.counts_.halvesJoined = counts_.halvesJoined + 1;
        *this = std::move(second);
        return;
    }
    // The guess was wrong: the first half goes on alone, as if there had been no second.
    runSearch(outputLimit, output);
}
