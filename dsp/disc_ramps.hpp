#pragma once

#include <cstdint>
#include <vector>

#include "dsp/disc_parameters.hpp"

// Changes of the disc parameters while a stream plays, for a player whose controls move: each
// change moves every parameter linearly in time, from the values in force before it to new ones,
// across a ramp of high-rate indices [first, end). Before the first ramp the first one's starting
// values hold, between two ramps the earlier one's final values, and from the last ramp's end on
// the latest values (which the caller keeps). The ramps follow one another and never overlap.
class DiscRamps {
  public:
    struct Ramp {
        std::int64_t first = 0;
        std::int64_t end = 0;
        DiscParameters from;
        DiscParameters to;
    };

    // Room for `capacity` ramps at a time, made now; adding one beyond that is refused.
    void reserve(std::size_t capacity);
    // Adds a ramp after the last one. False, with nothing changed, where it would start before
    // the last one's end, is empty or reversed, or where the room reserved is taken.
    bool add(const Ramp& ramp);
    // Lets go of the ramps that end at or before index j: no index before j is asked for again.
    void releaseBefore(std::int64_t j);
    void clear();

    bool empty() const { return from_ == ramps_.size(); }
    // The index from which on the latest values hold: the last ramp's end.
    std::int64_t settledFrom() const;
    // The parameters at index j, which must lie before settledFrom().
    DiscParameters at(std::int64_t j) const;
    // The ramps still held, oldest first.
    const Ramp* begin() const { return ramps_.data() + from_; }
    const Ramp* end() const { return ramps_.data() + ramps_.size(); }

  private:
    std::vector<Ramp> ramps_;  // from from_ on
    std::size_t from_ = 0;
    std::size_t capacity_ = 0;
};

// The parameters a fraction of the way from `from` to `to`, each moved linearly.
DiscParameters interpolateDisc(const DiscParameters& from, const DiscParameters& to,
                               double fraction);
