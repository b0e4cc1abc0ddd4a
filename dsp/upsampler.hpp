#pragma once

#include <span>
#include <vector>

#include "dsp/block.hpp"
#include "dsp/upsample_design.hpp"
#include "dsp/upsample_stage.hpp"

// The four upsampling stages in their order, as one stage of the chain: stages 1 to 3 make every
// output as soon as it is complete and hand it straight on as the next one's input, each carrying
// its tail from block to block; stage 4 only keeps its input, and its samples are formed where
// the interpolation pass asks for them, through highRate().
class Upsampler {
  public:
    // Missing taps count as zeros.
    Upsampler(const CoefficientSet& coefficients, int threadCount);

    // Takes a block of the filtered lateral component.
    void process(std::span<const double> input);
    // The input has ended: the tails of stages 1 to 3 run out into stage 4, whose every output
    // up to its full length may then be asked for.
    void finish();
    void reset();
    // Makes room up front for a stream pushed at most `blockFrames` input samples at a time whose
    // last stage is read at most `lagFrames` input samples behind the newest, and whose samples
    // are formed at most `formCount` at a time (see UpsampleStage::reserve).
    void reserve(std::int64_t blockFrames, std::int64_t lagFrames, std::int64_t formCount);

    // The last stage, whose outputs are the high-rate signal.
    UpsampleStage& highRate() { return stages_.back(); }
    const UpsampleStage& highRate() const { return stages_.back(); }

  private:
    std::vector<UpsampleStage> stages_;
};

// An upper bound on |output| over the largest |input| of the four stages together: the largest
// sum of |r| over one of the 144 phases of their joint impulse response r.
double upsamplerGainBound(const CoefficientSet& coefficients);
