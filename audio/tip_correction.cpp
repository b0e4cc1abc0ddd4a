#include "audio/tip_correction.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "files/safe_output.hpp"

namespace {

constexpr std::int64_t kBlockFrames = 16384;

class CorrectionStop : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void stop(const std::string& message) {
    throw CorrectionStop(message);
}

// A signal of `channels` values a frame kept as floats in an unnamed scratch file, written and
// read at any frame.
class ScratchSignal {
  public:
    ScratchSignal(const std::string& folder, int channels) : channels_(channels) {
        std::string reason;
        fd_ = openScratchFile(folder, reason);
        if (fd_ < 0) {
            stop("cannot write a scratch file in " + folder + ": " + reason);
        }
    }
    ~ScratchSignal() { ::close(fd_); }
    ScratchSignal(const ScratchSignal&) = delete;
    ScratchSignal& operator=(const ScratchSignal&) = delete;

    void write(std::int64_t frame, const double* values, std::int64_t frames) {
        const std::size_t count = static_cast<std::size_t>(frames * channels_);
        floats_.resize(count);
        for (std::size_t k = 0; k < count; ++k) {
            floats_[k] = static_cast<float>(values[k]);
        }
        const char* bytes = reinterpret_cast<const char*>(floats_.data());
        std::size_t left = count * sizeof(float);
        off_t at = offsetOf(frame);
        while (left > 0) {
            const ssize_t put = ::pwrite(fd_, bytes, left, at);
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                stop(std::string("cannot write the scratch file: ") +
                     (put < 0 ? std::strerror(errno) : "nothing written"));
            }
            bytes += put;
            at += put;
            left -= static_cast<std::size_t>(put);
        }
    }

    // Reads `frames` frames from `frame` on, as written before.
    void read(std::int64_t frame, double* values, std::int64_t frames) {
        const std::size_t count = static_cast<std::size_t>(frames * channels_);
        floats_.resize(count);
        char* bytes = reinterpret_cast<char*>(floats_.data());
        std::size_t left = count * sizeof(float);
        off_t at = offsetOf(frame);
        while (left > 0) {
            const ssize_t got = ::pread(fd_, bytes, left, at);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                stop(std::string("cannot read the scratch file back: ") +
                     (got < 0 ? std::strerror(errno) : "it ended early"));
            }
            bytes += got;
            at += got;
            left -= static_cast<std::size_t>(got);
        }
        for (std::size_t k = 0; k < count; ++k) {
            values[k] = floats_[k];
        }
    }

  private:
    off_t offsetOf(std::int64_t frame) const {
        return static_cast<off_t>(frame * channels_) * static_cast<off_t>(sizeof(float));
    }

    int fd_ = -1;
    int channels_;
    std::vector<float> floats_;
};

// The largest magnitude of `count` values on from `peak`; a value that is not a number never
// raises it (as the chain's own peak).
double peakOf(const double* values, std::size_t count, double peak) {
    for (std::size_t k = 0; k < count; ++k) {
        if (std::fabs(values[k]) > peak) {
            peak = std::fabs(values[k]);
        }
    }
    return peak;
}

// Σ (a − b)² over `count` values, leaving out the terms that are not finite (a sample that is not
// a number stays one through the chain and has no distance to speak of).
long double squaredDistance(const double* a, const double* b, std::size_t count) {
    long double sum = 0.0L;
    for (std::size_t k = 0; k < count; ++k) {
        const long double d = static_cast<long double>(a[k]) - b[k];
        if (std::isfinite(d)) {
            sum += d * d;
        }
    }
    return sum;
}

// One run of a chain over a whole signal: `read(frame, values, n)` gives its input, and
// `sink(frame, values, n)` takes each block of output at the frame it starts at, as soon as the
// chain has it.
template <typename Read, typename Sink>
void runChainOver(StreamingChain& chain, int channels, std::int64_t frames, Read read, Sink sink,
                  RenderProgress& progress) {
    std::vector<double> input(static_cast<std::size_t>(kBlockFrames * channels));
    std::vector<double> output(static_cast<std::size_t>(kBlockFrames * channels));
    std::int64_t out = 0;
    const auto drain = [&] {
        for (;;) {
            const std::int64_t got = chain.pullFrames(output.data(), kBlockFrames);
            if (got == 0) {
                break;
            }
            sink(out, output.data(), got);
            out += got;
        }
    };
    for (std::int64_t at = 0; frames < 0 || at < frames;) {
        const std::int64_t n =
            read(at, input.data(), frames < 0 ? kBlockFrames : std::min(kBlockFrames, frames - at));
        if (n == 0) {
            break;
        }
        chain.pushFrames(input.data(), n);
        drain();
        at += n;
        progress.update(at);
    }
    chain.finish();
    drain();
}

struct Correction {
    AudioReader& reader;
    const ChainSettings& played;
    AudioOutput& output;
    const RenderNames& names;
    RenderProgress& progress;
    int channels;
    int sampleRate;
};

// The signal with the tracking errors undone (q), and INPUT itself, into scratch files; INPUT's
// energy and q's peak. Returns the number of frames.
std::int64_t undoTracking(Correction& c, ScratchSignal& input, ScratchSignal& undone,
                          long double& inputEnergy, double& undonePeak) {
    StreamingChain chain(trackingUndoSettings(c.played));
    const AudioInfo& info = c.reader.info();
    c.progress.start("tracking ", info.lengthKnown ? info.frameCount : -1, c.sampleRate);
    inputEnergy = 0.0L;
    undonePeak = 0.0;
    std::string reason;
    runChainOver(
        chain, c.channels, -1,
        [&](std::int64_t at, double* values, std::int64_t n) {
            const std::int64_t got = c.reader.read(values, n, reason);
            if (got < 0) {
                stop("cannot read " + c.names.input + ": " + reason);
            }
            const std::size_t count = static_cast<std::size_t>(got * c.channels);
            for (std::size_t k = 0; k < count; ++k) {
                if (std::isfinite(values[k])) {
                    inputEnergy += static_cast<long double>(values[k]) * values[k];
                }
            }
            input.write(at, values, got);
            return got;
        },
        [&](std::int64_t at, const double* values, std::int64_t n) {
            undone.write(at, values, n);
            undonePeak = peakOf(values, static_cast<std::size_t>(n * c.channels), undonePeak);
        },
        c.progress);
    return chain.framesOut();
}

// One run of the tip alone over x: the residual q − T(x), and, when `next` is given, the next
// iterate x + (q − T(x)) written there with its peak.
long double tracePass(Correction& c, std::int64_t frames, ScratchSignal& undone, ScratchSignal& x,
                      ScratchSignal* next, double& nextPeak) {
    StreamingChain chain(tipOnlySettings(c.played));
    std::vector<double> q(static_cast<std::size_t>(kBlockFrames * c.channels));
    std::vector<double> current(q.size());
    long double residual = 0.0L;
    nextPeak = 0.0;
    runChainOver(
        chain, c.channels, frames,
        [&](std::int64_t at, double* values, std::int64_t n) {
            x.read(at, values, n);
            return n;
        },
        [&](std::int64_t at, const double* traced, std::int64_t n) {
            const std::size_t count = static_cast<std::size_t>(n * c.channels);
            undone.read(at, q.data(), n);
            residual += squaredDistance(q.data(), traced, count);
            if (next == nullptr) {
                return;
            }
            x.read(at, current.data(), n);
            for (std::size_t k = 0; k < count; ++k) {
                current[k] += q[k] - traced[k];
            }
            next->write(at, current.data(), n);
            nextPeak = peakOf(current.data(), count, nextPeak);
        },
        c.progress);
    return residual;
}

// INPUT against the whole chain's render of x.
long double checkPass(Correction& c, std::int64_t frames, ScratchSignal& input, ScratchSignal& x) {
    ChainSettings whole = c.played;
    whole.direction = TimingDirection::Play;
    StreamingChain chain(whole);
    std::vector<double> p(static_cast<std::size_t>(kBlockFrames * c.channels));
    long double residual = 0.0L;
    runChainOver(
        chain, c.channels, frames,
        [&](std::int64_t at, double* values, std::int64_t n) {
            x.read(at, values, n);
            return n;
        },
        [&](std::int64_t at, const double* rendered, std::int64_t n) {
            input.read(at, p.data(), n);
            residual +=
                squaredDistance(p.data(), rendered, static_cast<std::size_t>(n * c.channels));
        },
        c.progress);
    return residual;
}

std::string passLabel(int pass) {
    std::string label = "pass " + std::to_string(pass);
    label.resize(std::max<std::size_t>(label.size(), 9), ' ');
    return label;
}

void correct(Correction& c, const OutputPlan& plan, std::optional<double> quality,
             const TipCorrectionRun& run, TipCorrectionResult& result) {
    const std::string& folder = c.output.scratchFolder();
    ScratchSignal input(folder, c.channels);
    ScratchSignal undone(folder, c.channels);
    long double inputEnergy = 0.0L;
    std::array<double, 4> peaks{};  // of x₀ and of the three rotating iterates
    const std::int64_t frames = undoTracking(c, input, undone, inputEnergy, peaks[0]);

    // x₀ is q itself; x₁, x₂, ... take turns in three files, so that the one before the last
    // is still there when the last turns out no better.
    std::array<std::unique_ptr<ScratchSignal>, 3> iterates;
    for (auto& iterate : iterates) {
        iterate = std::make_unique<ScratchSignal>(folder, c.channels);
    }
    const auto slot = [](int k) { return static_cast<std::size_t>((k - 1) % 3); };
    const auto iterate = [&](int k) -> ScratchSignal& {
        return k == 0 ? undone : *iterates[slot(k)];
    };
    const auto peakOfIterate = [&](int k) -> double& { return peaks[k == 0 ? 0 : 1 + slot(k)]; };

    result.passes.clear();
    result.bestPass = 0;
    result.bestResidualDecibels = std::numeric_limits<double>::infinity();
    result.stop = TipCorrectionStop::Limit;
    for (int k = 0;; ++k) {
        const bool another = k < run.iterations;
        c.progress.start(another ? passLabel(k + 1) : "measuring", frames, c.sampleRate);
        double nextPeak = 0.0;
        const long double residual =
            tracePass(c, frames, undone, iterate(k), another ? &iterate(k + 1) : nullptr, nextPeak);
        if (another) {
            peakOfIterate(k + 1) = nextPeak;
        }
        const TipPass pass{k, residualDecibels(residual, inputEnergy)};
        result.passes.push_back(pass);
        if (run.onPass) {
            run.onPass(pass);
        }
        const double fall = result.bestResidualDecibels - pass.residualDecibels;
        if (fall > 0.0) {
            result.bestPass = k;
            result.bestResidualDecibels = pass.residualDecibels;
        }
        if (k > 0 && !(fall >= kLeastFallDecibels)) {
            result.stop = TipCorrectionStop::Stalled;
            break;
        }
        if (pass.residualDecibels <= kResidualFloorDecibels) {
            result.stop = TipCorrectionStop::Stalled;  // nothing left to take out
            break;
        }
        if (!another) {
            break;
        }
    }
    result.converged = result.bestResidualDecibels <= kConvergedDecibels;

    ScratchSignal& best = iterate(result.bestPass);
    c.progress.start("checking ", frames, c.sampleRate);
    result.finalResidualDecibels = residualDecibels(checkPass(c, frames, input, best), inputEnergy);

    result.written.frames = frames;
    result.written.peak = peakOfIterate(result.bestPass);
    std::string message;
    std::int64_t at = 0;
    const FrameTarget target{c.output, plan, quality, c.sampleRate, c.channels, c.names.output};
    const FrameSource source = [&](double* values, std::int64_t n, std::string&) {
        best.read(at, values, n);
        at += n;
        return true;
    };
    if (!writeFrames(source, target, c.progress, result.written, message)) {
        stop(message);
    }
}

}  // namespace

ChainSettings trackingUndoSettings(ChainSettings played) {
    played.direction = TimingDirection::Undo;
    played.tip = StylusTip{};
    return played;
}

ChainSettings tipOnlySettings(ChainSettings played) {
    played.direction = TimingDirection::Play;
    played.disc.trackingErrorDegrees = 0.0;
    played.path.arm = Tonearm{};  // a fixed angle of 0 at every radius
    played.stylus.verticalTrackingDegrees = played.stylus.cuttingDegrees;
    return played;
}

double residualDecibels(long double difference, long double reference) {
    if (!(reference > 0.0L)) {
        return difference > 0.0L ? 0.0 : kResidualFloorDecibels;
    }
    const long double ratio = difference / reference;
    if (!(ratio > 0.0L)) {
        return kResidualFloorDecibels;
    }
    return std::max(kResidualFloorDecibels, static_cast<double>(10.0L * std::log10(ratio)));
}

bool correctTipFile(AudioReader& reader, const ChainSettings& played, AudioOutput& output,
                    const OutputPlan& plan, std::optional<double> quality, RenderProgress& progress,
                    const RenderNames& names, const TipCorrectionRun& run,
                    TipCorrectionResult& result, std::string& message) {
    Correction c{reader,
                 played,
                 output,
                 names,
                 progress,
                 reader.info().channelCount,
                 reader.info().sampleRate};
    try {
        correct(c, plan, quality, run, result);
    } catch (const CorrectionStop& failure) {
        message = failure.what();
        return false;
    }
    return true;
}
