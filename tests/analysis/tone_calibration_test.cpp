#include "analysis/tone_calibration.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "analysis/distortion_prediction.hpp"

namespace {

struct FitCase {
    const char* name;
    double frequency;  // Hz, the tone's own; asked for as 1000
    double seconds;
    double noise;  // rms, 16-bit units
};

void PrintTo(const FitCase& c, std::ostream* out) {
    *out << c.name;
}

class ToneFitTest : public ::testing::TestWithParam<FitCase> {};

// A tone off its nominal frequency (a turntable's speed error), with a second and third harmonic
// of known size and phase and some noise: the fit finds the frequency and every amplitude and
// phase.
TEST_P(ToneFitTest, FindsTheToneAndItsHarmonicsOffTheNominalFrequency) {
    const FitCase& c = GetParam();
    constexpr int kRate = 44100;
    const auto frames = static_cast<std::int64_t>(c.seconds * kRate);
    const std::complex<double> fundamental = std::polar(12000.0, 0.7);
    const std::complex<double> second = std::polar(120.0, -2.1);
    const std::complex<double> third = std::polar(6.0, 1.3);
    std::mt19937 random(7u);
    std::normal_distribution<double> noise(0.0, c.noise);
    std::vector<double> x(static_cast<std::size_t>(frames));
    for (std::int64_t m = 0; m < frames; ++m) {
        const double w = 2 * std::numbers::pi * c.frequency * static_cast<double>(m) / kRate;
        x[static_cast<std::size_t>(m)] =
            std::real(fundamental * std::polar(1.0, w) + second * std::polar(1.0, 2 * w) +
                      third * std::polar(1.0, 3 * w)) +
            300.0 + noise(random);
    }
    const ToneFit fit = fitTone(x, kRate, 1000);
    EXPECT_NEAR(fit.frequency, c.frequency, 2e-3 / c.seconds);
    ASSERT_GE(fit.harmonics.size(), 3u);
    EXPECT_NEAR(std::abs(fit.harmonics[0]), 12000.0, 12000.0 * 1e-4);
    EXPECT_NEAR(std::arg(fit.harmonics[0]), 0.7, 1e-3);
    EXPECT_NEAR(std::abs(fit.harmonics[1]), 120.0, 120.0 * 1e-3 + 0.05);
    EXPECT_NEAR(std::arg(fit.harmonics[1]), -2.1, 2e-3);
    EXPECT_NEAR(std::abs(fit.harmonics[2]), 6.0, 0.06);
    EXPECT_NEAR(fit.residualRms, c.noise, 0.05 * c.noise + 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Cases, ToneFitTest,
                         ::testing::Values(FitCase{"OnTheNominal", 1000.0, 2.0, 1.0},
                                           FitCase{"FastTurntable", 1003.7, 2.0, 1.0},
                                           FitCase{"SlowTurntable", 975.2, 1.0, 3.0},
                                           FitCase{"ShortWindow", 1001.3, 0.15, 1.0},
                                           FitCase{"LongAndNoisy", 998.9, 8.0, 30.0}),
                         [](const ::testing::TestParamInfo<FitCase>& info) {
                             return std::string(info.param.name);
                         });

// The second harmonic's index is the prediction inverted, for both signs' sizes and across the
// band: predicting H2 for the index found gives the ratio asked for.
TEST(ModulationIndexForHarmonic, InvertsThePredictedSecondHarmonic) {
    for (const double frequency : {100.0, 1000.0, 5000.0}) {
        for (const double e : {1e-5, 0.003, 0.02, 0.3, 0.9}) {
            const double ratio = predictedHarmonicRatio(2, e, frequency, 44100);
            EXPECT_NEAR(modulationIndexForHarmonic(ratio, frequency, 44100), e, e * 1e-9);
        }
    }
    // No index below 1 gives a second harmonic that large, and none is read beyond Nyquist.
    EXPECT_TRUE(std::isnan(modulationIndexForHarmonic(5.0, 1000, 44100)));
    EXPECT_TRUE(std::isnan(modulationIndexForHarmonic(0.01, 12000, 44100)));
}

}  // namespace
