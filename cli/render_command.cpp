#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/audio_file.hpp"
#include "audio/audio_output.hpp"
#include "audio/file_render.hpp"
#include "audio/output_format.hpp"
#include "audio/tip_correction.hpp"
#include "cli/chain_command.hpp"
#include "cli/cli_options.hpp"
#include "cli/commands.hpp"
#include "cli/geometry_options.hpp"
#include "cli/progress.hpp"
#include "cli/stylus_options.hpp"
#include "dsp/coefficient_set.hpp"
#include "engine/streaming_chain.hpp"
#include "files/safe_output.hpp"
#include "wave/output_quantiser.hpp"

namespace {

constexpr int kLowestRate = 32000;
constexpr int kHighestRate = 192000;
constexpr int kMostChannels = 2;

struct RenderOptions {
    const ChainCommandText* text = nullptr;  // render's or correct's
    std::string inputPath;
    std::string outputPath;
    DiscOptions disc;
    GeometryOptions geometry;   // --arm, --alignment, --mounting, --standard, --linear
    StylusOptions stylus;       // --model, --vta, --cutting-angle, --pivot-raise, --stylus
    StylusChoice stylusChoice;  // what they give, once resolved
    double from = 0.0;          // mm: the radius at the first sample, with --to at the last
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
    int iterations = 8;  // correct with a tip's shape: the most passes
};

// Render's side is worded in the names of its --help: MM for every radius.
const SideWords kRenderSideWords = {"no groove radius: give --radius MM, or --from MM --to MM",
                                    ": the radius must be a finite number above 0"};

bool given(const CLI::Option* option) {
    return option != nullptr && option->count() > 0;
}

std::optional<double> qualityOf(const RenderOptions& options) {
    return given(options.qualityOption) ? std::optional<double>(options.quality) : std::nullopt;
}

// The arm of --arm, --alignment or --linear, which must play every radius of the side.
Tonearm armPlaying(const RenderOptions& options, const SideGeometry& side) {
    SideGeometry geometry;
    std::string message;
    if (!resolveGeometry(options.geometry, geometry, message)) {
        usageError(message);
    }
    const double lowest = std::min(side.fromRadius, side.toRadius);
    const double highest = std::max(side.fromRadius, side.toRadius);
    std::string reason;
    if (!armReachesArea(geometry.arm, lowest, highest, reason)) {
        usageError("the arm cannot play the side: " + reason);
    }
    return geometry.arm;
}

// The settings of the chain from the options: the one place where what the user asked for
// becomes what the chain runs with. A fixed --angle at a constant --radius is the interactive
// program's chain; an arm, or a radius that moves from --from to --to, makes the tracking tangent
// and the groove velocity follow the radius sample by sample.
ChainSettings chainSettingsFor(RenderOptions& options) {
    const bool armGiven = geometryGiven(options.geometry);
    const bool angleGiven = given(options.angleOption);
    if (armGiven && angleGiven) {
        usageError(
            "--angle and --arm, --alignment or --linear exclude each other: give one tracking "
            "error");
    }
    if (!armGiven && !angleGiven) {
        usageError(
            "no tracking error: give --angle DEG, --arm L,D,BETA, --alignment NAME --mounting D "
            "or --linear");
    }
    const SideOptions sideOptions{options.radiusOption, options.disc.radius, options.fromOption,
                                  options.from,         options.toOption,    options.to};
    SideGeometry side;
    std::string message;
    if (!resolveSide(sideOptions, kRenderSideWords, true, side, message)) {
        usageError(message);
    }
    ChainSettings settings;
    DiscOptions disc = options.disc;
    disc.radius = side.fromRadius;  // --from's, checked; a moving side does not use it
    if (!discParametersFrom(disc, settings.disc, message)) {
        usageError(message);
    }
    settings.threadCount = options.threads;
    settings.direction = options.text->direction;
    Tonearm arm;
    arm.fixedAngleDegrees = disc.angle;
    if (armGiven) {
        arm = armPlaying(options, side);
    }
    if (!resolveStylus(options.stylus, armGiven ? &arm : nullptr, options.stylusChoice, message)) {
        usageError(message);
    }
    settings.model = options.stylusChoice.model;
    settings.stylus = options.stylusChoice.angles;
    settings.tip = options.stylusChoice.tip;
    if (!armGiven && !given(options.fromOption)) {
        return settings;
    }
    settings.moving = true;
    settings.path.arm = arm;
    settings.path.fromRadius = side.fromRadius;
    settings.path.toRadius = side.toRadius;
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

// Opens INPUT and checks that it can be rendered as asked.
void openInput(const RenderOptions& options, const RenderNames& names, AudioReader& reader) {
    const bool fromPipe = options.inputPath == "-";
    std::string reason;
    if (!(fromPipe ? reader.openStandardInput(reason) : reader.open(options.inputPath, reason))) {
        fileError("cannot read " + names.input + ": " + reason);
    }
    const AudioInfo& input = reader.info();
    if (input.channelCount < 1 || input.channelCount > kMostChannels) {
        fileError(names.input + " has " + std::to_string(input.channelCount) +
                  " channels; only mono and stereo files can be rendered");
    }
    if (input.sampleRate < kLowestRate || input.sampleRate > kHighestRate) {
        fileError(names.input + " has a sample rate of " + std::to_string(input.sampleRate) +
                  " Hz; rates from 32000 to 192000 Hz can be rendered");
    }
    if (!input.lengthKnown && (given(options.fromOption) || given(options.toOption))) {
        usageError("--from and --to spread the side over the input's length, which " +
                   (fromPipe ? std::string("a pipe does not tell")
                             : names.input + " does not tell (its end is missing)") +
                   ": pass the whole file");
    }
}

nlohmann::json formatJson(const AudioFormat& format) {
    const int bits = encodingBits(format.encoding);
    return {{"format", containerName(format.container)},
            {"encoding", encodingName(format.encoding)},
            {"bits", bits > 0 ? nlohmann::json(bits) : nlohmann::json(nullptr)}};
}

// The chain's parameters as the report gives them: the disc, and the side the arm crossed.
nlohmann::json parametersJson(const ChainSettings& settings, const StylusChoice& stylus) {
    nlohmann::json parameters = {{"rpm", settings.disc.revolutionsPerMinute},
                                 {"amplitude", settings.disc.fullScaleLateralAmplitude},
                                 {"threads", settings.threadCount}};
    addStylusJson(stylus, parameters);
    if (!settings.moving) {
        parameters["radius"] = settings.disc.grooveRadius;
        parameters["angle"] = settings.disc.trackingErrorDegrees;
        return parameters;
    }
    const GroovePath& path = settings.path;
    parameters["from_mm"] = path.fromRadius;
    parameters["to_mm"] = path.toRadius;
    parameters["error_at_start_deg"] = trackingErrorDegrees(path.arm, path.fromRadius);
    parameters["error_at_end_deg"] = trackingErrorDegrees(path.arm, path.toRadius);
    if (path.arm.kind == Tonearm::Kind::FixedAngle) {
        parameters["angle"] = path.arm.fixedAngleDegrees;
    } else if (path.arm.kind == Tonearm::Kind::Pivoted) {
        parameters["arm"] = {{"effective_length_mm", path.arm.effectiveLength},
                             {"pivot_to_spindle_mm", path.arm.pivotToSpindle},
                             {"offset_deg", path.arm.offsetDegrees}};
    } else {
        parameters["arm"] = "linear";
    }
    return parameters;
}

// What a finished render tells.
struct RenderReport {
    const ChainSettings& settings;
    const AudioInfo& input;
    const AudioFormat& output;
    const RenderResult& result;
    const std::vector<std::string>& warnings;
    double seconds;                        // taken by the whole run
    const TipCorrectionResult* tipPasses;  // correct with a tip's shape: how the passes went
};

nlohmann::json decibelsJson(double decibels) {
    return std::isfinite(decibels) ? nlohmann::json(decibels) : nlohmann::json(nullptr);
}

// How correct undid a tip's shape: the residual of every pass, in dB against INPUT's energy.
void addTipPassesJson(const RenderOptions& options, const TipCorrectionResult& tip,
                      nlohmann::json& report) {
    report["iterations"] = options.iterations;
    report["initial_residual_db"] = decibelsJson(tip.passes.front().residualDecibels);
    report["passes"] = nlohmann::json::array();
    for (std::size_t k = 1; k < tip.passes.size(); ++k) {
        report["passes"].push_back({{"pass", tip.passes[k].pass},
                                    {"residual_db", decibelsJson(tip.passes[k].residualDecibels)}});
    }
    report["best_pass"] = tip.bestPass;
    report["residual_db"] = decibelsJson(tip.bestResidualDecibels);
    report["final_residual_db"] = decibelsJson(tip.finalResidualDecibels);
    report["converged"] = tip.converged;
    report["stopped"] = tip.stop == TipCorrectionStop::Limit ? "limit" : "stalled";
}

nlohmann::json reportJson(const RenderOptions& options, const RenderReport& run) {
    nlohmann::json report;
    report["input"] = formatJson(run.input.format);
    report["input"]["path"] = options.inputPath;
    report["input"]["rate"] = run.input.sampleRate;
    report["input"]["channels"] = run.input.channelCount;
    report["input"]["frames"] = run.result.frames;
    report["input"]["seconds"] = static_cast<double>(run.result.frames) / run.input.sampleRate;
    report["parameters"] = parametersJson(run.settings, options.stylusChoice);
    report["peak"] = run.result.peak;
    report["gain"] = run.result.gain;
    report["attenuation_db"] = attenuationDecibels(run.result.gain);
    report["output"] = formatJson(run.output);
    report["output"]["path"] = options.outputPath;
    if (given(options.qualityOption)) {
        report["output"]["quality"] = options.quality;
    }
    if (run.tipPasses != nullptr) {
        addTipPassesJson(options, *run.tipPasses, report);
    }
    if (!run.warnings.empty()) {
        report["warnings"] = run.warnings;
    }
    report["seconds_taken"] = run.seconds;
    return report;
}

void printSummary(const RenderNames& names, const RenderReport& run) {
    std::fprintf(stderr, "%s: %.2f s of audio written in %.2f s", names.output.c_str(),
                 static_cast<double>(run.result.frames) / run.input.sampleRate, run.seconds);
    if (run.result.gain != 1.0) {
        std::fprintf(stderr, ", attenuated by %s dB to prevent clipping",
                     numberText(attenuationDecibels(run.result.gain)).c_str());
    }
    if (run.tipPasses != nullptr) {
        const TipCorrectionResult& tip = *run.tipPasses;
        std::fprintf(stderr,
                     "; the tip's shape: pass %d of %zu kept, residual %.1f dB, rendered back "
                     "%.1f dB from the input",
                     tip.bestPass, tip.passes.size() - 1, tip.bestResidualDecibels,
                     tip.finalResidualDecibels);
    }
    std::fprintf(stderr, "\n");
}

// The report at the end: JSON on request, else the closing line unless --quiet.
void tell(const RenderOptions& options, const RenderNames& names, const RenderReport& run) {
    if (options.json) {
        // Standard output carries the audio when OUTPUT is "-": the report goes to stderr. A
        // file name need not be UTF-8: bytes that are not are shown as U+FFFD.
        (options.outputPath == "-" ? std::cerr : std::cout)
            << reportJson(options, run)
                   .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
            << '\n';
        // The audio is in place by now; a report that could not be written is still a failure
        // that a script must see, not a run that looks done.
        if (options.outputPath != "-") {
            std::fflush(stdout);
            if (std::ferror(stdout) || !std::cout) {
                fileError("cannot write the report to the standard output (" + names.output +
                          " was written)");
            }
        }
    } else if (!options.quiet) {
        printSummary(names, run);
    }
}

// correct with a tip's shape: the tracking undone in one pass, the tip by iteration (see
// audio/tip_correction.hpp). A line a pass on a terminal, where the progress line is drawn.
TipCorrectionResult correctTip(const RenderOptions& options, const ChainSettings& settings,
                               AudioReader& reader, AudioOutput& output, const OutputPlan& plan,
                               ProgressBar& progress, const RenderNames& names) {
    TipCorrectionRun run;
    run.iterations = options.iterations;
    run.onPass = [&progress](const TipPass& pass) {
        if (!progress.drawing()) {
            return;
        }
        progress.clear();
        if (pass.pass == 0) {
            std::fprintf(stderr, "the tip's shape added %.1f dB\n", pass.residualDecibels);
        } else {
            std::fprintf(stderr, "pass %d: residual %.1f dB\n", pass.pass, pass.residualDecibels);
        }
    };
    TipCorrectionResult result;
    std::string message;
    if (!correctTipFile(reader, settings, output, plan, qualityOf(options), progress, names, run,
                        result, message)) {
        fileError(message);
    }
    return result;
}

// What a correction that did not converge could not undo, as a warning; "" when it converged.
std::string tipWarning(const TipCorrectionResult& tip, const RenderNames& names) {
    if (tip.converged) {
        return "";
    }
    char residual[32];
    std::snprintf(residual, sizeof residual, "%.1f dB", tip.bestResidualDecibels);
    const std::string kept = names.output + " holds pass " + std::to_string(tip.bestPass) +
                             (tip.bestPass == 0 ? " (the tracking undone only)" : "") +
                             ", the closest";
    if (tip.stop == TipCorrectionStop::Limit) {
        return "the tip's shape is undone to " + std::string(residual) + " after " +
               std::to_string(tip.passes.size() - 1) +
               " passes and the residual was still falling: more --iterations would take it "
               "further; " +
               kept;
    }
    return "the residual stopped falling at " + std::string(residual) +
           ": where the groove is sharper than the tip, the tip skates over the crests and what "
           "it did not trace cannot be undone; " +
           kept;
}

int runRender(RenderOptions& options) {
    const auto started = std::chrono::steady_clock::now();

    // The options first: a usage error is reported before any file is touched.
    ChainSettings settings = chainSettingsFor(options);
    const bool toPipe = options.outputPath == "-";
    const RenderNames names{options.inputPath == "-" ? "standard input" : options.inputPath,
                            toPipe ? "standard output" : options.outputPath};
    if (toPipe && ::isatty(STDOUT_FILENO) == 1) {
        usageError(
            "standard output is a terminal: pipe it into another program, redirect it to a "
            "file, or name an OUTPUT file");
    }
    CoefficientSet coefficients;
    std::string message;
    if (!loadCoefficientSet(programDirectory(), coefficients, message)) {
        fileError(message);
    }
    AudioReader reader;
    openInput(options, names, reader);
    const AudioInfo& input = reader.info();
    OutputPlan plan;
    if (!planOutput({options.outputPath, options.type, options.bits, qualityOf(options)}, input,
                    plan, message)) {
        usageError(message);
    }

    installOutputSignalHandlers();
    AudioOutput output;
    if (!output.begin(options.outputPath, message)) {
        fileError("cannot write " + names.output + ": " + message);
    }
    fitToInput(settings, input, coefficients);
    if (!tipTraceable(settings, message)) {
        usageError("--stylus " + message);
    }
    ProgressBar progress(!options.quiet);
    RenderResult result;
    std::optional<TipCorrectionResult> tipPasses;
    if (settings.direction == TimingDirection::Undo && !settings.tip.point()) {
        tipPasses = correctTip(options, settings, reader, output, plan, progress, names);
        result = tipPasses->written;
    } else {
        StreamingChain chain(settings);
        if (!renderFile(reader, chain, output, plan, qualityOf(options), progress, names, result,
                        message)) {
            fileError(message);
        }
    }
    progress.clear();
    std::vector<std::string> warnings;
    const std::string endWarning = reader.endWarning(names.input);
    if (!endWarning.empty()) {
        warnings.push_back(endWarning);
    }
    if (tipPasses) {
        const std::string notUndone = tipWarning(*tipPasses, names);
        if (!notUndone.empty()) {
            warnings.push_back(notUndone);
        }
    }
    for (const std::string& warning : warnings) {
        std::fprintf(stderr, "cartrivex-cli %s: warning: %s\n", options.text->name,
                     warning.c_str());
    }
    const RenderReport run{
        settings,
        input,
        output.format(),
        result,
        warnings,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
        tipPasses ? &*tipPasses : nullptr};
    tell(options, names, run);
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

const ChainCommandText kRenderText = {
    "render", "Run a recording through the pickup's tracking error, any length, any format",
    "The recording to render; - reads stdin", "", TimingDirection::Play};

}  // namespace

Subcommand addRenderCommand(CLI::App& program) {
    return addChainCommand(program, kRenderText);
}

Subcommand addChainCommand(CLI::App& program, const ChainCommandText& text) {
    auto options = std::make_shared<RenderOptions>();
    options->text = &text;
    CLI::App* command = program.add_subcommand(text.name, text.description);
    command->add_option("INPUT", options->inputPath, text.inputHelp)->required();
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
    addStylusOptions(*command, options->stylus);
    if (text.direction == TimingDirection::Undo) {
        command
            ->add_option("--iterations", options->iterations,
                         "With a --stylus shape: the most passes that undo it (default 8)")
            ->type_name("N")
            ->check(CLI::Range(1, kMostIterations));
    }
    command->footer(std::string(text.footerIntroduction) + kFooter + "\n\n" +
                    kTrackingErrorSignText + "\n\n" + kStylusModelText);
    return {command, [options] { return runRender(*options); }};
}
