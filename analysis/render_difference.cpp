#include "analysis/render_difference.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

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

double differenceLevelDb(double differencePower, double originalPower) {
    return originalPower > 0.0 ? 10 * std::log10(differencePower / originalPower)
                               : std::numeric_limits<double>::quiet_NaN();
}

DifferenceAnalysis::DifferenceAnalysis(int channelCount, int sampleRate, std::int64_t frameCount,
                                       std::int64_t windowFrames)
    : channelCount_(channelCount),
      sampleRate_(sampleRate),
      frameCount_(frameCount),
      windowFrames_(windowFrames),
      originalSpectrum_(std::make_unique<AverageSpectrum>(channelCount)),
      differenceSpectrum_(std::make_unique<AverageSpectrum>(channelCount)) {}

DifferenceAnalysis::~DifferenceAnalysis() = default;

void DifferenceAnalysis::add(const double* original, const double* rendered, std::int64_t frames) {
    difference_.resize(static_cast<std::size_t>(frames * channelCount_));
    for (std::int64_t i = 0; i < frames; ++i) {
        const std::int64_t frame = position_ + i;
        const std::size_t w = static_cast<std::size_t>(frame / windowFrames_);
        if (w == windows_.size()) {
            DifferenceWindow window;
            window.start = static_cast<double>(frame) / sampleRate_;
            window.seconds =
                static_cast<double>(std::min(windowFrames_, frameCount_ - frame)) / sampleRate_;
            windows_.push_back(window);
        }
        for (int c = 0; c < channelCount_; ++c) {
            const std::size_t k = static_cast<std::size_t>(i * channelCount_ + c);
            const double x = original[k];
            const double d = rendered[k] - x;
            difference_[k] = d;
            windows_[w].originalPower += x * x;
            windows_[w].differencePower += d * d;
        }
    }
    originalSpectrum_->add(original, frames);
    differenceSpectrum_->add(difference_.data(), frames);
    position_ += frames;
}

DifferenceReport DifferenceAnalysis::report() const {
    DifferenceReport report;
    report.windows = windows_;
    double originalTotal = 0.0;
    double differenceTotal = 0.0;
    for (const DifferenceWindow& window : windows_) {
        originalTotal += window.originalPower;
        differenceTotal += window.differencePower;
    }
    report.overallDb = differenceLevelDb(differenceTotal, originalTotal);
    report.binHz = static_cast<double>(sampleRate_) / kSpectrumSize;
    report.hasSpectrum = originalSpectrum_->segments() > 0;
    if (report.hasSpectrum) {
        for (std::size_t k = 0; k < originalSpectrum_->binCount(); ++k) {
            report.originalDb.push_back(originalSpectrum_->levelDbAt(k));
            report.differenceDb.push_back(differenceSpectrum_->levelDbAt(k));
        }
    }
    return report;
}

std::vector<OctaveBand> octaveBands(const DifferenceReport& report, int sampleRate) {
    std::vector<OctaveBand> bands;
    for (double low = 22.5; low < sampleRate / 2.0; low *= 2) {
        OctaveBand band;
        band.low = low;
        band.high = std::min(2 * low, sampleRate / 2.0);
        band.originalDb = -std::numeric_limits<double>::infinity();
        band.differenceDb = band.originalDb;
        for (std::size_t k = 1; k < report.originalDb.size(); ++k) {
            if (k * report.binHz >= low && k * report.binHz < 2 * low) {
                band.originalDb = std::max(band.originalDb, report.originalDb[k]);
                band.differenceDb = std::max(band.differenceDb, report.differenceDb[k]);
            }
        }
        bands.push_back(band);
    }
    return bands;
}
