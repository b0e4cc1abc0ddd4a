#include "analysis/render_difference.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {

constexpr int kRate = 48000;

// Two interleaved channels of a tone at `hz` with `amplitude` in 16-bit units, from frame
// `first`.
std::vector<double> stereoTone(double hz, double amplitude, std::int64_t frames,
                               std::int64_t first = 0) {
    std::vector<double> samples;
    for (std::int64_t i = first; i < first + frames; ++i) {
        const double value = amplitude * std::sin(2 * std::numbers::pi * hz * i / kRate);
        samples.push_back(value);
        samples.push_back(-value);
    }
    return samples;
}

// The analysis of `original` against `rendered` (both stereo), fed in blocks of `block` frames.
DifferenceReport analyse(const std::vector<double>& original, const std::vector<double>& rendered,
                         std::int64_t windowFrames, std::int64_t block) {
    const auto frames = static_cast<std::int64_t>(original.size() / 2);
    DifferenceAnalysis analysis(2, kRate, frames, windowFrames);
    for (std::int64_t done = 0; done < frames; done += block) {
        const std::int64_t n = std::min(block, frames - done);
        analysis.add(original.data() + 2 * done, rendered.data() + 2 * done, n);
    }
    return analysis.report();
}

// The bin spacing is rate / 4096: a tone on a bin's centre.
double binCentre(int bin) {
    return bin * static_cast<double>(kRate) / kSpectrumSize;
}

// A full-scale tone reads 0 dB at its bin; a difference 40 dB down, added in the second half
// only, reads -40 dB in the last window and nothing in the first half. The blocks the files come in
// change nothing.
TEST(DifferenceAnalysisTest, ReadsKnownLevelsByWindowAndBin) {
    const std::int64_t frames = 3 * kRate / 2;
    const std::vector<double> original = stereoTone(binCentre(85), 32768.0, frames);
    std::vector<double> rendered = original;
    const std::vector<double> added = stereoTone(binCentre(256), 327.68, frames);
    for (std::size_t k = 2 * kRate; k < rendered.size(); ++k) {
        rendered[k] += added[k];
    }
    const DifferenceReport report = analyse(original, rendered, kRate / 2, 16384);
    ASSERT_EQ(report.windows.size(), 3u);
    EXPECT_EQ(report.windows[2].start, 1.0);
    EXPECT_EQ(report.windows[2].seconds, 0.5);
    EXPECT_TRUE(std::isinf(
        differenceLevelDb(report.windows[0].differencePower, report.windows[0].originalPower)));
    EXPECT_NEAR(
        differenceLevelDb(report.windows[2].differencePower, report.windows[2].originalPower),
        -40.0, 0.01);
    EXPECT_NEAR(report.overallDb, -40.0 + 10 * std::log10(1.0 / 3), 0.01);
    ASSERT_TRUE(report.hasSpectrum);
    ASSERT_EQ(report.originalDb.size(), static_cast<std::size_t>(kSpectrumSize / 2 + 1));
    EXPECT_NEAR(report.originalDb[85], 0.0, 0.01);
    const auto loudest = std::max_element(report.differenceDb.begin(), report.differenceDb.end());
    EXPECT_EQ(loudest - report.differenceDb.begin(), 256);

    for (const std::int64_t block :
         {std::int64_t{1}, std::int64_t{777}, std::int64_t{4096}, frames}) {
        SCOPED_TRACE(block);
        const DifferenceReport again = analyse(original, rendered, kRate / 2, block);
        ASSERT_EQ(again.windows.size(), report.windows.size());
        for (std::size_t w = 0; w < again.windows.size(); ++w) {
            EXPECT_EQ(again.windows[w].differencePower, report.windows[w].differencePower);
            EXPECT_EQ(again.windows[w].originalPower, report.windows[w].originalPower);
        }
        // The channels' spectra are added in the order their segments complete, which the
        // blocks decide: the same to rounding.
        ASSERT_EQ(again.originalDb.size(), report.originalDb.size());
        for (std::size_t k = 0; k < report.originalDb.size(); ++k) {
            EXPECT_NEAR(again.originalDb[k], report.originalDb[k], 1e-9) << k;
            EXPECT_NEAR(again.differenceDb[k], report.differenceDb[k], 1e-9) << k;
        }
    }
}

// A silent original has no level to compare with; files shorter than a spectrum window have no
// spectrum; the last window is as long as what is left.
TEST(DifferenceAnalysisTest, SilenceAndShortFilesHaveNoLevel) {
    const std::vector<double> silence(2 * 1000, 0.0);
    const std::vector<double> noise = stereoTone(440.0, 100.0, 1000);
    const DifferenceReport report = analyse(silence, noise, 300, 256);
    ASSERT_EQ(report.windows.size(), 4u);
    EXPECT_DOUBLE_EQ(report.windows[3].seconds, 100.0 / kRate);
    EXPECT_TRUE(std::isnan(report.overallDb));
    for (const DifferenceWindow& window : report.windows) {
        EXPECT_TRUE(std::isnan(differenceLevelDb(window.differencePower, window.originalPower)));
    }
    EXPECT_FALSE(report.hasSpectrum);
    EXPECT_TRUE(report.originalDb.empty());
    EXPECT_TRUE(report.differenceDb.empty());
}

// Octaves from 22.5 Hz, the last cut at half the rate, each with the loudest bin within it.
TEST(DifferenceAnalysisTest, OctaveBandsHoldTheirLoudestBin) {
    const std::int64_t frames = kRate;
    const std::vector<double> original = stereoTone(binCentre(85), 16384.0, frames);
    const std::vector<double> rendered = stereoTone(binCentre(85), 16000.0, frames);
    const DifferenceReport report = analyse(original, rendered, frames, 8192);
    const std::vector<OctaveBand> bands = octaveBands(report, kRate);
    ASSERT_EQ(bands.size(), 11u);  // 22.5 Hz to 23040 Hz, then 23040 to 24000
    EXPECT_EQ(bands.front().low, 22.5);
    EXPECT_EQ(bands.back().high, kRate / 2.0);
    for (const OctaveBand& band : bands) {
        SCOPED_TRACE(band.low);
        const bool holdsTheTone = band.low <= binCentre(85) && binCentre(85) < 2 * band.low;
        EXPECT_EQ(band.originalDb == report.originalDb[85], holdsTheTone);
        EXPECT_EQ(band.differenceDb == report.differenceDb[85], holdsTheTone);
        EXPECT_LE(band.originalDb, report.originalDb[85]);
    }
    EXPECT_NEAR(report.originalDb[85], 20 * std::log10(0.5), 0.01);
    EXPECT_NEAR(report.differenceDb[85], 20 * std::log10(384.0 / 32768), 0.01);
}

}  // namespace
