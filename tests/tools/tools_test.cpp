// The data generators reproduce the committed files, their check tells good files from bad, and
// the files meet their targets when measured here without the designer's code.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

#include "dsp/coefficient_file.hpp"

namespace {

const std::filesystem::path kData = std::filesystem::path(CARTRIVEX_SOURCE_DIR) / "data";
const std::string kDesign = CARTRIVEX_DESIGN_TOOL;
const std::string kSample = CARTRIVEX_SAMPLE_TOOL;

struct StageFile {
    const char* file;
    int taps;
    int centre;
    int factor;
    double outputRate;
    bool windowedSinc;  // zeros on every M-th tap from the centre, 1/M at the centre
};

const StageFile kStageFiles[] = {{"filter1.dat", 256, 128, 2, 88200.0, true},
                                 {"filter2.dat", 83, 41, 3, 264600.0, true},
                                 {"filter3.dat", 69, 34, 4, 1058400.0, true},
                                 {"filter4.dat", 87, 43, 6, 6350400.0, false}};

std::string bytesOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The exit code of a shell command, its output discarded; -1 when it did not exit normally.
int exitCode(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<double> committedTaps(const StageFile& stage) {
    std::vector<double> taps;
    std::string reason;
    EXPECT_TRUE(loadCoefficientFile((kData / stage.file).string(), stage.taps, taps, reason))
        << stage.file << ": " << reason;
    return taps;
}

class ToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/cartrivex-tools-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::filesystem::path folder_;
};

TEST_F(ToolsTest, GeneratorsReproduceTheCommittedData) {
    ASSERT_EQ(exitCode(kDesign + " " + (folder_ / "filters").string()), 0);
    for (const StageFile& stage : kStageFiles) {
        EXPECT_EQ(bytesOf(folder_ / "filters" / stage.file), bytesOf(kData / stage.file))
            << stage.file;
    }
    ASSERT_EQ(exitCode(kSample + " " + (folder_ / "sample.wav").string()), 0);
    EXPECT_EQ(bytesOf(folder_ / "sample.wav"), bytesOf(kData / "sample.wav"));
}

TEST_F(ToolsTest, CheckTellsIntactFilesFromDamagedOnes) {
    // Copies the committed filters, then drops a file or rewrites taps in the same layout.
    auto damaged = [&](const char* name, const char* file, std::vector<int> taps, double by) {
        const std::filesystem::path folder = folder_ / name;
        std::filesystem::create_directories(folder);
        for (const StageFile& stage : kStageFiles) {
            std::filesystem::copy_file(kData / stage.file, folder / stage.file);
            if (stage.file != std::string(file)) {
                continue;
            }
            std::vector<double> values = committedTaps(stage);
            std::filesystem::remove(folder / stage.file);
            if (taps.empty()) {
                continue;  // the file stays missing
            }
            for (const int n : taps) {
                values[n] += by;
            }
            std::ofstream out(folder / stage.file, std::ios::binary);
            for (const double value : values) {
                char line[40];
                std::snprintf(line, sizeof line, "%.16E\r\n", value);
                out << line;
            }
        }
        return " --check " + folder.string();
    };
    const struct {
        const char* name;
        std::string command;
        int expected;
    } cases[] = {
        {"committed data", kDesign + " --check " + kData.string(), 0},
        {"file missing", kDesign + damaged("missing", "filter3.dat", {}, 0.0), 1},
        {"one tap off", kDesign + damaged("asymmetric", "filter2.dat", {40}, 1e-9), 1},
        {"pair off, sum broken", kDesign + damaged("pair", "filter4.dat", {42, 44}, 1e-9), 1},
        {"no arguments", kDesign, 2},
        {"--check without folder", kDesign + " --check", 2},
        {"unknown option", kDesign + " --bogus " + kData.string(), 2},
        {"sample without path", kSample, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(exitCode(c.command), c.expected) << c.name;
    }
}

TEST(FilterDataTest, TapsHaveTheInterpolatorsStructure) {
    for (const StageFile& stage : kStageFiles) {
        const std::vector<double> taps = committedTaps(stage);
        ASSERT_EQ(taps.size(), static_cast<std::size_t>(stage.taps)) << stage.file;
        long double sum = 0.0L;
        for (int n = 0; n < stage.taps; ++n) {
            const int mirror = 2 * stage.centre - n;
            const double expectedMirror = mirror >= 0 && mirror < stage.taps ? taps[mirror] : 0.0;
            EXPECT_EQ(taps[n], expectedMirror) << stage.file << " tap " << n;
            if (stage.windowedSinc && n != stage.centre && (n - stage.centre) % stage.factor == 0) {
                EXPECT_EQ(taps[n], 0.0) << stage.file << " tap " << n;
            }
            sum += taps[n];
        }
        if (stage.windowedSinc) {
            EXPECT_EQ(taps[stage.centre], 1.0 / stage.factor) << stage.file;
        }
        EXPECT_LE(std::fabs(sum - 1.0L), 0x1p-52L) << stage.file;
        // Each polyphase component sums to 1/M: a constant input gives a constant output.
        for (int r = 0; r < stage.factor; ++r) {
            long double component = 0.0L;
            for (int n = r; n < stage.taps; n += stage.factor) {
                component += taps[n];
            }
            EXPECT_NEAR(static_cast<double>(component), 1.0 / stage.factor, 1e-15)
                << stage.file << " component " << r;
        }
    }
}

// |sum h[n] e^(-j 2 pi f n / rate)| of each stage, multiplied: 1 at 0 Hz for taps summing to 1.
double cascadeGain(const std::vector<double> (&taps)[4], double f) {
    double gain = 1.0;
    for (int s = 0; s < 4; ++s) {
        double re = 0.0;
        double im = 0.0;
        for (std::size_t n = 0; n < taps[s].size(); ++n) {
            const double angle =
                2.0 * std::numbers::pi * f * static_cast<double>(n) / kStageFiles[s].outputRate;
            re += taps[s][n] * std::cos(angle);
            im -= taps[s][n] * std::sin(angle);
        }
        gain *= std::hypot(re, im);
    }
    return gain;
}

TEST(FilterDataTest, CascadeIsFlatInTheAudioBandAndRemovesEveryImage) {
    std::vector<double> taps[4];
    for (int s = 0; s < 4; ++s) {
        taps[s] = committedTaps(kStageFiles[s]);
    }
    constexpr int kPoints = 200;
    for (int i = 0; i <= kPoints; ++i) {
        const double f = 20000.0 * i / kPoints;
        EXPECT_LE(std::fabs(20.0 * std::log10(cascadeGain(taps, f))), 1e-5) << f << " Hz";
    }
    const double imageLimit = std::pow(10.0, -140.0 / 20.0);
    for (int k = 1; k <= 72; ++k) {
        const double low = k * 44100.0 - 20000.0;
        const double high = std::fmin(k * 44100.0 + 20000.0, 3175200.0);
        for (int i = 0; i <= kPoints; ++i) {
            const double f = low + (high - low) * i / kPoints;
            EXPECT_LE(cascadeGain(taps, f), imageLimit) << "band " << k << ", " << f << " Hz";
        }
    }
}

TEST(SampleDataTest, IsTenSecondsOfStereoAtMinusThreeDecibels) {
    const std::string bytes = bytesOf(kData / "sample.wav");
    ASSERT_EQ(bytes.size(), 44u + 441000u * 4u);
    auto field = [&](std::size_t offset, int size) {
        std::uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i) {
            value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
        }
        return value;
    };
    EXPECT_EQ(bytes.substr(0, 4) + bytes.substr(8, 8) + bytes.substr(36, 4), "RIFFWAVEfmt data");
    const std::uint32_t expected[][3] = {{4, 4, 36 + 1764000}, {16, 4, 16},    {20, 2, 1},
                                         {22, 2, 2},           {24, 4, 44100}, {28, 4, 176400},
                                         {32, 2, 4},           {34, 2, 16},    {40, 4, 1764000}};
    for (const auto& e : expected) {
        EXPECT_EQ(field(e[0], static_cast<int>(e[1])), e[2]) << "offset " << e[0];
    }
    std::uint32_t peak[2] = {0, 0};
    for (std::size_t i = 0; i < 2u * 441000u; ++i) {
        const auto sample = static_cast<std::int16_t>(field(44 + 2 * i, 2));
        peak[i % 2] = std::max(peak[i % 2], static_cast<std::uint32_t>(std::abs(sample)));
    }
    EXPECT_NEAR(std::max(peak[0], peak[1]), 23198u, 1u);
    EXPECT_GE(std::min(peak[0], peak[1]), 3277u);  // neither channel below -20 dBFS
}

}  // namespace
