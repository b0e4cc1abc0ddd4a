#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// What a render added to a piece of music: the difference RENDERED - ORIGINAL, sample by sample
// (the chain keeps every sample at its own time, so the two line up as they are), its level
// against the original's in windows of time, and the two signals' average spectra.

// The spectra average Hann windows of this many points, overlapping by half.
inline constexpr std::int64_t kSpectrumSize = 4096;

struct DifferenceWindow {
    double start = 0.0;    // s
    double seconds = 0.0;  // its length (the last may be shorter)
    double originalPower = 0.0;
    double differencePower = 0.0;
};

// The difference's power over the original's in dB; not a number where the original is silent,
// which has no level to compare with.
double differenceLevelDb(double differencePower, double originalPower);

struct DifferenceReport {
    std::vector<DifferenceWindow> windows;
    double overallDb = 0.0;  // over the whole files, every channel
    double binHz = 0.0;      // the spectra's bin spacing
    // Whether a whole spectrum window fitted in the files; without one the spectra are empty.
    bool hasSpectrum = false;
    // Per bin from 0 Hz, in dB of full scale: a full-scale sine at a bin's centre reads 0 dB.
    std::vector<double> originalDb;
    std::vector<double> differenceDb;
};

// The spectra by octave, for a table: the loudest bin of each band.
struct OctaveBand {
    double low = 0.0;   // Hz
    double high = 0.0;  // Hz, twice low or half the sample rate
    double originalDb = 0.0;
    double differenceDb = 0.0;
};

class AverageSpectrum;

// Takes the two files a block at a time, in step, and gives the report at the end. Samples are
// in 16-bit units (32768 is full scale), channelCount values a frame.
class DifferenceAnalysis {
  public:
    DifferenceAnalysis(int channelCount, int sampleRate, std::int64_t frameCount,
                       std::int64_t windowFrames);
    ~DifferenceAnalysis();
    DifferenceAnalysis(const DifferenceAnalysis&) = delete;
    DifferenceAnalysis& operator=(const DifferenceAnalysis&) = delete;

    void add(const double* original, const double* rendered, std::int64_t frames);
    DifferenceReport report() const;

  private:
    int channelCount_;
    int sampleRate_;
    std::int64_t frameCount_;
    std::int64_t windowFrames_;
    std::int64_t position_ = 0;
    std::vector<DifferenceWindow> windows_;
    std::vector<double> difference_;
    std::unique_ptr<AverageSpectrum> originalSpectrum_;
    std::unique_ptr<AverageSpectrum> differenceSpectrum_;
};

// The octaves from 22.5 Hz up to half the sample rate.
std::vector<OctaveBand> octaveBands(const DifferenceReport& report, int sampleRate);
