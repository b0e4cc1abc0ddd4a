#include "engine/streaming_chain.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <vector>

#include "dsp/extended.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/tracking_stream.hpp"
#include "dsp/upsample_stream.hpp"

// The chain, in its order: mid and side; the lateral filter; upsampling stages 1 to 3, each
// carrying its tail from block to block; stage 4, whose samples the interpolation pass forms
// only where its search looks; the inverse filter; left and right again. Every stage keeps its
// state between blocks, so the blocks can be of any size.

namespace {

// Input is taken in pieces of at most this many frames, which bounds every buffer in between.
constexpr std::int64_t kPieceFrames = 4096;

}  // namespace

struct StreamingChain::State {
    ChainSettings settings;
    LateralFilterState filter;
    std::vector<UpsampleStream> stages;  // all four; the last only keeps its input
    TrackingStream tracking;
    LateralFilterState inverse;

    std::deque<double> side;  // side values of the frames whose lateral output is not out yet
    SampleBlock lateral;
    SampleBlock between;
    SampleBlock ready;  // finished output values, from readyFrom on
    std::size_t readyFrom = 0;

    std::int64_t framesIn = 0;
    std::int64_t framesOut = 0;
    double peak = 0.0;
    bool finished = false;
};

StreamingChain::StreamingChain(const ChainSettings& settings) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.settings = settings;
    s.settings.channelCount = settings.channelCount == 1 ? 1 : 2;
    s.filter = startFilterLateral(settings.sampleRate);
    s.inverse = startInverseFilterLateral(settings.sampleRate);
    for (int stage = 0; stage < static_cast<int>(kUpsampleStages.size()); ++stage) {
        s.stages.push_back(makeUpsampleStream(stage, settings.coefficients != nullptr
                                                         ? settings.coefficients->taps[stage]
                                                         : std::vector<double>()));
    }
    if (settings.moving) {
        GroovePath path = settings.path;
        path.revolutionsPerMinute = settings.disc.revolutionsPerMinute;
        path.sampleRate = settings.sampleRate;
        s.tracking = startMovingTrackingStream(settings.disc.fullScaleLateralAmplitude, path);
    } else {
        s.tracking = startTrackingStream(settings.disc.fullScaleLateralAmplitude,
                                         deriveGrooveGeometry(settings.disc, settings.sampleRate));
    }
}

StreamingChain::~StreamingChain() = default;

// From the lateral samples of the upsampler's last stage on: the pass, the inverse filter and
// the recombination.
static void drainTracking(StreamingChain::State& s, std::int64_t passLast) {
    s.lateral.clear();
    runTrackingStreamSplit(s.tracking, s.stages.back(), passLast, s.framesIn, s.lateral,
                           s.settings.threadCount);
    UpsampleStream& last = s.stages.back();
    releaseUpsampleBefore(last, trackingStreamNeedsFrom(s.tracking));
    const std::int64_t made = static_cast<std::int64_t>(s.lateral.size());
    if (made == 0) {
        return;
    }
    runLateralBlock(s.inverse, s.lateral.data(), made);
    if (s.settings.channelCount == 1) {
        s.ready.insert(s.ready.end(), s.lateral.begin(), s.lateral.end());
        return;
    }
    for (std::int64_t k = 0; k < made; ++k) {
        const long double restored = s.lateral[static_cast<std::size_t>(k)];
        const long double side = s.side.front();
        s.side.pop_front();
        s.ready.push_back(stored(side + restored));
        s.ready.push_back(stored(restored - side));
    }
}

static void pushPiece(StreamingChain::State& s, const double* samples, std::int64_t frames) {
    s.lateral.resize(static_cast<std::size_t>(frames));
    if (s.settings.channelCount == 1) {
        std::copy(samples, samples + frames, s.lateral.begin());
    } else {
        for (std::int64_t i = 0; i < frames; ++i) {
            const long double left = samples[2 * i];
            const long double right = samples[2 * i + 1];
            s.lateral[static_cast<std::size_t>(i)] = stored((right + left) * 0.5L);
            s.side.push_back(stored((left - right) * 0.5L));
        }
    }
    s.framesIn += frames;
    runLateralBlock(s.filter, s.lateral.data(), frames);
    // Every stage's outputs go straight in as the next one's input, the last stage's included;
    // each later stage then makes what its new input completes.
    for (std::size_t stage = 0; stage + 1 < s.stages.size(); ++stage) {
        pushUpsampleStreamInto(s.stages[stage], s.lateral.data(), stage == 0 ? frames : 0,
                               s.stages[stage + 1], s.settings.threadCount);
    }
    drainTracking(s, -1);
}

void StreamingChain::pushFrames(const double* samples, std::int64_t frameCount) {
    State& s = *state_;
    if (s.finished) {
        return;
    }
    const int channels = s.settings.channelCount;
    for (std::int64_t done = 0; done < frameCount;) {
        const std::int64_t piece = std::min(kPieceFrames, frameCount - done);
        pushPiece(s, samples + done * channels, piece);
        done += piece;
    }
}

void StreamingChain::finish() {
    State& s = *state_;
    if (s.finished) {
        return;
    }
    s.finished = true;
    for (std::size_t stage = 0; stage + 1 < s.stages.size(); ++stage) {
        s.between.clear();
        if (stage > 0) {
            pushUpsampleStream(s.stages[stage], s.lateral.data(),
                               static_cast<std::int64_t>(s.lateral.size()), s.between,
                               s.settings.threadCount);
        }
        finishUpsampleStream(s.stages[stage], s.between);
        s.lateral.swap(s.between);
    }
    UpsampleStream& last = s.stages.back();
    appendKeptSamples(last, s.lateral.data(), static_cast<std::int64_t>(s.lateral.size()));
    last.finished = true;
    // The pass reads the last stage's stuffed length: indices up to f·m − 1.
    drainTracking(s, last.factor * last.received - 1);
}

std::int64_t StreamingChain::pullFrames(double* output, std::int64_t maxFrames) {
    State& s = *state_;
    const int channels = s.settings.channelCount;
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

std::int64_t StreamingChain::framesIn() const {
    return state_->framesIn;
}

std::int64_t StreamingChain::framesOut() const {
    return state_->framesOut;
}

double StreamingChain::peakMagnitude() const {
    return state_->peak;
}
