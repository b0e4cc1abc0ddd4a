#pragma once

#include <cstdint>
#include <memory>

#include "dsp/disc_parameters.hpp"
#include "dsp/groove_path.hpp"
#include "dsp/stylus_model.hpp"
#include "dsp/upsample_design.hpp"

// What the chain needs to know before the first frame.
struct ChainSettings {
    int sampleRate = 44100;
    int channelCount = 2;  // 2: left and right, split into mid and side; 1: the lateral alone
    DiscParameters disc;
    const CoefficientSet* coefficients = nullptr;
    int threadCount = 1;  // for every stage that runs on several threads
    // A side as it plays: when set, the radius and the tracking error follow `path` and the
    // disc's radius and angle are not used (its speed and amplitude are).
    bool moving = false;
    GroovePath path;
    // How the tip reads the groove: the lateral component alone (the default), or both
    // components at the same shifted instants with the vertical tracking error added (the stylus
    // model, see dsp/stylus_model.hpp). A single channel has no side and runs the lateral model
    // whichever is chosen.
    PickupModel model = PickupModel::Lateral;
    StylusAngles stylus;
};

// The signal chain as a stream: frames go in a block at a time, in the units of 16-bit sample
// values (32768 is full scale), interleaved, and come out the same way, unscaled and not yet
// dithered, as soon as the chain has them. The output has exactly as many frames as the input,
// and its values are those of the whole-signal steps, bit for bit, whatever the block sizes.
class StreamingChain {
  public:
    explicit StreamingChain(const ChainSettings& settings);
    ~StreamingChain();
    StreamingChain(const StreamingChain&) = delete;
    StreamingChain& operator=(const StreamingChain&) = delete;

    // Takes `frameCount` frames of channelCount values each.
    void pushFrames(const double* samples, std::int64_t frameCount);
    // No more input: the filters' tails run out and every remaining output frame is made.
    void finish();
    // Moves up to `maxFrames` finished frames to `output`; returns how many.
    std::int64_t pullFrames(double* output, std::int64_t maxFrames);

    std::int64_t framesIn() const;
    std::int64_t framesOut() const;
    // The largest magnitude among the values pulled so far, left before right (0 for silence;
    // a value that is not a number never raises it).
    double peakMagnitude() const;

  private:
    struct State;  // the stages and the blocks between them
    std::unique_ptr<State> state_;
};
