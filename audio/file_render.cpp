#include "audio/file_render.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

#include "wave/dither_generator.hpp"
#include "wave/output_quantiser.hpp"
#include "wave/wave_writer.hpp"

namespace {

constexpr std::int64_t kBlockFrames = 16384;

// Ends a render with its message; caught at renderFile's end.
class RenderStop : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void stop(const std::string& message) {
    throw RenderStop(message);
}

// What one render works with.
struct Render {
    AudioReader& reader;
    StreamingChain& chain;
    AudioOutput& output;
    const OutputPlan& plan;
    std::optional<double> quality;
    RenderProgress& progress;
    const RenderNames& names;
};

FrameTarget destinationOf(Render& render) {
    const AudioInfo& input = render.reader.info();
    return {render.output,    render.plan,        render.quality,
            input.sampleRate, input.channelCount, render.names.output};
}

// Starts the output's writer for `frames` frames (-1: not known).
void openOutput(const FrameTarget& to, std::int64_t frames) {
    std::string reason;
    if (!to.output.open(to.plan.format, to.sampleRate, to.channelCount, frames, to.quality,
                        reason)) {
        stop("cannot write " + to.outputName + ": " + reason);
    }
}

void writeScratch(int fd, const void* data, std::size_t count) {
    if (const int error = writeAll(fd, data, count)) {
        stop(std::string("cannot write the scratch file: ") + std::strerror(error));
    }
}

// Reads exactly `count` bytes, as written before.
void readAll(int fd, void* data, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(data);
    while (count > 0) {
        const ssize_t got = ::read(fd, bytes, count);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            stop(std::string("cannot read the scratch file back: ") +
                 (got < 0 ? std::strerror(errno) : "it ended early"));
        }
        bytes += got;
        count -= static_cast<std::size_t>(got);
    }
}

// Runs the input through the chain a block at a time and hands each block of output frames to
// `sink` as soon as the chain has it.
template <typename Sink>
void runChain(Render& render, Sink sink) {
    const int channels = render.reader.info().channelCount;
    std::vector<double> input(static_cast<std::size_t>(kBlockFrames * channels));
    std::vector<double> output(static_cast<std::size_t>(kBlockFrames * channels));
    const auto drain = [&] {
        for (;;) {
            const std::int64_t got = render.chain.pullFrames(output.data(), kBlockFrames);
            if (got == 0) {
                break;
            }
            sink(output.data(), got);
        }
    };
    std::string reason;
    for (;;) {
        const std::int64_t got = render.reader.read(input.data(), kBlockFrames, reason);
        if (got < 0) {
            stop("cannot read " + render.names.input + ": " + reason);
        }
        if (got == 0) {
            break;
        }
        render.chain.pushFrames(input.data(), got);
        drain();
        render.progress.update(render.chain.framesIn());
    }
    render.chain.finish();
    drain();
}

// 32-bit float: the unscaled output over 32768, written as it comes.
RenderResult renderFloat(Render& render) {
    const int channels = render.reader.info().channelCount;
    std::vector<float> floats(static_cast<std::size_t>(kBlockFrames * channels));
    std::string reason;
    runChain(render, [&](const double* values, std::int64_t n) {
        for (std::int64_t k = 0; k < n * channels; ++k) {
            floats[static_cast<std::size_t>(k)] = static_cast<float>(values[k] / 32768.0);
        }
        if (!render.output.writer().writeFloats(floats.data(), n, reason)) {
            stop("cannot write " + render.names.output + ": " + reason);
        }
    });
    RenderResult result;
    result.frames = render.chain.framesOut();
    result.peak = render.chain.peakMagnitude();
    return result;
}

// The samples of a block on their way out, and the dither, which runs on across blocks.
struct ScaledBlock {
    std::vector<std::int32_t> samples;
    std::vector<float> floats;
    DitherGenerator dither;
};

// One block of the unscaled output scaled, dithered or encoded, and written.
void writeScaled(const FrameTarget& to, const std::vector<double>& values, std::int64_t n,
                 double gain, ScaledBlock& block) {
    const OutputKind kind = to.plan.kind;
    const std::size_t count = static_cast<std::size_t>(n * to.channelCount);
    std::vector<std::int32_t>& samples = block.samples;
    std::vector<float>& floats = block.floats;
    DitherGenerator& dither = block.dither;
    std::string reason;
    bool written = false;
    if (kind == OutputKind::Sixteen || kind == OutputKind::TwentyFour) {
        for (std::size_t k = 0; k < count; ++k) {
            const double r1 = dither.next();
            const double r2 = dither.next();
            samples[k] = kind == OutputKind::Sixteen ? quantiseSample(values[k], gain, r1, r2)
                                                     : quantiseSample24(values[k], gain, r1, r2);
        }
        written = to.output.writer().writeIntegers(samples.data(), n, reason);
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            floats[k] = static_cast<float>(kind == OutputKind::Float ? values[k] / 32768.0
                                                                     : gain * values[k] / 32768.0);
        }
        written = to.output.writer().writeFloats(floats.data(), n, reason);
    }
    if (!written) {
        stop("cannot write " + to.outputName + ": " + reason);
    }
}

// The whole output, `result.frames` frames of peak `result.peak` that `fill` gives a block at a
// time, scaled as a whole (result.gain), dithered or encoded, and written.
template <typename Fill>
void writeWhole(const FrameTarget& to, Fill fill, RenderProgress& progress, RenderResult& result) {
    result.gain = gainFor(to.plan.kind, result.peak);
    openOutput(to, result.frames);
    progress.start("writing  ", result.frames, to.sampleRate);
    std::vector<double> values(static_cast<std::size_t>(kBlockFrames * to.channelCount));
    ScaledBlock block{std::vector<std::int32_t>(values.size()), std::vector<float>(values.size()),
                      DitherGenerator()};
    for (std::int64_t done = 0; done < result.frames;) {
        const std::int64_t n = std::min(kBlockFrames, result.frames - done);
        fill(values.data(), n);
        writeScaled(to, values, n, result.gain, block);
        done += n;
        progress.update(done);
    }
}

// The unscaled output to a scratch file, then scaled as a whole and written.
RenderResult renderThroughScratch(Render& render) {
    const int channels = render.reader.info().channelCount;
    std::string reason;
    const int scratch = openScratchFile(render.output.scratchFolder(), reason);
    if (scratch < 0) {
        stop("cannot write a scratch file in " + render.output.scratchFolder() + ": " + reason);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{scratch};

    runChain(render, [&](const double* values, std::int64_t n) {
        writeScratch(scratch, values, static_cast<std::size_t>(n * channels) * sizeof(double));
    });
    RenderResult result;
    result.frames = render.chain.framesOut();
    result.peak = render.chain.peakMagnitude();

    if (::lseek(scratch, 0, SEEK_SET) != 0) {
        stop(std::string("cannot read the scratch file back: ") + std::strerror(errno));
    }
    writeWhole(
        destinationOf(render),
        [&](double* values, std::int64_t n) {
            readAll(scratch, values, static_cast<std::size_t>(n * channels) * sizeof(double));
        },
        render.progress, result);
    return result;
}

}  // namespace

double gainFor(OutputKind kind, double peak) {
    switch (kind) {
        case OutputKind::Sixteen:
        case OutputKind::Encoded:
            return chooseOutputGain(peak, kOutputPeakLimit);
        case OutputKind::TwentyFour:
            return chooseOutputGain(peak, kOutputPeakLimit24);
        case OutputKind::Float:
            break;
    }
    return 1.0;
}

bool writeFrames(const FrameSource& source, const FrameTarget& target, RenderProgress& progress,
                 RenderResult& result, std::string& message) {
    const FrameTarget& to = target;
    try {
        result.gain = 1.0;
        writeWhole(
            to,
            [&](double* values, std::int64_t n) {
                std::string reason;
                if (!source(values, n, reason)) {
                    stop(reason);
                }
            },
            progress, result);
        std::string reason;
        if (!target.output.finish(reason)) {
            stop("cannot write " + target.outputName + ": " + reason);
        }
    } catch (const RenderStop& failure) {
        message = failure.what();
        return false;
    }
    return true;
}

bool renderFile(AudioReader& reader, StreamingChain& chain, AudioOutput& output,
                const OutputPlan& plan, std::optional<double> quality, RenderProgress& progress,
                const RenderNames& names, RenderResult& result, std::string& message) {
    Render render{reader, chain, output, plan, quality, progress, names};
    const AudioInfo& input = reader.info();
    try {
        progress.start("rendering", input.lengthKnown ? input.frameCount : -1, input.sampleRate);
        if (plan.kind == OutputKind::Float && (output.toStandardOutput() || input.lengthKnown)) {
            openOutput(destinationOf(render), input.lengthKnown ? input.frameCount : -1);
            result = renderFloat(render);
        } else {
            result = renderThroughScratch(render);
        }
        std::string reason;
        if (!output.finish(reason)) {
            stop("cannot write " + names.output + ": " + reason);
        }
    } catch (const RenderStop& failure) {
        message = failure.what();
        return false;
    }
    return true;
}
