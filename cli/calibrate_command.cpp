#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/distortion_analysis.hpp"
#include "analysis/tone_calibration.hpp"
#include "audio/audio_file.hpp"
#include "cli/cli_options.hpp"
#include "cli/commands.hpp"
#include "cli/geometry_options.hpp"
#include "cli/plot_file.hpp"
#include "dsp/groove_geometry.hpp"

// calibrate reads a test record's reference band from a transfer and gives the --amplitude that
// makes the chain's groove what the record holds (the derivation is in
// analysis/tone_calibration.hpp), with the tone's level, H2, H3 and the tracking error that H2
// would mean.

namespace {

constexpr double kLongestDefaultSeconds = 10.0;  // taken when --seconds is not given
constexpr double kLongestSeconds = 30.0;         // the most a window is read and fitted
constexpr double kShortestSeconds = 0.1;
constexpr int kFewestPeriods = 20;
constexpr double kLeastSignalToRest = 20.0;  // dB the tone must stand above the rest
constexpr double kLeastPeak = 1.0;           // 16-bit units: -90 dBFS

struct CalibrateOptions {
    std::string inputPath;
    double tone = 0.0;      // Hz
    double velocity = 0.0;  // cm/s
    std::string channel = "mid";
    double start = 0.0;  // s
    double seconds = 0.0;
    double radius = 0.0;  // mm
    std::string rpm = "33";
    bool json = false;
    CLI::Option* secondsOption = nullptr;
    CLI::Option* radiusOption = nullptr;
};

std::string text(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// The options' values that need no file, checked before it is opened.
void checkValues(const CalibrateOptions& options, MeasureChannel& channel, double& rpm) {
    if (!parseMeasureChannel(options.channel, channel)) {
        usageError("--channel " + options.channel + ": the channels are mid, side, left and right");
    }
    if (!std::isfinite(options.tone) || !(options.tone >= 10.0)) {
        usageError("--tone " + numberText(options.tone) + ": the tone must be 10 Hz or more");
    }
    if (!std::isfinite(options.velocity) || !(options.velocity > 0.0)) {
        usageError("--velocity " + numberText(options.velocity) +
                   ": not a positive velocity in cm/s");
    }
    if (!std::isfinite(options.start) || !(options.start >= 0.0)) {
        usageError("--start " + numberText(options.start) + ": not a time of 0 s or more");
    }
    if (options.secondsOption->count() > 0 &&
        (!std::isfinite(options.seconds) || !(options.seconds > 0.0) ||
         options.seconds > kLongestSeconds)) {
        usageError("--seconds " + numberText(options.seconds) +
                   ": the window is more than 0 and at most 30 s long (a steady band needs no "
                   "more)");
    }
    if (options.radiusOption->count() > 0 &&
        (!std::isfinite(options.radius) || !(options.radius > 0.0))) {
        usageError("--radius " + numberText(options.radius) +
                   ": the radius must be a finite number above 0");
    }
    if (!parseRevolutionsPerMinute(options.rpm, rpm)) {
        usageError("--rpm " + options.rpm + ": the speed must be 33, 45, 78 or a positive number");
    }
}

// The window of INPUT the tone is read from, as the chain takes its samples.
std::vector<double> readWindow(const CalibrateOptions& options, const std::string& name,
                               AudioReader& reader) {
    std::string reason;
    if (!(options.inputPath == "-" ? reader.openStandardInput(reason)
                                   : reader.open(options.inputPath, reason))) {
        fileError("cannot read " + name + ": " + reason);
    }
    const AudioInfo& info = reader.info();
    if (info.channelCount < 1 || info.channelCount > 2) {
        fileError(name + " has " + std::to_string(info.channelCount) +
                  " channels; only mono and stereo files can be calibrated from");
    }
    const auto first = static_cast<std::int64_t>(std::llround(options.start * info.sampleRate));
    const double seconds =
        options.secondsOption->count() > 0 ? options.seconds : kLongestDefaultSeconds;
    const auto wanted = static_cast<std::int64_t>(std::llround(seconds * info.sampleRate));
    std::vector<double> frames;
    std::vector<double> block(static_cast<std::size_t>(4096 * info.channelCount));
    for (std::int64_t at = 0; at < first + wanted;) {
        const std::int64_t count = std::min<std::int64_t>(4096, first + wanted - at);
        const std::int64_t got = reader.read(block.data(), count, reason);
        if (got < 0) {
            fileError("cannot read " + name + ": " + reason);
        }
        if (got == 0) {
            break;
        }
        for (std::int64_t m = std::max<std::int64_t>(at, first); m < at + got; ++m) {
            for (int c = 0; c < info.channelCount; ++c) {
                frames.push_back(block[static_cast<std::size_t>((m - at) * info.channelCount + c)]);
            }
        }
        at += got;
    }
    return frames;
}

// The tone's fit, refused where the window is too short or holds no tone near the one asked.
void checkTone(const CalibrateOptions& options, const std::string& name, double windowSeconds,
               const Calibration& found) {
    if (!(found.peak >= kLeastPeak) || !(found.signalToRestDecibels >= kLeastSignalToRest)) {
        fileError("no tone near " + numberText(options.tone) + " Hz in the " + options.channel +
                  " of " + name + " from " + text("%.3g", options.start) + " s for " +
                  text("%.3g", windowSeconds) + " s: the strongest component there, at " +
                  text("%.2f", found.tone.frequency) + " Hz, is " +
                  text("%.1f", 20 * std::log10(std::max(found.peak, 1e-300) / 32768)) +
                  " dBFS and stands " + text("%.1f", found.signalToRestDecibels) +
                  " dB above the rest of the signal (a reference tone stands 20 dB above it or "
                  "more): give --start and --seconds of the reference band");
    }
}

nlohmann::json number(double value) {
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

// What a calibration found, as the report tells it.
struct Reading {
    const CalibrateOptions& options;
    const Calibration& found;
    MeasureChannel channel;
    double rpm;
    double grooveVelocity;  // mm/s, 0 without --radius
    double windowSeconds;
};

double impliedErrorDegrees(const Reading& reading) {
    return std::atan(reading.found.timingFactor) * 180 / std::numbers::pi;
}

nlohmann::json reportJson(const Reading& reading) {
    const CalibrateOptions& options = reading.options;
    const Calibration& found = reading.found;
    nlohmann::json report = {{"input", options.inputPath},
                             {"channel", options.channel},
                             {"tone_hz", options.tone},
                             {"velocity_cm_s", options.velocity},
                             {"start_s", options.start},
                             {"seconds", reading.windowSeconds},
                             {"frequency_hz", found.tone.frequency},
                             {"peak", found.peak},
                             {"level_dbfs", 20 * std::log10(found.peak / 32768)},
                             {"signal_to_rest_db", found.signalToRestDecibels},
                             {"amplitude_mm", found.fullScaleAmplitude},
                             {"h2_percent", number(100 * found.h2)},
                             {"h3_percent", number(100 * found.h3)},
                             {"h2_phase_deg", number(found.h2PhaseDegrees)},
                             {"modulation_index", number(found.modulationIndex)}};
    if (reading.grooveVelocity > 0.0) {
        report["radius_mm"] = options.radius;
        report["rpm"] = reading.rpm;
        report["groove_velocity_mm_s"] = reading.grooveVelocity;
        if (reading.channel == MeasureChannel::Side) {
            report["vertical_slope_difference"] = number(-found.timingFactor);
        } else {
            report["tracking_error_deg"] = number(impliedErrorDegrees(reading));
        }
    }
    return report;
}

void printText(const Reading& reading) {
    const CalibrateOptions& options = reading.options;
    const Calibration& found = reading.found;
    std::printf(
        "tone       %.3f Hz in the %s (asked %s Hz), peak %.1f: %.2f dBFS, %.1f dB above the "
        "rest\n",
        found.tone.frequency, options.channel.c_str(), numberText(options.tone).c_str(), found.peak,
        20 * std::log10(found.peak / 32768), found.signalToRestDecibels);
    std::printf("amplitude  %.6g mm per full scale for %s cm/s: --amplitude %.6g\n",
                found.fullScaleAmplitude, numberText(options.velocity).c_str(),
                found.fullScaleAmplitude);
    if (std::isfinite(found.h2)) {
        std::printf(
            "H2         %.4f %% (%.2f dB), %+.1f degrees from twice the fundamental's phase in "
            "the groove\n",
            100 * found.h2, 20 * std::log10(found.h2), found.h2PhaseDegrees);
    }
    if (std::isfinite(found.h3)) {
        std::printf("H3         %.4f %% (%.2f dB)\n", 100 * found.h3, 20 * std::log10(found.h3));
    }
    if (!(reading.grooveVelocity > 0.0)) {
        return;
    }
    const std::string where = numberText(options.radius) + " mm, " + options.rpm + " rpm";
    if (!std::isfinite(found.timingFactor)) {
        std::printf("H2 is larger than any tracking error can make it at %s\n", where.c_str());
    } else if (reading.channel == MeasureChannel::Side) {
        std::printf(
            "were H2 all vertical tracking distortion: tan(VTA) - tan(cutting angle) = %+.5f at "
            "%s\n",
            -found.timingFactor, where.c_str());
    } else {
        std::printf(
            "were H2 all tracking distortion: a tracking error of %+.3f degrees at %s (e = "
            "%+.6f)\n",
            impliedErrorDegrees(reading), where.c_str(), found.modulationIndex);
    }
}

int runCalibrate(const CalibrateOptions& options) {
    MeasureChannel channel = MeasureChannel::Mid;
    double rpm = 100.0 / 3;
    checkValues(options, channel, rpm);
    const std::string name = options.inputPath == "-" ? "standard input" : options.inputPath;
    AudioReader reader;
    const std::vector<double> frames = readWindow(options, name, reader);
    const AudioInfo& info = reader.info();
    if (info.channelCount == 1 && channel != MeasureChannel::Mid) {
        usageError("--channel " + options.channel + ": " + name +
                   " is mono, one lateral channel; only --channel mid applies");
    }
    if (!(options.tone < info.sampleRate / 4.0)) {
        usageError("--tone " + numberText(options.tone) +
                   ": the tone must lie below a quarter of the sample rate (" +
                   text("%g", info.sampleRate / 4.0) +
                   " Hz), so that its second harmonic can be read");
    }
    const std::vector<double> signal = channelSignal(frames, info.channelCount, channel);
    const double windowSeconds = static_cast<double>(signal.size()) / info.sampleRate;
    const double shortest = std::max(kShortestSeconds, kFewestPeriods / options.tone);
    if (windowSeconds < shortest) {
        fileError(name + " holds " + text("%.3f", windowSeconds) + " s from --start " +
                  numberText(options.start) + " s; reading the tone needs at least " +
                  text("%.3f", shortest) + " s");
    }
    CalibrationRequest request;
    request.toneFrequency = options.tone;
    request.peakVelocity = options.velocity * 10.0;
    request.channel = channel;
    request.sampleRate = info.sampleRate;
    if (options.radiusOption->count() > 0) {
        request.grooveVelocity = grooveVelocityAt(options.radius, rpm);
    }
    const Calibration found = calibrateTone(signal, request);
    checkTone(options, name, windowSeconds, found);
    const Reading reading{options, found, channel, rpm, request.grooveVelocity, windowSeconds};
    return finishReport(
        "", [] { return PlotFigure(); }, options.json, [&] { return reportJson(reading); },
        [&] { printText(reading); });
}

constexpr const char* kFooter =
    "A test record's reference band is a tone of known peak velocity, e.g. 1 kHz at 5 cm/s.\n"
    "Transferred through the same chain as the records to correct, it tells how many\n"
    "millimetres of groove a full-scale sample stands for: the --amplitude for render and\n"
    "correct. The chain turns a sample value into displacement through the recording filter\n"
    "(gain G(f)) and --amplitude a (mm at 32768): a tone of peak A in the channel is\n"
    "A G(f) a / 32768 along its axis (times 0.7071 for a wall: a left-only sample moves the\n"
    "lateral and vertical displacements by half of it each). A tone cut at V along that axis is\n"
    "V / (2 pi f) in the groove, so a = 32768 V / (2 pi f A G(f) w), w = 1 or 0.7071.\n"
    "\n"
    "--velocity is along the channel's axis, as measure takes it: lateral for mid (L = R),\n"
    "vertical for side (L = -R), the wall's own for left and right (a one-channel band).\n"
    "The tone is looked for within 3 % of --tone (a turntable's speed error moves it), over\n"
    "--seconds from --start (by default the rest of the file, at most 10 s): leave out the\n"
    "needle drop and the band's edges. It must stand 20 dB above the rest of the signal.\n"
    "\n"
    "H2 and H3 are read with the fundamental by least squares at the measured frequency. With\n"
    "--radius (and --rpm), H2 is read as if it were all tracking distortion: the tracking error\n"
    "whose phase modulation gives that H2 after the playback filter (for --channel side, the\n"
    "vertical tracking error's tan(VTA) - tan(cutting angle)). Its sign comes from the phase\n"
    "of H2 in the groove: a positive error plays an outward excursion early, which puts H2 90\n"
    "degrees ahead of twice the fundamental's phase. Tracing distortion and the pickup's own\n"
    "add to H2, so take it as an upper bound on the error.\n"
    "\n"
    "Exit codes: 0 done, 1 INPUT cannot be read, is too short, or holds no tone there, 2 a\n"
    "usage error.";

}  // namespace

Subcommand addCalibrateCommand(CLI::App& program) {
    auto options = std::make_shared<CalibrateOptions>();
    CLI::App* command = program.add_subcommand(
        "calibrate",
        "Read --amplitude, the tone's level, H2, H3 and the tracking error from a "
        "transfer of a test record's reference band");
    command->add_option("INPUT", options->inputPath, "The transfer; - reads stdin")->required();
    command->add_option("--tone", options->tone, "The reference tone's frequency, Hz")
        ->type_name("HZ")
        ->required();
    command
        ->add_option("--velocity", options->velocity,
                     "Its peak velocity in cm/s along the channel's axis, as the record states it")
        ->type_name("CM_S")
        ->required();
    command
        ->add_option("--channel", options->channel,
                     "Where the tone is: mid (L = R, the default), side (L = -R), left or right")
        ->type_name("CHANNEL");
    command->add_option("--start", options->start, "Where the window starts, s (default 0)")
        ->type_name("S");
    options->secondsOption =
        command
            ->add_option("--seconds", options->seconds,
                         "The window's length, s, at most 30 (default: the rest of the file, at "
                         "most 10 s)")
            ->type_name("S");
    options->radiusOption =
        command
            ->add_option("--radius", options->radius,
                         "Where the band lies, mm: H2 read as a tracking error there")
            ->type_name("MM");
    command->add_option("--rpm", options->rpm, "Turntable speed: 33 (default), 45, 78 or N")
        ->type_name("R");
    command->add_flag("--json", options->json, "Print one JSON object on stdout");
    command->footer(kFooter);
    return {command, [options] { return runCalibrate(*options); }};
}
