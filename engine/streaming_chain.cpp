#include "engine/streaming_chain.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "dsp/block.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/mid_side.hpp"
#include "dsp/polyphase_kernel.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/stylus_high_rate.hpp"
#include "dsp/stylus_model.hpp"
#include "dsp/traced_high_rate.hpp"
#include "dsp/tracking_stage.hpp"
#include "dsp/upsampler.hpp"
#include "dsp/worker_pool.hpp"

// The chain is its stages in their order, each set up once and then run a block at a time; every
// stage keeps its state between blocks, so the blocks can be of any size. A stage joins the chain
// in the list below, where it is set up (the constructor), where the blocks pass through it
// (pushPiece and drain) and where it is finished (finish), always in this order.

namespace {

// Input is taken in pieces of at most this many frames, which bounds every buffer in between.
constexpr std::int64_t kPieceFrames = 4096;

TrackingSettings trackingSettings(const ChainSettings& settings) {
    TrackingSettings tracking;
    tracking.fullScaleLateralAmplitude = settings.disc.fullScaleLateralAmplitude;
    tracking.threadCount = settings.threadCount;
    tracking.verticalSlope = verticalSlopeDifference(settings.stylus);
    tracking.direction = settings.direction;
    if (settings.moving) {
        tracking.moving = true;
        tracking.path = settings.path;
        tracking.path.revolutionsPerMinute = settings.disc.revolutionsPerMinute;
        tracking.path.sampleRate = settings.sampleRate;
    } else {
        tracking.geometry = deriveGrooveGeometry(settings.disc, settings.sampleRate);
    }
    return tracking;
}

// The stylus model reads both walls of a stereo groove; a single channel is a groove with no
// vertical modulation, which only a tip with a shape reads otherwise than the lateral model.
bool readsBothWalls(const ChainSettings& settings) {
    return settings.model == PickupModel::Stylus &&
           (settings.channelCount != 1 || !settings.tip.point());
}

// Threads for each upsampler's pushed stages. Where both components are upsampled and there are
// threads for both, each component's stages run on one thread beside the other's, which costs
// less waiting than sharing every block's rows.
int pushThreads(const ChainSettings& settings) {
    return readsBothWalls(settings) && settings.threadCount >= 2 ? 1 : settings.threadCount;
}

const CoefficientSet& tapsOf(const ChainSettings& settings) {
    static const CoefficientSet none;
    return settings.coefficients != nullptr ? *settings.coefficients : none;
}

TracedSettings tracedSettings(const ChainSettings& settings) {
    const TrackingSettings tracking = trackingSettings(settings);
    TracedSettings traced;
    traced.tipRadius = settings.tip.tracingRadiusMm();
    traced.fullScaleLateralAmplitude = tracking.fullScaleLateralAmplitude;
    traced.geometry = tracking.geometry;
    traced.moving = tracking.moving;
    traced.path = tracking.path;
    traced.threadCount = settings.threadCount;
    return traced;
}

// Whether a tip with a shape traces the walls: a groove cut with no amplitude has none to trace.
bool tracesTheTip(const ChainSettings& settings) {
    return !settings.tip.point() && settings.disc.fullScaleLateralAmplitude != 0.0;
}

// The tip's shape between the high-rate samples and the pass: the walls traced by the tip, then
// read where the arm puts it.
struct TracedPath {
    TracedPath(const ChainSettings& settings, StylusHighRate& upstream)
        : highRate(tracedSettings(settings), upstream), tracking(onOneThread(settings), highRate) {}

    // The traced samples are formed one at a time, each from the last one's place in its
    // footprint and with the dips of its spacing: two halves of a block interleaving there would
    // wait on each other and undo both. The pass runs on one thread; the upstream stages and the
    // forming of both components keep the chain's threads.
    static TrackingSettings onOneThread(const ChainSettings& settings) {
        TrackingSettings tracking = trackingSettings(settings);
        tracking.threadCount = 1;
        return tracking;
    }

    TracedHighRate highRate;
    TrackingStage<TracedHighRate> tracking;
};

// The stages the stylus model adds: the side component takes the lateral one's way through its
// own recording filter and upsampler, the pass reads both components at the same instants (as a
// tip of some size traces them, where it is not a point), and the side comes back through its
// own inverse filter.
struct SidePath {
    SidePath(const ChainSettings& settings, UpsampleStage& midHighRate)
        : filter(settings.sampleRate, LateralDirection::Recording),
          upsampler(tapsOf(settings), pushThreads(settings)),
          highRate(midHighRate, upsampler.highRate()),
          tracking(trackingSettings(settings), highRate),
          inverse(settings.sampleRate, LateralDirection::Playback) {
        if (tracesTheTip(settings)) {
            traced = std::make_unique<TracedPath>(settings, highRate);
        }
    }

    // The pass over what has come in, through the tip where it has a shape.
    void process(std::int64_t outputLimit, UpsampleStage& midHighRate) {
        if (traced) {
            traced->highRate.take(
                std::min(midHighRate.stuffedLength(), upsampler.highRate().stuffedLength()));
            traced->tracking.process(outputLimit, distorted);
        } else {
            tracking.process(outputLimit, distorted);
        }
    }
    void finish(std::int64_t readable, std::int64_t outputLimit) {
        if (traced) {
            traced->highRate.finish(readable);
            traced->tracking.finish(readable, outputLimit, distorted);
        } else {
            tracking.finish(readable, outputLimit, distorted);
        }
    }

    LateralFilter filter;
    Upsampler upsampler;
    StylusHighRate highRate;  // both components' last stages as one source
    TrackingStage<StylusHighRate> tracking;
    std::unique_ptr<TracedPath> traced;  // null for a point tip
    LateralFilter inverse;

    SampleBlock filtered;
    StylusBlocks distorted;
    SampleBlock restored;
};

}  // namespace

struct StreamingChain::State {
    explicit State(const ChainSettings& settings)
        : settings(settings),
          channelCount(settings.channelCount == 1 ? 1 : 2),
          threadCount(settings.threadCount),
          split(channelCount),
          filter(settings.sampleRate, LateralDirection::Recording),
          upsampler(tapsOf(settings), pushThreads(settings)),
          tracking(trackingSettings(settings), upsampler.highRate()),
          inverse(settings.sampleRate, LateralDirection::Playback),
          join(channelCount) {
        if (readsBothWalls(settings)) {
            sidePath = std::make_unique<SidePath>(settings, upsampler.highRate());
        }
        if (settings.reservedBlockFrames > 0) {
            reserve(settings.reservedBlockFrames,
                    std::max<std::int64_t>(settings.reservedLagFrames, 0));
        }
    }

    void reserve(std::int64_t block, std::int64_t lag);
    void pushPiece(const double* samples, std::int64_t frames);
    void drain(std::span<const double> sideValues);
    void finish();
    void finishSidePath();
    // Runs the two, on two threads where the chain has them.
    template <typename Mid, typename Side>
    void runBoth(Mid&& mid, Side&& side) {
        if (threadCount < 2) {
            mid();
            side();
            return;
        }
        runChunks(2, 1, 2, [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t k = begin; k < end; ++k) {
                if (k == 0) {
                    mid();
                } else {
                    side();
                }
            }
        });
    }

    ChainSettings settings;  // as set up, the disc as it now is
    int channelCount;
    int threadCount;

    // The stages, in their order.
    MidSideSplit split;                     // left and right into mid (lateral) and side
    LateralFilter filter;                   // the lateral component into groove displacement
    Upsampler upsampler;                    // to 144 times the rate; the last stage on demand
    TrackingStage<UpsampleStage> tracking;  // read back along the corrected time axis
    LateralFilter inverse;                  // groove displacement back into velocity
    LeftRightJoin join;                     // with the side again, into left and right
    // The stylus model's: the side read with the lateral component, which then takes the
    // stages above but for the pass; null for the lateral model.
    std::unique_ptr<SidePath> sidePath;

    // The blocks between them.
    SampleBlock lateral;
    SampleBlock side;
    SampleBlock filtered;
    SampleBlock distorted;
    SampleBlock restored;
    SampleBlock ready;  // finished output values, from readyFrom on
    std::size_t readyFrom = 0;

    std::int64_t framesIn = 0;
    std::int64_t framesOut = 0;
    double peak = 0.0;
    bool finished = false;
};

// Room for the largest blocks a piece of `block` frames can make: the pass makes at most the
// frames it lags by and the new ones, the join holds the side values of those, and the output
// waits until it is pulled.
void StreamingChain::State::reserve(std::int64_t block, std::int64_t lag) {
    block = std::min(block, kPieceFrames);
    const auto frames = static_cast<std::size_t>(block + lag);
    const auto channels = static_cast<std::size_t>(channelCount);
    lateral.reserve(static_cast<std::size_t>(block));
    side.reserve(static_cast<std::size_t>(block));
    filtered.reserve(static_cast<std::size_t>(block));
    distorted.reserve(frames);
    restored.reserve(frames);
    ready.reserve(2 * frames * channels);
    join.reserve(2 * frames + static_cast<std::size_t>(block));
    upsampler.reserve(block, lag, kTrackingFormCount);
    // A change lasts while the pass has not read past it: over the lag and the timing error.
    tracking.reserve(static_cast<std::size_t>(2 * lag / block + 4));
    // The lane kernel is chosen by a short measurement, with memory, on its first use: now.
    const PhaseTerm term{0, 0.0};
    double lanes[kLanes] = {};
    const double sample = 0.0;
    accumulateLanes(&sample, &term, 1, lanes);
}

void StreamingChain::State::pushPiece(const double* samples, std::int64_t frames) {
    lateral.clear();
    side.clear();
    split.process({samples, static_cast<std::size_t>(frames * channelCount)}, lateral, side);
    if (sidePath && channelCount == 1) {
        side.assign(lateral.size(), 0.0);  // a single channel: no vertical modulation
    }
    framesIn += frames;
    filtered.clear();
    if (!sidePath) {
        filter.process(lateral, filtered);
        upsampler.process(filtered);
    } else {
        SidePath& path = *sidePath;
        path.filtered.clear();
        // The two components side by side, each on a thread of its own where there are two.
        runBoth(
            [&] {
                filter.process(lateral, filtered);
                upsampler.process(filtered);
            },
            [&] {
                path.filter.process(side, path.filtered);
                path.upsampler.process(path.filtered);
            });
    }
    drain(side);
}

// From the high-rate samples on: the pass, the inverse filter and the join with the side.
void StreamingChain::State::drain(std::span<const double> sideValues) {
    if (sidePath) {
        SidePath& path = *sidePath;
        path.distorted.mid.clear();
        path.distorted.side.clear();
        path.process(framesIn, upsampler.highRate());
        restored.clear();
        inverse.process(path.distorted.mid, restored);
        path.restored.clear();
        path.inverse.process(path.distorted.side, path.restored);
        join.process(restored, path.restored, ready);
        return;
    }
    distorted.clear();
    tracking.process(framesIn, distorted);
    restored.clear();
    inverse.process(distorted, restored);
    join.process(restored, sideValues, ready);
}

// Each stage's remaining outputs pass through the stages after it before those finish in turn.
void StreamingChain::State::finish() {
    lateral.clear();
    side.clear();
    split.finish(lateral, side);
    filtered.clear();
    filter.process(lateral, filtered);
    filter.finish(filtered);
    upsampler.process(filtered);
    upsampler.finish();
    if (sidePath) {
        finishSidePath();
        return;
    }
    distorted.clear();
    // The pass reads the last stage's stuffed length: indices up to f·m − 1.
    tracking.finish(upsampler.highRate().stuffedLength(), framesIn, distorted);
    restored.clear();
    inverse.process(distorted, restored);
    inverse.finish(restored);
    join.process(restored, side, ready);
    join.finish(ready);
}

// The stylus model's finish, from the side's filter on: both components as finish() takes the
// lateral one.
void StreamingChain::State::finishSidePath() {
    SidePath& path = *sidePath;
    path.filtered.clear();
    path.filter.process(side, path.filtered);
    path.filter.finish(path.filtered);
    path.upsampler.process(path.filtered);
    path.upsampler.finish();
    path.distorted.mid.clear();
    path.distorted.side.clear();
    path.finish(upsampler.highRate().stuffedLength(), framesIn);
    restored.clear();
    inverse.process(path.distorted.mid, restored);
    inverse.finish(restored);
    path.restored.clear();
    path.inverse.process(path.distorted.side, path.restored);
    path.inverse.finish(path.restored);
    join.process(restored, path.restored, ready);
    join.finish(ready);
}

StreamingChain::StreamingChain(const ChainSettings& settings)
    : state_(std::make_unique<State>(settings)) {}

StreamingChain::~StreamingChain() = default;

void StreamingChain::pushFrames(const double* samples, std::int64_t frameCount) {
    State& s = *state_;
    if (s.finished) {
        return;
    }
    for (std::int64_t done = 0; done < frameCount;) {
        const std::int64_t piece = std::min(kPieceFrames, frameCount - done);
        s.pushPiece(samples + done * s.channelCount, piece);
        done += piece;
    }
}

void StreamingChain::finish() {
    State& s = *state_;
    if (s.finished) {
        return;
    }
    s.finished = true;
    s.finish();
}

std::int64_t StreamingChain::pullFrames(double* output, std::int64_t maxFrames) {
    State& s = *state_;
    const int channels = s.channelCount;
    const std::int64_t available =
        static_cast<std::int64_t>(s.ready.size() - s.readyFrom) / channels;
    const std::int64_t count = std::max<std::int64_t>(0, std::min(available, maxFrames));
    const double* from = s.ready.data() + s.readyFrom;
    for (std::int64_t k = 0; k < count * channels; ++k) {
        output[k] = from[k];
        if (std::fabs(from[k]) > s.peak) {
            s.peak = std::fabs(from[k]);
        }
    }
    s.readyFrom += static_cast<std::size_t>(count * channels);
    s.framesOut += count;
    if (s.readyFrom > s.ready.size() / 2) {
        s.ready.erase(s.ready.begin(), s.ready.begin() + static_cast<std::ptrdiff_t>(s.readyFrom));
        s.readyFrom = 0;
    }
    return count;
}

bool StreamingChain::changeDisc(std::int64_t fromFrame, std::int64_t rampFrames,
                                const DiscParameters& disc) {
    State& s = *state_;
    // The stylus model's side path keeps its geometry as set up.
    if (s.settings.moving || s.sidePath || s.finished || fromFrame < s.framesIn || rampFrames < 1) {
        return false;
    }
    // Frame f lines up with high-rate index 144·f + 10447, beyond every index ready so far.
    const std::int64_t first = kUpsampleFactor * fromFrame + kUpsampleAlignmentDelay;
    const std::int64_t end = first + kUpsampleFactor * rampFrames;
    if (!s.tracking.changeDisc(first, end, s.settings.disc, disc)) {
        return false;
    }
    s.settings.disc = disc;
    return true;
}

void StreamingChain::reset(const DiscParameters& disc) {
    State& s = *state_;
    s.settings.disc = disc;
    s.filter.reset();
    s.upsampler.reset();
    s.tracking.reset(trackingSettings(s.settings));
    if (s.sidePath) {
        s.sidePath = std::make_unique<SidePath>(s.settings, s.upsampler.highRate());
    }
    s.inverse.reset();
    s.join.reset();
    for (SampleBlock* block :
         {&s.lateral, &s.side, &s.filtered, &s.distorted, &s.restored, &s.ready}) {
        block->clear();
    }
    s.readyFrom = 0;
    s.framesIn = 0;
    s.framesOut = 0;
    s.peak = 0.0;
    s.finished = false;
}

bool tipTraceable(const ChainSettings& settings, std::string& message) {
    if (!readsBothWalls(settings) || !tracesTheTip(settings)) {
        return true;
    }
    if (!tracedSettingsValid(tracedSettings(settings), message)) {
        message = stylusTipText(settings.tip) + ": " + message;
        return false;
    }
    return true;
}

std::int64_t chainLagFrames(int sampleRate, double timingErrorBound) {
    const double reach = std::ceil(static_cast<double>(kUpsampleFactor) * timingErrorBound *
                                   static_cast<double>(sampleRate));
    const auto indices = kUpsampleAlignmentDelay + 2 + static_cast<std::int64_t>(reach);
    return indices / kUpsampleFactor + 2;
}

std::int64_t StreamingChain::framesIn() const {
    return state_->framesIn;
}

std::int64_t StreamingChain::framesOut() const {
    return state_->framesOut;
}

double StreamingChain::peakMagnitude() const {
    return state_->peak;
}
