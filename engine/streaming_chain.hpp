#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dsp/disc_parameters.hpp"
#include "dsp/groove_path.hpp"
#include "dsp/stylus_model.hpp"
#include "dsp/timing_model.hpp"
#include "dsp/tip_tracing.hpp"
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
    // For a caller that must take no memory while the chain runs (a plugin's audio thread): when
    // above 0, every buffer is made at set-up for pieces of at most this many frames pushed at a
    // time, each followed by pulling every frame ready, with the output trailing the input by at
    // most `reservedLagFrames` (see chainLagFrames). Run on one thread, such a chain takes no
    // memory, lock or thread while it runs; beyond these bounds its buffers grow as usual.
    std::int64_t reservedBlockFrames = 0;
    std::int64_t reservedLagFrames = 0;
    // How the tip reads the groove: the lateral component alone (the default), or both
    // components at the same shifted instants with the vertical tracking error added (the stylus
    // model, see dsp/stylus_model.hpp). A single channel has no side and runs the lateral model
    // whichever is chosen, unless the tip has a shape: then it is read as a groove with no
    // vertical modulation, both walls traced, and its mid is the output.
    PickupModel model = PickupModel::Lateral;
    StylusAngles stylus;
    // Play (what the pickup does to the cut signal) or Undo: every high-rate sample moved by the
    // opposite of the play's timing error, exactly (see TimingModel::correctedTime), so that a
    // played signal comes back as the one that was cut.
    TimingDirection direction = TimingDirection::Play;
    // The tip's shape, for the stylus model: both walls traced by a tip of this scanning radius
    // before the pass reads them (dsp/traced_high_rate.hpp). A point tip skips the tracing
    // entirely.
    StylusTip tip;
};

// Whether the tip's shape can be traced on the groove the settings describe (see
// tracedSettingsValid); the chain refuses to be set up otherwise. A message names the tip and
// says why not.
bool tipTraceable(const ChainSettings& settings, std::string& message);

// The most frames the output can trail the input by, for any piece sizes, when every timing error
// is at most `timingErrorBound` seconds: output i needs the high-rate samples up to the first index
// whose corrected time is later than i·T, which lies at most 10447 + 144·i + 144·bound·rate + 2
// (the alignment delay of the four filters, the timing error, a rounding), and high-rate index j
// is ready once the input frame ⌊j/144⌋ has been pushed. One frame more is kept as a margin.
std::int64_t chainLagFrames(int sampleRate, double timingErrorBound);

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

    // For a groove of one geometry: moves the disc (its speed, radius, amplitude and angle) to
    // `disc`, linearly in time, across the frames [fromFrame, fromFrame + rampFrames), so that a
    // control that moves is followed without a jump. `disc` holds from there on. False, with
    // nothing changed, on a moving side, for the stylus model reading both walls, where fromFrame
    // has already been pushed, where it lies before the end of the last change, or where too many
    // changes are still being played (a reserved chain has room for those of twice its lag).
    bool changeDisc(std::int64_t fromFrame, std::int64_t rampFrames, const DiscParameters& disc);
    // Back to the state just after set-up, with `disc` as the disc (its speed and amplitude only,
    // on a moving side), keeping every buffer (the stylus model's side path is made anew).
    void reset(const DiscParameters& disc);

    std::int64_t framesIn() const;
    std::int64_t framesOut() const;
    // The largest magnitude among the values pulled so far, left before right (0 for silence;
    // a value that is not a number never raises it).
    double peakMagnitude() const;

  private:
    struct State;  // the stages and the blocks between them
    std::unique_ptr<State> state_;
};
