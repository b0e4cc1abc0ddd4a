#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/audio_test_files.hpp"
#include "tests/support/files.hpp"
#include "tests/support/process_run.hpp"
#include "tests/support/test_names.hpp"

// What every subcommand shares: whatever stops it is told once, on stderr, after the program's
// and the subcommand's names, with the exit code that says what kind of failure it was, and
// nothing goes to standard output.

namespace {

struct StopCase {
    std::string line;  // after the program's name; DIR is the test's folder
    int exitCode;
    std::string message;  // the whole of stderr, DIR as above
};

std::string expand(std::string text, const std::string& folder) {
    for (std::size_t at = text.find("DIR"); at != std::string::npos; at = text.find("DIR", at)) {
        text.replace(at, 3, folder);
        at += folder.size();
    }
    return text;
}

class SubcommandStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(SubcommandStopTest, IsToldOnceWithItsExitCode) {
    const StopCase& c = GetParam();
    TemporaryDirectory folder;
    TestAudio audio;
    audio.channelCount = 1;
    audio.frameCount = 4410;
    audio.integers.assign(4410, 1 << 24);
    ASSERT_TRUE(writeTestAudio(folder.file("a.wav"), audio));
    const ProcessResult run =
        runShell(shellWord(CARTRIVEX_CLI) + " " + expand(c.line, folder.path) + " </dev/null");
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.err, expand(c.message, folder.path) + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"a.wav"});
}

const std::string kSide = " --rpm 33 --amplitude 0.05 --radius 70";

INSTANTIATE_TEST_SUITE_P(
    Stops, SubcommandStopTest,
    ::testing::Values(
        StopCase{"render DIR/a.wav DIR/b.wav" + kSide, 2,
                 "cartrivex-cli render: no tracking error: give --angle DEG, --arm L,D,BETA, "
                 "--alignment NAME --mounting D or --linear"},
        StopCase{"render DIR/none.wav DIR/b.wav --angle 1" + kSide, 1,
                 "cartrivex-cli render: cannot read DIR/none.wav: No such file or directory"},
        StopCase{"render DIR/a.wav DIR/b.wav --angle 1 --from 80 --to 70" + kSide, 2,
                 "cartrivex-cli render: --radius and --from/--to exclude each other"},
        StopCase{"arm --linear --velocity 0", 2,
                 "cartrivex-cli arm: --velocity 0: not a positive velocity in cm/s"},
        StopCase{"arm --linear --plot DIR/arm.pdf", 2,
                 "cartrivex-cli arm: cannot write the plot DIR/arm.pdf: a plot's file name must "
                 "end in .png or .svg"},
        StopCase{"arm --linear --plot DIR/none/arm.svg", 1,
                 "cartrivex-cli arm: cannot write the plot DIR/none/arm.svg: No such file or "
                 "directory"},
        StopCase{"arm --linear >/dev/full", 1,
                 "cartrivex-cli arm: cannot write to the standard output"},
        StopCase{"arm --angle 1 --json >/dev/full", 1,
                 "cartrivex-cli arm: cannot write to the standard output"},
        StopCase{"measure --angle 1 --radii 70,x", 2,
                 "cartrivex-cli measure: --radii 70,x: 'x' is not a positive radius in mm"},
        StopCase{"measure --angle 1 --radii 70 --csv DIR/none/t.csv", 1,
                 "cartrivex-cli measure: cannot write DIR/none/t.csv: No such file or directory"},
        StopCase{"measure --angle 1 --radii 70 --plot DIR/t.gif", 2,
                 "cartrivex-cli measure: cannot write the plot DIR/t.gif: a plot's file name "
                 "must end in .png or .svg"},
        StopCase{"measure --angle 1 --radii 70 --json >/dev/full", 1,
                 "cartrivex-cli measure: cannot write to the standard output"},
        StopCase{"compare DIR/a.wav DIR/a.wav --window 0", 2,
                 "cartrivex-cli compare: --window 0: not a positive number of seconds"},
        StopCase{"compare DIR/a.wav DIR/none.wav", 1,
                 "cartrivex-cli compare: cannot read DIR/none.wav: No such file or directory"},
        StopCase{"compare DIR/a.wav DIR/a.wav --plot DIR/c.jpg", 2,
                 "cartrivex-cli compare: cannot write the plot DIR/c.jpg: a plot's file name "
                 "must end in .png or .svg"},
        StopCase{"compare DIR/a.wav DIR/a.wav >/dev/full", 1,
                 "cartrivex-cli compare: cannot write to the standard output"}),
    [](const ::testing::TestParamInfo<StopCase>& info) {
        return testCaseName(info.index, info.param.line);
    });

}  // namespace

namespace {

// A file name is bytes, not always UTF-8: render's report shows what is not as U+FFFD and stays
// JSON, and the render is done.
TEST(RenderReportTest, NamesThatAreNotUtf8AreReportedNotFatal) {
    TemporaryDirectory folder;
    TestAudio audio;
    audio.frameCount = 4410;
    audio.integers.assign(2 * 4410, 1 << 24);
    const std::string input = folder.file("in\xff.wav");
    ASSERT_TRUE(writeTestAudio(input, audio));
    const ProcessResult run =
        runProcess({CARTRIVEX_CLI, "render", input, folder.file("out\xfe.wav"), "--rpm", "33",
                    "--radius", "70", "--amplitude", "0.05", "--angle", "1", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["input"]["path"], folder.file("in\xef\xbf\xbd.wav"));
    EXPECT_EQ(report["output"]["path"], folder.file("out\xef\xbf\xbd.wav"));
    EXPECT_EQ(readTestAudio(folder.file("out\xfe.wav")).frameCount, 4410);
}

// A report lost on a full standard output is a failure a script sees, though the audio is whole.
TEST(RenderReportTest, AReportThatCannotBeWrittenFailsTheRun) {
    TemporaryDirectory folder;
    TestAudio audio;
    audio.frameCount = 4410;
    audio.integers.assign(2 * 4410, 1 << 24);
    ASSERT_TRUE(writeTestAudio(folder.file("a.wav"), audio));
    const ProcessResult run =
        runShell(shellWord(CARTRIVEX_CLI) + " render " + shellWord(folder.file("a.wav")) + " " +
                 shellWord(folder.file("b.wav")) + kSide + " --angle 1 --json >/dev/full");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "cartrivex-cli render: cannot write the report to the standard output (" +
                           folder.file("b.wav") + " was written)\n");
    EXPECT_EQ(readTestAudio(folder.file("b.wav")).frameCount, 4410);
}

}  // namespace
