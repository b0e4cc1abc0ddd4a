#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/distortion_prediction.hpp"
#include "tests/support/audio_test_files.hpp"
#include "tests/support/files.hpp"
#include "tests/support/process_run.hpp"
#include "tests/support/round_trips.hpp"

namespace {

std::string exact(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

ProcessResult cli(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), CARTRIVEX_CLI);
    return runProcess(arguments);
}

// A float WAV of a 1 kHz tone at -6 dB of full scale: in both channels (mid), in one (left or
// right), or in opposite phase (side).
void writeTone(const std::string& path, const std::string& channel, std::int64_t frames,
               int channels = 2, double amplitude = 16384) {
    std::vector<double> values = fadedTone(1000, amplitude, frames, 44100, channels);
    TestAudio audio;
    audio.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    audio.channelCount = channels;
    audio.frameCount = frames;
    for (std::size_t k = 0; k < values.size(); ++k) {
        const bool silent = (channel == "left" && k % 2 == 1) || (channel == "right" && k % 2 == 0);
        const double sign = channel == "side" && k % 2 == 1 ? -1.0 : 1.0;
        audio.floats.push_back(silent ? 0.0f : static_cast<float>(sign * values[k] / 32768));
    }
    ASSERT_TRUE(writeTestAudio(path, audio));
}

struct CalibrationCase {
    const char* name;
    const char* channel;  // mid, left or right
    double amplitude;     // mm per full scale rendered with
    double angle;         // degrees
    double radius;        // mm
};

void PrintTo(const CalibrationCase& c, std::ostream* out) {
    *out << c.name;
}

class CalibrateTest : public ::testing::TestWithParam<CalibrationCase> {};

// A tone rendered with a known amplitude and tracking error gives both back: the amplitude from
// the tone's level and the velocity it had in the groove, the angle from its H2 and H2's phase.
TEST_P(CalibrateTest, GivesBackTheAmplitudeAndTheAngleARenderUsed) {
    const CalibrationCase& c = GetParam();
    TemporaryDirectory folder;
    writeTone(folder.file("tone.wav"), c.channel, 3 * 44100);
    const std::string channel = c.channel;
    const bool wall = channel != "mid";
    // A wall's tone is read by both walls of the stylus model, its vertical angles matched.
    std::vector<std::string> model;
    if (wall) {
        model = {"--vta", "20", "--cutting-angle", "20"};
    }
    std::vector<std::string> render = {"render",
                                       folder.file("tone.wav"),
                                       folder.file("played.wav"),
                                       "--rpm",
                                       "33",
                                       "--radius",
                                       exact(c.radius),
                                       "--amplitude",
                                       exact(c.amplitude),
                                       "--angle",
                                       exact(c.angle),
                                       "--bits",
                                       "32f"};
    render.insert(render.end(), model.begin(), model.end());
    const ProcessResult played = cli(render);
    ASSERT_EQ(played.exitCode, 0) << played.err;
    // The tone's peak velocity in the groove along its channel's axis: 16384 through the
    // recording filter at 1 kHz, the amplitude's millimetres, √2/2 of it along a wall.
    const double displacement = 16384 * recordingFilterGain(1000, 44100) * c.amplitude / 32768 *
                                (wall ? std::numbers::sqrt2 / 2 : 1.0);
    const double velocity = 2 * std::numbers::pi * 1000 * displacement / 10;  // cm/s

    const ProcessResult run = cli({"calibrate", folder.file("played.wav"), "--tone", "1000",
                                   "--velocity", exact(velocity), "--channel", c.channel, "--start",
                                   "0.5", "--seconds", "2", "--radius", exact(c.radius), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    const double amplitude = report["amplitude_mm"];
    const double angle = report["tracking_error_deg"];
    RecordProperty("amplitude_error_percent", std::to_string(100 * (amplitude / c.amplitude - 1)));
    RecordProperty("angle_error_deg", std::to_string(angle - c.angle));
    EXPECT_NEAR(amplitude, c.amplitude, 0.001 * c.amplitude);
    EXPECT_NEAR(angle, c.angle, 0.05);
    EXPECT_NEAR(report["frequency_hz"].get<double>(), 1000.0, 1e-4);
    EXPECT_NEAR(report["level_dbfs"].get<double>(), -6.02, 0.05);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CalibrateTest,
    ::testing::Values(CalibrationCase{"MidInnerGroove", "mid", 0.05, 2.5, 60.325},
                      CalibrationCase{"MidNegative", "mid", 0.08, -1.5, 100},
                      CalibrationCase{"MidOuterGroove", "mid", 0.03, 3, 146.05},
                      CalibrationCase{"MidSmallError", "mid", 0.05, 0.4, 70},
                      CalibrationCase{"LeftWall", "left", 0.05, -2, 60.325},
                      CalibrationCase{"RightWall", "right", 0.06, 1.8, 90}),
    [](const ::testing::TestParamInfo<CalibrationCase>& info) {
        return std::string(info.param.name);
    });

// A side tone's H2 is the vertical tracking error's: tan(VTA) − tan(cutting angle) comes back.
TEST(CalibrateSide, GivesBackTheVerticalSlopeDifference) {
    TemporaryDirectory folder;
    writeTone(folder.file("tone.wav"), "side", 3 * 44100);
    const ProcessResult played =
        cli({"render", folder.file("tone.wav"), folder.file("played.wav"), "--rpm", "33",
             "--radius", "60.325", "--amplitude", "0.05", "--angle", "1", "--vta", "25",
             "--cutting-angle", "20", "--bits", "32f"});
    ASSERT_EQ(played.exitCode, 0) << played.err;
    const double velocity =
        2 * std::numbers::pi * 1000 * 16384 * recordingFilterGain(1000, 44100) * 0.05 / 32768 / 10;
    const ProcessResult run = cli({"calibrate", folder.file("played.wav"), "--tone", "1000",
                                   "--velocity", exact(velocity), "--channel", "side", "--start",
                                   "0.5", "--seconds", "2", "--radius", "60.325", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    const double slope =
        std::tan(25 * std::numbers::pi / 180) - std::tan(20 * std::numbers::pi / 180);
    EXPECT_NEAR(report["vertical_slope_difference"].get<double>(), slope, 1e-3 * slope);
    EXPECT_NEAR(report["amplitude_mm"].get<double>(), 0.05, 0.05e-3);
    EXPECT_FALSE(report.contains("tracking_error_deg"));
}

// A file name need not be UTF-8: the report shows what is not as U+FFFD and stays JSON.
TEST(CalibrateReport, NamesAFileThatIsNotUtf8) {
    TemporaryDirectory folder;
    const std::string name = folder.file("band\xfe.wav");
    writeTone(name, "mid", 44100);
    const ProcessResult run = cli({"calibrate", name, "--tone", "1000", "--velocity", "5",
                                   "--start", "0.3", "--seconds", "0.4", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["input"], folder.file("band\xef\xbf\xbd.wav"));
    EXPECT_FALSE(report.contains("tracking_error_deg"));
}

// What cannot be calibrated is refused before anything is printed on stdout.
TEST(CalibrateRefusals, SayWhyWithTheirExitCodes) {
    TemporaryDirectory folder;
    writeTone(folder.file("tone.wav"), "mid", 44100);
    writeTone(folder.file("short.wav"), "mid", 2205);
    writeTone(folder.file("mono.wav"), "mid", 44100, 1);
    writeTone(folder.file("quiet.wav"), "mid", 44100, 2, 0.001);
    struct Refusal {
        std::vector<std::string> arguments;
        int exitCode;
        std::string message;
    };
    const std::string tone = folder.file("tone.wav");
    const std::vector<Refusal> refusals = {
        {{tone, "--tone", "1500", "--velocity", "5"}, 1, "no tone near 1500 Hz in the mid of "},
        {{folder.file("quiet.wav"), "--tone", "1000", "--velocity", "5"}, 1, "no tone near 1000"},
        {{tone, "--tone", "1000", "--velocity", "5", "--channel", "top"},
         2,
         "--channel top: the channels are mid, side, left and right"},
        {{folder.file("mono.wav"), "--tone", "1000", "--velocity", "5", "--channel", "left"},
         2,
         "--channel left: " + folder.file("mono.wav") + " is mono"},
        {{folder.file("short.wav"), "--tone", "1000", "--velocity", "5"},
         1,
         folder.file("short.wav") + " holds 0.050 s from --start 0 s; reading the tone needs at "
                                    "least 0.100 s"},
        {{tone, "--tone", "1000", "--velocity", "5", "--start", "0.95"},
         1,
         tone + " holds 0.050 s from --start 0.95 s"},
        {{tone, "--tone", "12000", "--velocity", "5"}, 2, "--tone 12000: the tone must lie below"},
        {{tone, "--tone", "1000", "--velocity", "0"}, 2, "--velocity 0: not a positive velocity"},
        {{tone, "--tone", "1000", "--velocity", "5", "--seconds", "0"}, 2, "--seconds 0: "},
        {{tone, "--tone", "1000", "--velocity", "5", "--seconds", "3600"},
         2,
         "--seconds 3600: the window is more than 0 and at most 30 s long"},
        {{tone, "--tone", "1000", "--velocity", "5", "--radius", "-3"}, 2, "--radius -3: "},
        {{folder.file("missing.wav"), "--tone", "1000", "--velocity", "5"},
         1,
         "cannot read " + folder.file("missing.wav")},
    };
    for (const Refusal& refusal : refusals) {
        std::vector<std::string> arguments = {"calibrate"};
        arguments.insert(arguments.end(), refusal.arguments.begin(), refusal.arguments.end());
        const ProcessResult run = cli(arguments);
        EXPECT_EQ(run.exitCode, refusal.exitCode) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("cartrivex-cli calibrate: " + refusal.message), std::string::npos)
            << run.err;
    }
}

}  // namespace
