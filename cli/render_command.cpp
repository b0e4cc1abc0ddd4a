#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/audio_file.hpp"
#include "audio/output_format.hpp"
#include "cli/cli_options.hpp"
#include "cli/commands.hpp"
#include "cli/geometry_options.hpp"
#include "cli/progress.hpp"
#include "dsp/coefficient_set.hpp"
#include "engine/streaming_chain.hpp"
#include "files/safe_output.hpp"
#include "wave/dither_generator.hpp"
#include "wave/output_quantiser.hpp"
#include "wave/wave_writer.hpp"

namespace {

constexpr int kLowestRate = 32000;
constexpr int kHighestRate = 192000;
constexpr int kMostChannels = 2;
constexpr std::int64_t kBlockFrames = 16384;
// A WAV file's sizes are 32-bit; a larger output is written as RF64, its 64-bit form.
constexpr std::int64_t kLargestWaveData = 0xFFFFFFFFLL - 4096;

struct RenderOptions {
    std::string inputPath;
    std::string outputPath;
    DiscOptions disc;
    GeometryOptions geometry;  // --arm, --alignment, --mounting, --standard, --linear
    double from = 0.0;         // mm: the radius at the first sample, with --to at the last
    double to = 0.0;
    CLI::Option* radiusOption = nullptr;
    CLI::Option* angleOption = nullptr;
    CLI::Option* fromOption = nullptr;
    CLI::Option* toOption = nullptr;
    std::string bits;  // "", "16", "24" or "32f"
    std::string type;  // --type: the output's format by name, "" to take it from OUTPUT's name
    double quality = 0.0;
    CLI::Option* qualityOption = nullptr;
    int threads = defaultThreadCount();
    bool quiet = false;
    bool json = false;
};

class RenderFailure : public std::exception {
  public:
    RenderFailure(int exitCode, std::string message)
        : exitCode_(exitCode), message_(std::move(message)) {}
    int exitCode() const { return exitCode_; }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    int exitCode_;
    std::string message_;
};

[[noreturn]] void fail(int exitCode, const std::string& message) {
    throw RenderFailure(exitCode, message);
}

bool given(const CLI::Option* option) {
    return option != nullptr && option->count() > 0;
}

// The settings of the chain from the options and the input: the one place where what the user
// asked for becomes what the chain runs with. A fixed --angle at a constant --radius is the
// interactive program's chain; an arm, or a radius that moves from --from to --to, makes the
// tracking tangent and the groove velocity follow the radius sample by sample.
ChainSettings chainSettingsFor(const RenderOptions& options) {
    const bool armGiven = geometryGiven(options.geometry);
    const bool angleGiven = given(options.angleOption);
    const bool radiusGiven = given(options.radiusOption);
    const bool sideGiven = given(options.fromOption) || given(options.toOption);
    if (armGiven && angleGiven) {
        fail(kExitUsageError,
             "--angle and --arm, --alignment or --linear exclude each other: give one tracking "
             "error");
    }
    if (!armGiven && !angleGiven) {
        fail(kExitUsageError,
             "no tracking error: give --angle DEG, --arm L,D,BETA, --alignment NAME --mounting D "
             "or --linear");
    }
    if (radiusGiven && sideGiven) {
        fail(kExitUsageError, "--radius and --from/--to exclude each other");
    }
    if (given(options.fromOption) != given(options.toOption)) {
        fail(kExitUsageError,
             given(options.fromOption) ? "--from needs --to" : "--to needs --from");
    }
    if (!radiusGiven && !sideGiven) {
        fail(kExitUsageError, "no groove radius: give --radius MM, or --from MM --to MM");
    }

    if (sideGiven) {
        for (const auto& [name, value] :
             {std::pair{"--from", options.from}, std::pair{"--to", options.to}}) {
            if (!std::isfinite(value) || !(value > 0.0)) {
                fail(kExitUsageError, std::string(name) + " " + numberText(value) +
                                          ": the radius must be a finite number above 0");
            }
        }
    }
    ChainSettings settings;
    std::string message;
    DiscOptions disc = options.disc;
    if (!radiusGiven) {
        disc.radius = options.from;  // checked above; the disc's own radius is not used
    }
    if (!discParametersFrom(disc, settings.disc, message)) {
        fail(kExitUsageError, message);
    }
    settings.threadCount = options.threads;
    if (!armGiven && !sideGiven) {
        return settings;
    }

    Tonearm arm;
    arm.fixedAngleDegrees = disc.angle;
    if (armGiven) {
        SideGeometry geometry;
        if (!resolveGeometry(options.geometry, geometry, message)) {
            fail(kExitUsageError, message);
        }
        arm = geometry.arm;
        const double lowest = sideGiven ? std::min(options.from, options.to) : disc.radius;
        const double highest = sideGiven ? std::max(options.from, options.to) : disc.radius;
        std::string reason;
        if (!armReachesArea(arm, lowest, highest, reason)) {
            fail(kExitUsageError, "the arm cannot play the side: " + reason);
        }
    }
    settings.moving = true;
    settings.path.arm = arm;
    settings.path.fromRadius = radiusGiven ? disc.radius : options.from;
    settings.path.toRadius = radiusGiven ? disc.radius : options.to;
    settings.path.revolutionsPerMinute = settings.disc.revolutionsPerMinute;
    return settings;
}

// What the chain takes from the input file. A side spread from --from to --to needs the input's
// length (checked before); at a constant radius the length does not matter.
void fitToInput(ChainSettings& settings, const AudioInfo& input,
                const CoefficientSet& coefficients) {
    settings.sampleRate = input.sampleRate;
    settings.channelCount = input.channelCount;
    settings.coefficients = &coefficients;
    settings.path.frameCount = input.lengthKnown ? input.frameCount : 0;
    settings.path.sampleRate = input.sampleRate;
}

void writeScratch(int fd, const void* data, std::size_t count) {
    if (const int error = writeAll(fd, data, count)) {
        fail(kExitFileError, std::string("cannot write the scratch file: ") + std::strerror(error));
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
            fail(kExitFileError, std::string("cannot read the scratch file back: ") +
                                     (got < 0 ? std::strerror(errno) : "it ended early"));
        }
        bytes += got;
        count -= static_cast<std::size_t>(got);
    }
}

struct RenderResult {
    std::int64_t frames = 0;
    double peak = 0.0;
    double gain = 1.0;
};

// Runs the input through the chain a block at a time and hands each block of output frames to
// `sink` as soon as the chain has it.
template <typename Sink>
void runChain(AudioReader& reader, StreamingChain& chain, ProgressBar& progress,
              const std::string& inputPath, Sink sink) {
    const int channels = reader.info().channelCount;
    std::vector<double> input(static_cast<std::size_t>(kBlockFrames * channels));
    std::vector<double> output(static_cast<std::size_t>(kBlockFrames * channels));
    const auto drain = [&] {
        for (;;) {
            const std::int64_t got = chain.pullFrames(output.data(), kBlockFrames);
            if (got == 0) {
                break;
            }
            sink(output.data(), got);
        }
    };
    std::string reason;
    for (;;) {
        const std::int64_t got = reader.read(input.data(), kBlockFrames, reason);
        if (got < 0) {
            fail(kExitFileError, "cannot read " + inputPath + ": " + reason);
        }
        if (got == 0) {
            break;
        }
        chain.pushFrames(input.data(), got);
        drain();
        progress.update(chain.framesIn());
    }
    chain.finish();
    drain();
}

// The names the messages give the input and the output: standard input and output for "-".
struct Names {
    std::string input;
    std::string output;
};

// 32-bit float: the unscaled output over 32768, written as it comes.
RenderResult renderFloat(AudioReader& reader, StreamingChain& chain, AudioWriter& writer,
                         ProgressBar& progress, const Names& names) {
    std::vector<float> floats(static_cast<std::size_t>(kBlockFrames * reader.info().channelCount));
    const int channels = reader.info().channelCount;
    std::string reason;
    runChain(reader, chain, progress, names.input, [&](const double* values, std::int64_t n) {
        for (std::int64_t k = 0; k < n * channels; ++k) {
            floats[static_cast<std::size_t>(k)] = static_cast<float>(values[k] / 32768.0);
        }
        if (!writer.writeFloats(floats.data(), n, reason)) {
            fail(kExitFileError, "cannot write " + names.output + ": " + reason);
        }
    });
    RenderResult result;
    result.frames = chain.framesOut();
    result.peak = chain.peakMagnitude();
    return result;
}

// The gain of an output that is scaled as a whole: 16 and 24 bits keep 2 steps below full scale
// before dither, an encoded output stays as far below it so that nothing clips; float is unscaled.
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

// 16 and 24 bits and encoded outputs: the gain needs the whole output's peak, so the unscaled
// output goes to a scratch file first; then it is scaled, dithered or encoded, and written. A
// float output whose length is not known yet (read from a pipe) takes the same way, so that its
// header is written once, for the length it has. `openWriter` starts the output once the number
// of frames is known.
template <typename OpenWriter>
RenderResult renderThroughScratch(AudioReader& reader, StreamingChain& chain, AudioWriter& writer,
                                  ProgressBar& progress, const Names& names,
                                  const std::string& folder, OutputKind kind,
                                  OpenWriter openWriter) {
    const int channels = reader.info().channelCount;
    std::string reason;
    const int scratch = openScratchFile(folder, reason);
    if (scratch < 0) {
        fail(kExitFileError, "cannot write a scratch file in " + folder + ": " + reason);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{scratch};

    runChain(reader, chain, progress, names.input, [&](const double* values, std::int64_t n) {
        writeScratch(scratch, values, static_cast<std::size_t>(n * channels) * sizeof(double));
    });
    RenderResult result;
    result.frames = chain.framesOut();
    result.peak = chain.peakMagnitude();
    result.gain = gainFor(kind, result.peak);
    openWriter(result.frames);

    if (::lseek(scratch, 0, SEEK_SET) != 0) {
        fail(kExitFileError,
             std::string("cannot read the scratch file back: ") + std::strerror(errno));
    }
    progress.start("writing  ", result.frames, reader.info().sampleRate);
    std::vector<double> values(static_cast<std::size_t>(kBlockFrames * channels));
    std::vector<std::int32_t> samples(values.size());
    std::vector<float> floats(values.size());
    DitherGenerator dither;
    for (std::int64_t done = 0; done < result.frames;) {
        const std::int64_t n = std::min(kBlockFrames, result.frames - done);
        const std::size_t count = static_cast<std::size_t>(n * channels);
        readAll(scratch, values.data(), count * sizeof(double));
        bool written = false;
        if (kind == OutputKind::Sixteen || kind == OutputKind::TwentyFour) {
            for (std::size_t k = 0; k < count; ++k) {
                const double r1 = dither.next();
                const double r2 = dither.next();
                samples[k] = kind == OutputKind::Sixteen
                                 ? quantiseSample(values[k], result.gain, r1, r2)
                                 : quantiseSample24(values[k], result.gain, r1, r2);
            }
            written = writer.writeIntegers(samples.data(), n, reason);
        } else {
            for (std::size_t k = 0; k < count; ++k) {
                floats[k] = static_cast<float>(kind == OutputKind::Float
                                                   ? values[k] / 32768.0
                                                   : result.gain * values[k] / 32768.0);
            }
            written = writer.writeFloats(floats.data(), n, reason);
        }
        if (!written) {
            fail(kExitFileError, "cannot write " + names.output + ": " + reason);
        }
        done += n;
        progress.update(done);
    }
    return result;
}

nlohmann::json formatJson(const AudioFormat& format) {
    const int bits = encodingBits(format.encoding);
    return {{"format", containerName(format.container)},
            {"encoding", encodingName(format.encoding)},
            {"bits", bits > 0 ? nlohmann::json(bits) : nlohmann::json(nullptr)}};
}

int render(const RenderOptions& options) {
    const auto started = std::chrono::steady_clock::now();

    // The options first: a usage error is reported before any file is touched.
    ChainSettings settings = chainSettingsFor(options);
    std::string message;
    const bool fromPipe = options.inputPath == "-";
    const bool toPipe = options.outputPath == "-";
    const Names names{fromPipe ? "standard input" : options.inputPath,
                      toPipe ? "standard output" : options.outputPath};
    if (toPipe && ::isatty(STDOUT_FILENO) == 1) {
        fail(kExitUsageError,
             "standard output is a terminal: pipe it into another program, redirect it to a "
             "file, or name an OUTPUT file");
    }

    CoefficientSet coefficients;
    if (!loadCoefficientSet(programDirectory(), coefficients, message)) {
        fail(kExitFileError, message);
    }

    AudioReader reader;
    std::string reason;
    if (!(fromPipe ? reader.openStandardInput(reason) : reader.open(options.inputPath, reason))) {
        fail(kExitFileError, "cannot read " + names.input + ": " + reason);
    }
    const AudioInfo& input = reader.info();
    if (input.channelCount < 1 || input.channelCount > kMostChannels) {
        fail(kExitFileError, names.input + " has " + std::to_string(input.channelCount) +
                                 " channels; only mono and stereo files can be rendered");
    }
    if (input.sampleRate < kLowestRate || input.sampleRate > kHighestRate) {
        fail(kExitFileError, names.input + " has a sample rate of " +
                                 std::to_string(input.sampleRate) +
                                 " Hz; rates from 32000 to 192000 Hz can be rendered");
    }
    if (!input.lengthKnown && (given(options.fromOption) || given(options.toOption))) {
        fail(kExitUsageError, "--from and --to spread the side over the input's length, which " +
                                  (fromPipe ? std::string("a pipe does not tell")
                                            : names.input + " does not tell (its end is missing)") +
                                  ": pass the whole file");
    }

    OutputPlan plan;
    OutputRequest request{options.outputPath, options.type, options.bits, std::nullopt};
    if (given(options.qualityOption)) {
        request.quality = options.quality;
    }
    if (!planOutput(request, input, plan, message)) {
        fail(kExitUsageError, message);
    }

    installOutputSignalHandlers();
    SafeOutput output;
    int outputFd = STDOUT_FILENO;
    std::string scratchFolder = temporaryFolder();
    if (!toPipe) {
        if (!output.begin(options.outputPath, reason)) {
            fail(kExitFileError, "cannot write " + names.output + ": " + reason);
        }
        outputFd = output.fd();
        scratchFolder = output.folder();
    }
    AudioWriter writer;
    // Starts the output for `frames` frames (-1: not known): a WAV file of more than 4 GB is
    // written as RF64.
    const auto openWriter = [&](std::int64_t frames) {
        const std::int64_t dataBytes =
            frames * input.channelCount * (encodingBits(plan.format.encoding) / 8);
        if (!toPipe &&
            (plan.format.container == SF_FORMAT_WAV || plan.format.container == SF_FORMAT_WAVEX) &&
            frames >= 0 && dataBytes > kLargestWaveData) {
            plan.format.container = SF_FORMAT_RF64;
        }
        const bool opened = toPipe ? writer.openStream(outputFd, plan.format, input.sampleRate,
                                                       input.channelCount, reason)
                                   : writer.open(outputFd, plan.format, input.sampleRate,
                                                 input.channelCount, reason);
        if (!opened ||
            (given(options.qualityOption) && !writer.setQuality(options.quality, reason))) {
            fail(kExitFileError, "cannot write " + names.output + ": " + reason);
        }
    };

    fitToInput(settings, input, coefficients);
    StreamingChain chain(settings);
    ProgressBar progress(!options.quiet);
    progress.start("rendering", input.lengthKnown ? input.frameCount : -1, input.sampleRate);
    RenderResult result;
    if (plan.kind == OutputKind::Float && (toPipe || input.lengthKnown)) {
        openWriter(input.lengthKnown ? input.frameCount : -1);
        result = renderFloat(reader, chain, writer, progress, names);
    } else {
        result = renderThroughScratch(reader, chain, writer, progress, names, scratchFolder,
                                      plan.kind, openWriter);
    }
    if (!writer.close(reason) || (!toPipe && !output.commit(reason))) {
        fail(kExitFileError, "cannot write " + names.output + ": " + reason);
    }
    progress.clear();
    const std::string warning = reader.endWarning(names.input);
    if (!warning.empty()) {
        std::fprintf(stderr, "cartrivex-cli render: warning: %s\n", warning.c_str());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double attenuation = attenuationDecibels(result.gain);
    if (options.json) {
        nlohmann::json report;
        report["input"] = formatJson(input.format);
        report["input"]["path"] = options.inputPath;
        report["input"]["rate"] = input.sampleRate;
        report["input"]["channels"] = input.channelCount;
        report["input"]["frames"] = result.frames;
        report["input"]["seconds"] = static_cast<double>(result.frames) / input.sampleRate;
        report["parameters"] = {{"rpm", settings.disc.revolutionsPerMinute},
                                {"amplitude", settings.disc.fullScaleLateralAmplitude},
                                {"threads", settings.threadCount}};
        if (!settings.moving) {
            report["parameters"]["radius"] = settings.disc.grooveRadius;
            report["parameters"]["angle"] = settings.disc.trackingErrorDegrees;
        } else {
            const GroovePath& path = settings.path;
            report["parameters"]["from_mm"] = path.fromRadius;
            report["parameters"]["to_mm"] = path.toRadius;
            report["parameters"]["error_at_start_deg"] =
                trackingErrorDegrees(path.arm, path.fromRadius);
            report["parameters"]["error_at_end_deg"] =
                trackingErrorDegrees(path.arm, path.toRadius);
            if (path.arm.kind == Tonearm::Kind::FixedAngle) {
                report["parameters"]["angle"] = path.arm.fixedAngleDegrees;
            } else if (path.arm.kind == Tonearm::Kind::Pivoted) {
                report["parameters"]["arm"] = {{"effective_length_mm", path.arm.effectiveLength},
                                               {"pivot_to_spindle_mm", path.arm.pivotToSpindle},
                                               {"offset_deg", path.arm.offsetDegrees}};
            } else {
                report["parameters"]["arm"] = "linear";
            }
        }
        report["peak"] = result.peak;
        report["gain"] = result.gain;
        report["attenuation_db"] = attenuation;
        report["output"] = formatJson(plan.format);
        report["output"]["path"] = options.outputPath;
        if (given(options.qualityOption)) {
            report["output"]["quality"] = options.quality;
        }
        if (!warning.empty()) {
            report["warnings"] = {warning};
        }
        report["seconds_taken"] = seconds;
        // Standard output carries the audio when OUTPUT is "-": the report goes to stderr.
        (toPipe ? std::cerr : std::cout) << report.dump(2) << '\n';
    } else if (!options.quiet) {
        std::fprintf(stderr, "%s: %.2f s of audio written in %.2f s", names.output.c_str(),
                     static_cast<double>(result.frames) / input.sampleRate, seconds);
        if (result.gain != 1.0) {
            std::fprintf(stderr, ", attenuated by %s dB to prevent clipping",
                         numberText(attenuation).c_str());
        }
        std::fprintf(stderr, "\n");
    }
    return kExitWritten;
}

constexpr const char* kFooter =
    "The input may be any file libsndfile reads (WAV, RF64, W64, AIFF, FLAC, CAF, AU, Ogg\n"
    "Vorbis, Opus, MP3, ...), mono or stereo, 32000 to 192000 Hz, of any length. INPUT - reads\n"
    "standard input: from a pipe the length is not known (so --from/--to need a file), and FLAC,\n"
    "CAF, RF64 and MP3 are not read reliably from one; pipe WAV instead. A file cut short is\n"
    "rendered to where it ends, with a warning that says how much is missing.\n"
    "\n"
    "The output's format is --type, else OUTPUT's extension (.wav .w64 .rf64 .aif .aiff .flac\n"
    ".caf .au .ogg .oga .opus .mp3), else the input's. Its samples are, unless --bits says\n"
    "otherwise, the input's: 16-bit, 24-bit or 32-bit float (32-bit integer and 64-bit float\n"
    "inputs are written as 32-bit float, 8-bit inputs as 16-bit, and lossy inputs, which have no\n"
    "bit depth, as 24-bit), or the nearest narrower that the format holds (float as 24-bit in\n"
    "FLAC). 16- and 24-bit outputs are scaled by one gain for the whole file that keeps them 2\n"
    "steps below full scale, and dithered; 32-bit float output is written unscaled. Ogg Vorbis,\n"
    "Opus and MP3 outputs are encoded from the float output, scaled by the 16-bit gain so that\n"
    "nothing clips and not dithered, at --quality (libsndfile's default without it). Opus holds\n"
    "48000 Hz, MP3 32000 to 48000 Hz. A format that cannot hold the samples is refused with the\n"
    "formats that can.\n"
    "\n"
    "The output is written to a temporary file in its folder and renamed over OUTPUT when\n"
    "complete, so a failure or an interruption leaves an existing OUTPUT as it was; INPUT may\n"
    "be OUTPUT. For 16- and 24-bit and encoded outputs the unscaled output (8 bytes a sample) is\n"
    "first kept in an unnamed scratch file in the same folder, because the gain needs the peak\n"
    "of the whole output: memory stays small for any length.\n"
    "\n"
    "OUTPUT - writes standard output, as WAV unless --type says au, ogg, opus or mp3 (the others\n"
    "need to go back to their header at the end). A WAV stream's header gives its sizes as\n"
    "unknown (0xFFFFFFFF), as common tools write it. Nothing but the audio goes there: --json\n"
    "then prints on stderr. 32-bit float streams as it is made; 16- and 24-bit and encoded\n"
    "outputs come out at the end, when the whole output's peak is known, their scratch file in\n"
    "$TMPDIR (or /tmp). Name a file called - as ./-.\n"
    "\n"
    "The tracking error is --angle (fixed), or follows an arm (--arm, --alignment with\n"
    "--mounting, --linear) at each sample's radius. The radius is --radius (constant), or moves\n"
    "from --from at the first sample to --to at the last, linearly in time, as the stylus crosses\n"
    "a side at a constant groove pitch; the groove velocity follows it.\n"
    "\n"
    "Exit codes: 0 written, 1 a file could not be read or written, 2 a usage error (a format\n"
    "that cannot hold the samples among them); 130, 143, 129 after SIGINT, SIGTERM, SIGHUP.";

}  // namespace

void addRenderCommand(CLI::App& program, CommandOutcome& outcome) {
    auto options = std::make_shared<RenderOptions>();
    CLI::App* command = program.add_subcommand(
        "render", "Run a recording through the pickup's tracking error, any length, any format");
    command->add_option("INPUT", options->inputPath, "The recording to render; - reads stdin")
        ->required();
    command
        ->add_option("OUTPUT", options->outputPath,
                     "The file to write, its format from its extension; - writes stdout")
        ->required();
    addDiscOptions(*command, options->disc);
    // The radius and the angle may give way to a side and an arm.
    options->radiusOption = command->get_option("--radius")->required(false);
    options->angleOption = command->get_option("--angle")->required(false);
    options->fromOption =
        command->add_option("--from", options->from, "Groove radius at the first sample, mm")
            ->type_name("MM");
    options->toOption =
        command
            ->add_option("--to", options->to,
                         "Groove radius at the last sample, mm: the radius moves linearly in time")
            ->type_name("MM");
    GeometryOptionChoice choice;
    choice.angle = false;
    choice.side = false;
    choice.rpm = false;
    addGeometryOptions(*command, options->geometry, choice);
    command
        ->add_option("--bits", options->bits,
                     "Output samples: 16, 24 or 32f (32-bit float); by default the input's, 24 "
                     "for a lossy input")
        ->check(CLI::IsMember({"16", "24", "32f"}));
    command
        ->add_option("--type", options->type,
                     "The output's format whatever its name: wav, w64, rf64, aiff, flac, caf, au, "
                     "ogg, opus or mp3 (needed for - unless WAV)")
        ->type_name("NAME")
        ->check(CLI::IsMember(typeNames(), CLI::ignore_case));
    options->qualityOption =
        command
            ->add_option("--quality", options->quality,
                         "Ogg Vorbis, Opus and MP3 outputs: libsndfile's VBR quality, 0 (smallest) "
                         "to 1 (best)")
            ->type_name("Q")
            ->check(CLI::Range(0.0, 1.0));
    command
        ->add_option("--threads", options->threads, "Worker threads (default: the cores, up to 8)")
        ->check(CLI::Range(1, 64));
    command->add_flag("--quiet,-q", options->quiet, "Print nothing but errors and warnings");
    command->add_flag(
        "--json", options->json,
        "Print one JSON object on stdout (stderr when OUTPUT is -) at the end: input, "
        "parameters, peak, gain, attenuation_db, output, seconds_taken");
    command->footer(std::string(kFooter) + "\n\n" + kTrackingErrorSignText);
    command->callback([options, &outcome] {
        try {
            outcome.exitCode = render(*options);
        } catch (const RenderFailure& failure) {
            std::fprintf(stderr, "cartrivex-cli render: %s\n", failure.what());
            outcome.exitCode = failure.exitCode();
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "cartrivex-cli render: not enough memory\n");
            outcome.exitCode = kExitFileError;
        }
    });
}
