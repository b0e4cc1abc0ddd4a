#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/audio_file.hpp"
#include "cli/commands.hpp"
#include "files/safe_output.hpp"
#include "plot/plot.hpp"

// What a render added to a piece of music: the difference RENDERED - ORIGINAL, sample by sample
// (the chain keeps every sample at its own time, so the two line up as they are), its level
// against the original's in windows of time, and the two signals' average spectra.

namespace {

constexpr std::int64_t kSpectrumSize = 4096;  // Hann windows, overlapping by half
constexpr std::int64_t kBlockFrames = 16384;

struct CompareOptions {
    std::string original;
    std::string rendered;
    double windowSeconds = 0.5;
    std::string plot;
    bool json = false;
};

struct Window {
    double start = 0.0;    // s
    double seconds = 0.0;  // its length (the last may be shorter)
    double originalPower = 0.0;
    double differencePower = 0.0;
};

double levelDb(double differencePower, double originalPower) {
    return 10 * std::log10(differencePower / originalPower);
}

// Averages the power spectra of Hann-windowed segments, each channel on its own, all added.
class AverageSpectrum {
  public:
    explicit AverageSpectrum(int channels)
        : channels_(channels),
          pending_(static_cast<std::size_t>(channels)),
          power_(kSpectrumSize / 2 + 1, 0.0),
          window_(kSpectrumSize) {
        for (std::int64_t m = 0; m < kSpectrumSize; ++m) {
            window_[static_cast<std::size_t>(m)] =
                0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(m) / kSpectrumSize);
            windowSum_ += window_[static_cast<std::size_t>(m)];
        }
        input_ = fftw_alloc_real(kSpectrumSize);
        output_ = fftw_alloc_complex(kSpectrumSize / 2 + 1);
        plan_ = fftw_plan_dft_r2c_1d(kSpectrumSize, input_, output_, FFTW_ESTIMATE);
    }
    ~AverageSpectrum() {
        fftw_destroy_plan(plan_);
        fftw_free(input_);
        fftw_free(output_);
    }
    AverageSpectrum(const AverageSpectrum&) = delete;
    AverageSpectrum& operator=(const AverageSpectrum&) = delete;

    void add(const double* frames, std::int64_t count) {
        for (int c = 0; c < channels_; ++c) {
            std::vector<double>& pending = pending_[static_cast<std::size_t>(c)];
            for (std::int64_t i = 0; i < count; ++i) {
                pending.push_back(frames[i * channels_ + c]);
            }
            std::size_t used = 0;
            while (pending.size() - used >= static_cast<std::size_t>(kSpectrumSize)) {
                transform(pending.data() + used);
                used += kSpectrumSize / 2;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
        }
    }

    // Levels in dB of full scale: a full-scale sine at a bin's centre reads 0 dB.
    double levelDbAt(std::size_t bin) const {
        if (segments_ == 0) {
            return -std::numeric_limits<double>::infinity();
        }
        const double amplitude = std::sqrt(power_[bin] / segments_) * 2 / windowSum_;
        return 20 * std::log10(amplitude / 32768);
    }
    std::size_t binCount() const { return power_.size(); }
    long long segments() const { return segments_; }

  private:
    void transform(const double* segment) {
        for (std::int64_t m = 0; m < kSpectrumSize; ++m) {
            input_[m] = segment[m] * window_[static_cast<std::size_t>(m)];
        }
        fftw_execute(plan_);
        for (std::size_t k = 0; k < power_.size(); ++k) {
            power_[k] += output_[k][0] * output_[k][0] + output_[k][1] * output_[k][1];
        }
        ++segments_;
    }

    int channels_;
    std::vector<std::vector<double>> pending_;
    std::vector<double> power_;
    std::vector<double> window_;
    double windowSum_ = 0.0;
    long long segments_ = 0;
    double* input_ = nullptr;
    fftw_complex* output_ = nullptr;
    fftw_plan plan_ = nullptr;
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

int runCompare(const CompareOptions& options) {
    const char* const prefix = "cartrivex-cli compare: ";
    if (!std::isfinite(options.windowSeconds) || !(options.windowSeconds > 0.0)) {
        std::cerr << prefix << "--window " << options.windowSeconds
                  << ": not a positive number of seconds\n";
        return kExitUsageError;
    }
    installOutputSignalHandlers();  // an interrupted plot is never left half-written
    AudioReader original;
    AudioReader rendered;
    std::string reason;
    for (const auto& [reader, path] :
         {std::pair{&original, &options.original}, std::pair{&rendered, &options.rendered}}) {
        if (!reader->open(*path, reason)) {
            std::cerr << prefix << "cannot read " << *path << ": " << reason << "\n";
            return kExitFileError;
        }
    }
    const AudioInfo& a = original.info();
    const AudioInfo& b = rendered.info();
    if (a.sampleRate != b.sampleRate || a.channelCount != b.channelCount ||
        a.frameCount != b.frameCount) {
        std::cerr << prefix << "the two files do not line up: " << options.original << " has "
                  << a.frameCount << " frames of " << a.channelCount << " channels at "
                  << a.sampleRate << " Hz, " << options.rendered << " " << b.frameCount
                  << " frames of " << b.channelCount << " channels at " << b.sampleRate
                  << " Hz; compare takes a render and the file it was rendered from\n";
        return kExitUsageError;
    }
    const int channels = a.channelCount;
    const std::int64_t windowFrames =
        std::max<std::int64_t>(1, std::llround(options.windowSeconds * a.sampleRate));

    std::vector<double> originalBlock(static_cast<std::size_t>(kBlockFrames * channels));
    std::vector<double> renderedBlock(originalBlock.size());
    std::vector<double> differenceBlock(originalBlock.size());
    AverageSpectrum originalSpectrum(channels);
    AverageSpectrum differenceSpectrum(channels);
    std::vector<Window> windows;
    double originalTotal = 0.0;
    double differenceTotal = 0.0;
    std::int64_t position = 0;
    while (position < a.frameCount) {
        const std::int64_t want = std::min(kBlockFrames, a.frameCount - position);
        const std::int64_t gotA = original.read(originalBlock.data(), want, reason);
        const std::int64_t gotB =
            gotA == want ? rendered.read(renderedBlock.data(), want, reason) : gotA;
        if (gotA != want || gotB != want) {
            std::cerr << prefix << "cannot read "
                      << (gotA != want ? options.original : options.rendered)
                      << " on: " << (reason.empty() ? "it ends early" : reason) << "\n";
            return kExitFileError;
        }
        for (std::int64_t i = 0; i < want; ++i) {
            const std::int64_t frame = position + i;
            const std::size_t w = static_cast<std::size_t>(frame / windowFrames);
            if (w == windows.size()) {
                Window window;
                window.start = static_cast<double>(frame) / a.sampleRate;
                window.seconds = static_cast<double>(std::min(windowFrames, a.frameCount - frame)) /
                                 a.sampleRate;
                windows.push_back(window);
            }
            for (int c = 0; c < channels; ++c) {
                const std::size_t k = static_cast<std::size_t>(i * channels + c);
                const double x = originalBlock[k];
                const double d = renderedBlock[k] - x;
                differenceBlock[k] = d;
                windows[w].originalPower += x * x;
                windows[w].differencePower += d * d;
            }
        }
        originalSpectrum.add(originalBlock.data(), want);
        differenceSpectrum.add(differenceBlock.data(), want);
        position += want;
    }
    for (const Window& window : windows) {
        originalTotal += window.originalPower;
        differenceTotal += window.differencePower;
    }
    // A silent original has no level to compare with: its windows read as not a number.
    const auto level = [](double difference, double originalPower) {
        return originalPower > 0.0 ? levelDb(difference, originalPower)
                                   : std::numeric_limits<double>::quiet_NaN();
    };
    const double overall = level(differenceTotal, originalTotal);
    const double binHz = static_cast<double>(a.sampleRate) / kSpectrumSize;

    if (!options.plot.empty()) {
        PlotPanel timePanel;
        timePanel.title = "Difference (rendered - original) against the original, by window";
        timePanel.xLabel = "time (s)";
        timePanel.yLabel = "difference (dB)";
        PlotSeries byTime;
        byTime.label = "difference";
        for (const Window& window : windows) {
            const double db = level(window.differencePower, window.originalPower);
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
        for (std::size_t k = 1; k < originalSpectrum.binCount(); ++k) {
            const double o = originalSpectrum.levelDbAt(k);
            const double d = differenceSpectrum.levelDbAt(k);
            if (std::isfinite(o)) {
                originalSeries.x.push_back(k * binHz);
                originalSeries.y.push_back(o);
            }
            if (std::isfinite(d)) {
                differenceSeries.x.push_back(k * binHz);
                differenceSeries.y.push_back(d);
            }
        }
        spectrumPanel.series = {originalSeries, differenceSeries};
        PlotFigure figure;
        figure.title =
            "What the render added: " + options.rendered + " against " + options.original;
        figure.panels = {timePanel, spectrumPanel};
        if (!writePlot(figure, options.plot, reason)) {
            std::cerr << prefix << "cannot write the plot " << options.plot << ": " << reason
                      << "\n";
            return reason.find(".png or .svg") != std::string::npos ? kExitUsageError
                                                                    : kExitFileError;
        }
    }

    if (options.json) {
        nlohmann::json document;
        document["difference_db"] = number(overall);
        document["windows"] = nlohmann::json::array();
        for (const Window& window : windows) {
            document["windows"].push_back(
                {{"start_s", window.start},
                 {"seconds", window.seconds},
                 {"difference_db", number(level(window.differencePower, window.originalPower))}});
        }
        document["spectrum"] = nlohmann::json::array();
        if (originalSpectrum.segments() > 0) {
            for (std::size_t k = 0; k < originalSpectrum.binCount(); ++k) {
                document["spectrum"].push_back(
                    {{"hz", k * binHz},
                     {"original_db", number(originalSpectrum.levelDbAt(k))},
                     {"difference_db", number(differenceSpectrum.levelDbAt(k))}});
            }
        }
        std::cout << document.dump(2) << "\n";
    } else {
        std::printf("Difference (rendered - original) against the original: %s dB overall\n\n",
                    dbText(overall).c_str());
        std::printf("%10s %9s %15s\n", "start s", "seconds", "difference dB");
        for (const Window& window : windows) {
            std::printf("%10.3f %9.3f %15s\n", window.start, window.seconds,
                        dbText(level(window.differencePower, window.originalPower)).c_str());
        }
        if (originalSpectrum.segments() > 0) {
            std::printf("\nAverage spectrum by octave (dB full scale, the loudest bin of each)\n");
            std::printf("%12s %12s %14s\n", "band Hz", "original", "difference");
            for (double low = 22.5; low < a.sampleRate / 2.0; low *= 2) {
                double o = -std::numeric_limits<double>::infinity();
                double d = o;
                for (std::size_t k = 1; k < originalSpectrum.binCount(); ++k) {
                    if (k * binHz >= low && k * binHz < 2 * low) {
                        o = std::max(o, originalSpectrum.levelDbAt(k));
                        d = std::max(d, differenceSpectrum.levelDbAt(k));
                    }
                }
                char band[32];
                std::snprintf(band, sizeof band, "%.0f-%.0f", low,
                              std::min(2 * low, a.sampleRate / 2.0));
                std::printf("%12s %12s %14s\n", band, dbText(o).c_str(), dbText(d).c_str());
            }
        }
        if (!options.plot.empty()) {
            std::printf("\nPlot written to %s\n", options.plot.c_str());
        }
    }
    std::fflush(stdout);
    if (std::ferror(stdout) || !std::cout) {
        std::cerr << prefix << "cannot write to the standard output\n";
        return kExitFileError;
    }
    return kExitWritten;
}

}  // namespace

void addCompareCommand(CLI::App& program, CommandOutcome& outcome) {
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
    command->callback([options, &outcome] { outcome.exitCode = runCompare(*options); });
}
