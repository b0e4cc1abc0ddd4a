#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/render_difference.hpp"
#include "audio/audio_file.hpp"
#include "cli/commands.hpp"
#include "cli/plot_file.hpp"
#include "files/safe_output.hpp"

// What a render added to a piece of music, by time and by frequency (analysis/render_difference).

namespace {

constexpr std::int64_t kBlockFrames = 16384;

struct CompareOptions {
    std::string original;
    std::string rendered;
    double windowSeconds = 0.5;
    std::string plot;
    bool json = false;
};

nlohmann::json number(double value) {
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

std::string dbText(double value) {
    char buffer[32];
    if (std::isnan(value)) {
        return "-";
    }
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

// Why two files cannot be compared: another rate, channel count or length.
std::string misalignment(const CompareOptions& options, const AudioInfo& a, const AudioInfo& b) {
    std::ostringstream message;
    message << "the two files do not line up: " << options.original << " has " << a.frameCount
            << " frames of " << a.channelCount << " channels at " << a.sampleRate << " Hz, "
            << options.rendered << " " << b.frameCount << " frames of " << b.channelCount
            << " channels at " << b.sampleRate
            << " Hz; compare takes a render and the file it was rendered from";
    return message.str();
}

// Both files read in step, a block at a time, into the analysis.
DifferenceReport compareFiles(const CompareOptions& options, AudioReader& original,
                              AudioReader& rendered) {
    const AudioInfo& a = original.info();
    const int channels = a.channelCount;
    const std::int64_t windowFrames =
        std::max<std::int64_t>(1, std::llround(options.windowSeconds * a.sampleRate));
    DifferenceAnalysis analysis(channels, a.sampleRate, a.frameCount, windowFrames);
    std::vector<double> originalBlock(static_cast<std::size_t>(kBlockFrames * channels));
    std::vector<double> renderedBlock(originalBlock.size());
    std::string reason;
    for (std::int64_t position = 0; position < a.frameCount;) {
        const std::int64_t want = std::min(kBlockFrames, a.frameCount - position);
        const std::int64_t gotA = original.read(originalBlock.data(), want, reason);
        const std::int64_t gotB =
            gotA == want ? rendered.read(renderedBlock.data(), want, reason) : gotA;
        if (gotA != want || gotB != want) {
            fileError("cannot read " + (gotA != want ? options.original : options.rendered) +
                      " on: " + (reason.empty() ? "it ends early" : reason));
        }
        analysis.add(originalBlock.data(), renderedBlock.data(), want);
        position += want;
    }
    return analysis.report();
}

PlotFigure compareFigure(const CompareOptions& options, const DifferenceReport& report) {
    PlotPanel timePanel;
    timePanel.title = "Difference (rendered - original) against the original, by window";
    timePanel.xLabel = "time (s)";
    timePanel.yLabel = "difference (dB)";
    PlotSeries byTime;
    byTime.label = "difference";
    for (const DifferenceWindow& window : report.windows) {
        const double db = differenceLevelDb(window.differencePower, window.originalPower);
        if (std::isfinite(db)) {
            byTime.x.push_back(window.start + window.seconds / 2);
            byTime.y.push_back(db);
        }
    }
    timePanel.series = {byTime};
    PlotPanel spectrumPanel;
    spectrumPanel.title = "Average spectrum (Hann, 4096 points)";
    spectrumPanel.xLabel = "frequency (Hz)";
    spectrumPanel.yLabel = "level (dB full scale)";
    PlotSeries originalSeries;
    PlotSeries differenceSeries;
    originalSeries.label = "original";
    differenceSeries.label = "difference";
    differenceSeries.colour = 1;
    for (std::size_t k = 1; k < report.originalDb.size(); ++k) {
        if (std::isfinite(report.originalDb[k])) {
            originalSeries.x.push_back(k * report.binHz);
            originalSeries.y.push_back(report.originalDb[k]);
        }
        if (std::isfinite(report.differenceDb[k])) {
            differenceSeries.x.push_back(k * report.binHz);
            differenceSeries.y.push_back(report.differenceDb[k]);
        }
    }
    spectrumPanel.series = {originalSeries, differenceSeries};
    PlotFigure figure;
    figure.title = "What the render added: " + options.rendered + " against " + options.original;
    figure.panels = {timePanel, spectrumPanel};
    return figure;
}

nlohmann::json reportJson(const DifferenceReport& report) {
    nlohmann::json document;
    document["difference_db"] = number(report.overallDb);
    document["windows"] = nlohmann::json::array();
    for (const DifferenceWindow& window : report.windows) {
        document["windows"].push_back(
            {{"start_s", window.start},
             {"seconds", window.seconds},
             {"difference_db",
              number(differenceLevelDb(window.differencePower, window.originalPower))}});
    }
    document["spectrum"] = nlohmann::json::array();
    for (std::size_t k = 0; k < report.originalDb.size(); ++k) {
        document["spectrum"].push_back({{"hz", k * report.binHz},
                                        {"original_db", number(report.originalDb[k])},
                                        {"difference_db", number(report.differenceDb[k])}});
    }
    return document;
}

void printText(const CompareOptions& options, const DifferenceReport& report, int sampleRate) {
    std::printf("Difference (rendered - original) against the original: %s dB overall\n\n",
                dbText(report.overallDb).c_str());
    std::printf("%10s %9s %15s\n", "start s", "seconds", "difference dB");
    for (const DifferenceWindow& window : report.windows) {
        std::printf(
            "%10.3f %9.3f %15s\n", window.start, window.seconds,
            dbText(differenceLevelDb(window.differencePower, window.originalPower)).c_str());
    }
    if (report.hasSpectrum) {
        std::printf("\nAverage spectrum by octave (dB full scale, the loudest bin of each)\n");
        std::printf("%12s %12s %14s\n", "band Hz", "original", "difference");
        for (const OctaveBand& band : octaveBands(report, sampleRate)) {
            char range[32];
            std::snprintf(range, sizeof range, "%.0f-%.0f", band.low, band.high);
            std::printf("%12s %12s %14s\n", range, dbText(band.originalDb).c_str(),
                        dbText(band.differenceDb).c_str());
        }
    }
    if (!options.plot.empty()) {
        std::printf("\nPlot written to %s\n", options.plot.c_str());
    }
}

int runCompare(const CompareOptions& options) {
    if (!std::isfinite(options.windowSeconds) || !(options.windowSeconds > 0.0)) {
        std::ostringstream message;
        message << "--window " << options.windowSeconds << ": not a positive number of seconds";
        usageError(message.str());
    }
    installOutputSignalHandlers();  // an interrupted plot is never left half-written
    AudioReader original;
    AudioReader rendered;
    std::string reason;
    for (const auto& [reader, path] :
         {std::pair{&original, &options.original}, std::pair{&rendered, &options.rendered}}) {
        if (!reader->open(*path, reason)) {
            fileError("cannot read " + *path + ": " + reason);
        }
    }
    const AudioInfo& a = original.info();
    const AudioInfo& b = rendered.info();
    if (a.sampleRate != b.sampleRate || a.channelCount != b.channelCount ||
        a.frameCount != b.frameCount) {
        usageError(misalignment(options, a, b));
    }
    const DifferenceReport report = compareFiles(options, original, rendered);
    return finishReport(
        options.plot, [&] { return compareFigure(options, report); }, options.json,
        [&] { return reportJson(report); }, [&] { printText(options, report, a.sampleRate); });
}

}  // namespace

Subcommand addCompareCommand(CLI::App& program) {
    auto options = std::make_shared<CompareOptions>();
    CLI::App* command = program.add_subcommand(
        "compare",
        "What a render added to a piece of music: the difference RENDERED - ORIGINAL against the "
        "original, by window of time and as an average spectrum.");
    command->add_option("ORIGINAL", options->original, "The file that was rendered")->required();
    command->add_option("RENDERED", options->rendered, "The render of it")->required();
    command
        ->add_option("--window", options->windowSeconds,
                     "Length of each window of the table in seconds (default 0.5)")
        ->type_name("SECONDS");
    command
        ->add_option("--plot", options->plot,
                     "Draw the difference against time and the two average spectra into a PNG "
                     "or SVG file (by its ending)")
        ->type_name("FILE");
    command->add_flag("--json", options->json,
                      "Print {\"difference_db\", \"windows\": [{\"start_s\", \"seconds\", "
                      "\"difference_db\"}], \"spectrum\": [{\"hz\", \"original_db\", "
                      "\"difference_db\"}]} as JSON (null for a window the original is silent "
                      "in)");
    command->footer(
        "The files must have the same sample rate, channel count and length (a render has its "
        "input's); the difference is taken sample by sample on every channel. Levels in the "
        "table are the difference's power over the original's in each window; the spectra are "
        "averages of 4096-point Hann windows overlapping by half, in dB of full scale (a "
        "full-scale sine reads 0 dB).\n\nExit codes: 0 done, 1 a file could not be read or "
        "written, 2 a usage error, also for two files that do not line up (another rate, "
        "channel count or length).");
    return {command, [options] { return runCompare(*options); }};
}
