#pragma once

#include <cstddef>
#include <span>

#include "dsp/block.hpp"

// Left and right into mid and side, as a stage of the chain: interleaved frames in, the mid
// component (L + R) / 2, which carries the lateral modulation, and the side component (L − R) / 2
// out. Both halves are formed in extended precision and stored. A single channel is the lateral
// component itself and has no side.
class MidSideSplit {
  public:
    explicit MidSideSplit(int channelCount);

    // Appends one mid value, and for two channels one side value, for every frame.
    void process(std::span<const double> frames, SampleBlock& mid, SampleBlock& side);
    // Every output is made with its input: nothing remains to be given.
    void finish(SampleBlock& mid, SampleBlock& side);

  private:
    int channelCount_;
};

// Mid and side back into left and right: L = S + M and R = M − S in extended precision, each
// stored. The two components may come back at different times; each value waits here until the
// other of its frame has come.
class LeftRightJoin {
  public:
    explicit LeftRightJoin(int channelCount);

    // Takes lateral and side values and appends every frame that now has both.
    void process(std::span<const double> lateral, std::span<const double> side,
                 SampleBlock& frames);
    // The frames have all been given once both components have ended: nothing remains.
    void finish(SampleBlock& frames);
    void reset();
    // Room for `count` waiting values of each component, made now.
    void reserve(std::size_t count);

  private:
    int channelCount_;
    SampleBlock lateral_;  // waiting values, from lateralFrom_ on
    SampleBlock side_;     // waiting values, from sideFrom_ on
    std::size_t lateralFrom_ = 0;
    std::size_t sideFrom_ = 0;
};
