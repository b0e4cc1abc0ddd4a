// Runs the built program in a real terminal (a detached tmux session of 80 x 65) and checks what
// a user would see, and that every way out gives the terminal back in a sane state.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.hpp"
#include "tests/support/wave_bytes.hpp"

namespace {

std::string runCommand(const std::string& command, int* status = nullptr) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char chunk[4096];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        output.append(chunk, count);
    }
    const int result = ::pclose(pipe);
    if (status != nullptr) {
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    }
    return output;
}

std::string shellQuoted(const std::string& text) {
    std::string result = "'";
    for (const char c : text) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

void writeWave(const std::string& path, int frames) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < frames; ++i) {
        const int v = static_cast<int>(std::lrint(9000 * std::sin(i * 0.07)));
        samples.push_back(static_cast<std::int16_t>(v));
        samples.push_back(static_cast<std::int16_t>(-v / 2));
    }
    writeBytes(path, waveFile(samples));
}

// One tmux session running the program in a folder of its own. After the program ends, the
// shell records its exit code and the terminal's modes, then waits.
class TerminalSession : public ::testing::Test {
  protected:
    void SetUp() override {
        int status = 0;
        runCommand("command -v tmux", &status);
        ASSERT_EQ(status, 0) << "tmux is needed (make deps installs it)";
        char pattern[] = "/tmp/cartrivex-tty-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        session_ = "cartrivex-test-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        writeWave(folder_ + "/in.wav", 3000);
        std::filesystem::create_symlink(CARTRIVEX_SOURCE_DIR "/data/sample.wav",
                                        folder_ + "/sample.wav");
    }

    void TearDown() override {
        runCommand(tmux() + "kill-server 2>/dev/null");
        runCommand("rm -rf " + shellQuoted(folder_) + " " + shellQuoted(folder_ + ".tmux"));
    }

    // `limits` are shell commands run before the program, such as "ulimit -v 300000".
    void start(const std::string& limits = "") {
        launch(limits);
        ASSERT_TRUE(waitForScreen("File to process?")) << screen();
    }

    void launch(const std::string& limits) {
        const std::string program = "echo $$ > program-pid; exec " + shellQuoted(CARTRIVEX_PROGRAM);
        const std::string script = "cd " + shellQuoted(folder_) + " && stty sane && " +
                                   (limits.empty() ? "" : limits + " && ") + "sh -c " +
                                   shellQuoted(program) +
                                   "; echo $? > exit-code; stty -a > modes; sleep 600";
        int status = 0;
        runCommand(tmux() + "new-session -d -x 80 -y 65 -s " + shellQuoted(session_) +
                       " -e TERM=xterm-256color " + shellQuoted("sh -c " + shellQuoted(script)),
                   &status);
        ASSERT_EQ(status, 0);
    }

    // Each test has a tmux server of its own, so tests run side by side never meet one that is
    // shutting down after another test's last session ended.
    std::string tmux() const { return "tmux -S " + shellQuoted(folder_ + ".tmux") + " "; }

    std::string screen() const {
        return runCommand(tmux() + "capture-pane -p -t " + shellQuoted(session_));
    }

    std::string paneTitle() const {
        return runCommand(tmux() + "display-message -p -t " + shellQuoted(session_) +
                          " '#{pane_title}'");
    }

    std::vector<std::string> rows() const {
        std::vector<std::string> lines;
        std::istringstream in(screen());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    bool waitFor(const auto& condition) const {
        for (int attempt = 0; attempt < 300; ++attempt) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    bool waitForScreen(const std::string& text) const {
        return waitFor([&] { return screen().find(text) != std::string::npos; });
    }

    void keys(const std::string& text) {
        runCommand(tmux() + "send-keys -t " + shellQuoted(session_) + " -l " + shellQuoted(text));
    }
    void key(const char* name) {
        runCommand(tmux() + "send-keys -t " + shellQuoted(session_) + " " + name);
    }

    std::string fileText(const std::string& name) const {
        std::ifstream in(folder_ + "/" + name);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    bool ended() const {
        return waitFor([&] { return !fileText("modes").empty(); });
    }

    pid_t programPid() const {
        return static_cast<pid_t>(std::atoi(fileText("program-pid").c_str()));
    }

    void expectSaneTerminal() const {
        std::istringstream words(fileText("modes"));
        std::vector<std::string> modes{std::istream_iterator<std::string>(words),
                                       std::istream_iterator<std::string>()};
        for (const char* mode : {"echo", "icanon", "isig", "icrnl", "opost"}) {
            EXPECT_NE(std::find(modes.begin(), modes.end(), mode), modes.end()) << mode;
        }
    }

    void answer(const std::string& text) {
        keys(text);
        key("Enter");
    }

    // The answers of a typical run on the bundled 10-second sample.
    void answerSampleRun() {
        for (const char* text : {"sample.wav", "45", "60", "0.05", "1.5", "out.wav"}) {
            answer(text);
        }
    }

    // Waits until the pane has `count` lines, the one at `index` being `text`.
    bool waitForLine(std::size_t count, std::size_t index, const std::string& text) const {
        return waitFor([&] {
            const std::vector<std::string> lines = rows();
            return lines.size() == count && lines[index] == text;
        });
    }

    void resize(int columns, int lines) {
        runCommand(tmux() + "resize-window -t " + shellQuoted(session_) + " -x " +
                   std::to_string(columns) + " -y " + std::to_string(lines));
    }

    std::string folder_;
    std::string session_;
};

TEST_F(TerminalSession, AWholeRunLooksAsDesignedAndEndsCleanly) {
    start();
    EXPECT_EQ(paneTitle(), "Cartrivex\n");
    std::vector<std::string> lines = rows();
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[1], "   Cartrivex v1");
    EXPECT_EQ(lines[7], "   File to process?");  // the pane drops trailing blanks

    answer("nothing.wav");
    ASSERT_TRUE(waitForScreen("File not found.")) << screen();
    EXPECT_TRUE(waitForScreen("Please enter a valid filename"));
    key("Enter");
    ASSERT_TRUE(waitFor([&] { return screen().find("File not found.") == std::string::npos; }));

    answer("in.wav");
    ASSERT_TRUE(waitForScreen("Rotational speed [33/45]?")) << screen();
    answer("78");
    ASSERT_TRUE(waitForScreen("You must specify either '33' or '45'")) << screen();
    key("Escape");
    ASSERT_TRUE(waitFor([&] { return screen().find("You must specify") == std::string::npos; }));
    keys("4");
    key("Left");  // an extended key is dropped
    keys("x");
    key("BSpace");
    answer("5");
    for (const char* text : {"60", "0.05", "1.5", "out.wav"}) {
        answer(text);
    }
    ASSERT_TRUE(waitForScreen("Job finished")) << screen();
    lines = rows();
    ASSERT_GE(lines.size(), 64u);
    EXPECT_EQ(lines[12], "                     Channels     2");
    EXPECT_EQ(lines[13], "                     Sample rate  44100 Hz");
    EXPECT_EQ(lines[15], "                     Length       3000 samples");
    EXPECT_EQ(lines[22], "      Rotational speed [33/45]?                  45");
    EXPECT_EQ(lines[28], "   Output file?  out.wav");
    EXPECT_EQ(lines[44], "   Stage 4 done");
    EXPECT_EQ(lines[56], "   Done");
    EXPECT_EQ(lines[61], "   Job finished");
    EXPECT_EQ(lines[62], "   press any key to quit");
    key("q");
    ASSERT_TRUE(ended()) << screen();
    EXPECT_EQ(fileText("exit-code"), "0\n");
    expectSaneTerminal();
    EXPECT_NE(paneTitle(), "Cartrivex\n");  // the title the terminal had before is back
    struct stat info {};
    ASSERT_EQ(::stat((folder_ + "/out.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 44 + 3000 * 4);
}

// An input that goes away between its checks and the reading of its samples is reported, and the
// job asks for a file again rather than processing silence.
TEST_F(TerminalSession, AnInputGoneBeforeItIsReadIsAskedForAgain) {
    start();
    for (const char* text : {"in.wav", "45", "60", "0.05", "1.5"}) {
        answer(text);
    }
    ASSERT_TRUE(waitForScreen("Output file?")) << screen();
    std::filesystem::remove(folder_ + "/in.wav");
    answer("out.wav");
    ASSERT_TRUE(waitForScreen("The input file can no longer be read")) << screen();
    key("Enter");
    ASSERT_TRUE(waitFor([&] { return screen().find("no longer be read") == std::string::npos; }));
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/out.wav"));
    writeWave(folder_ + "/in.wav", 3000);
    for (const char* text : {"in.wav", "45", "60", "0.05", "1.5", "out.wav"}) {
        answer(text);
    }
    ASSERT_TRUE(waitForScreen("Job finished")) << screen();
    key("q");
    ASSERT_TRUE(ended()) << screen();
    EXPECT_EQ(fileText("exit-code"), "0\n");
    EXPECT_EQ(std::filesystem::file_size(folder_ + "/out.wav"), 44u + 3000u * 4);
}

TEST_F(TerminalSession, SignalsFromOutsideGiveTheTerminalBack) {
    for (const int number : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(number);
        start();
        keys("typed but not ended");
        ASSERT_TRUE(waitForScreen("typed but not ended"));
        const pid_t pid = programPid();
        ASSERT_GT(pid, 0);
        ASSERT_EQ(::kill(pid, number), 0);
        ASSERT_TRUE(ended()) << screen();
        EXPECT_NE(fileText("exit-code"), "0\n");
        expectSaneTerminal();
        TearDown();
        SetUp();
    }
}

TEST_F(TerminalSession, AKillInsideAMessageBoxGivesTheTerminalBack) {
    start();
    answer("");
    ASSERT_TRUE(waitForScreen("File not found."));
    ASSERT_EQ(::kill(programPid(), SIGTERM), 0);
    ASSERT_TRUE(ended()) << screen();
    expectSaneTerminal();
}

TEST_F(TerminalSession, ATerminalThatCannotPlaceTheCursorIsRefused) {
    launch("export TERM=dumb");
    ASSERT_TRUE(ended()) << screen();
    EXPECT_EQ(fileText("exit-code"), "1\n");
    EXPECT_NE(screen().find("cannot drive a terminal of type \"dumb\""), std::string::npos)
        << screen();
    expectSaneTerminal();
}

TEST_F(TerminalSession, CtrlCTypedIsAnOrdinaryCharacter) {
    start();
    key("C-c");
    keys("in.wav");
    key("Enter");
    ASSERT_TRUE(waitForScreen("Rotational speed")) << screen();
    EXPECT_EQ(::kill(programPid(), 0), 0);  // still running, at the next question
}

// The terminal shrinks to 20 x 10 and grows back at a prompt and while the processing lines run:
// meanwhile it shows the part of the screen around the cursor, then the whole screen again.
TEST_F(TerminalSession, ResizingDuringTheDialogueAndTheProcessingLosesNothing) {
    start();
    answer("sample.wav");
    answer("45");
    ASSERT_TRUE(waitForScreen("Groove radius (mm)?")) << screen();
    resize(20, 10);
    // The cursor waits at row 24, column 50: the terminal shows rows 15 to 24, columns 31 to 50.
    ASSERT_TRUE(waitForLine(10, 8, "?                  4")) << screen();
    EXPECT_EQ(rows()[0], "n   16 bits");
    keys("6");
    ASSERT_TRUE(waitForLine(10, 9, std::string(18, ' ') + "6")) << screen();  // one column on
    resize(80, 65);
    ASSERT_TRUE(waitForLine(65, 23, "      Groove radius (mm)?                        6"))
        << screen();
    EXPECT_EQ(rows()[7], "   File to process?  sample.wav");
    for (const char* text : {"0", "0.05", "1.5", "out.wav"}) {
        answer(text);
    }
    ASSERT_TRUE(waitForScreen("Stage 1 done")) << screen();
    resize(20, 10);
    ASSERT_TRUE(waitForScreen("   press any key to")) << screen();
    EXPECT_EQ(rows().size(), 10u);
    resize(80, 65);
    ASSERT_TRUE(waitForLine(65, 61, "   Job finished")) << screen();
    const std::vector<std::string> lines = rows();
    EXPECT_EQ(lines[1], "   Cartrivex v1");
    EXPECT_EQ(lines[7], "   File to process?  sample.wav");
    EXPECT_EQ(lines[15], "                     Length       441000 samples");
    EXPECT_EQ(lines[22], "      Rotational speed [33/45]?                  45");
    EXPECT_EQ(lines[23], "      Groove radius (mm)?                        60");
    EXPECT_EQ(lines[28], "   Output file?  out.wav");
    EXPECT_EQ(lines[44], "   Stage 4 done");
    EXPECT_EQ(lines[56], "   Done");
    key("q");
    ASSERT_TRUE(ended()) << screen();
    EXPECT_EQ(fileText("exit-code"), "0\n");
    expectSaneTerminal();
    EXPECT_EQ(std::filesystem::file_size(folder_ + "/out.wav"), 44u + 441000u * 4);
}

// Trouble while the processing lines run: a kill as the processing starts and as the output is
// written; too little memory for the buffers (16 MB of address space: the dialogue fits, the
// output of a 10-second file does not); helper threads that cannot start (900 MB stacks in 1 GB),
// which only takes longer. The terminal is always given back, and the output file is there only
// when it was written whole (a kill that lands after the rename finds it complete), with no
// temporary file left beside it.
TEST_F(TerminalSession, TroubleDuringTheProcessingEndsCleanly) {
    struct Trouble {
        const char* limits;
        const char* awaited;
        int exitCode;  // 143: killed with SIGTERM once `awaited` shows
    };
    for (const Trouble& trouble :
         {Trouble{"", "Converting source signal to M-S format...", 143},
          Trouble{"", "Writing output file...", 143},
          Trouble{"ulimit -v 16000", "There is not enough memory to process this file", 1},
          Trouble{"ulimit -v 1000000 && ulimit -s 900000", "Job finished", 0}}) {
        SCOPED_TRACE(trouble.awaited);
#ifdef __SANITIZE_ADDRESS__
        if (*trouble.limits != '\0') {
            continue;  // the address sanitizer needs far more address space
        }
#endif
        start(trouble.limits);
        answerSampleRun();
        ASSERT_TRUE(waitForScreen(trouble.awaited)) << screen();
        if (trouble.exitCode == 143) {
            ASSERT_EQ(::kill(programPid(), SIGTERM), 0);
        } else {
            key("Enter");  // closes the box, or quits
            key("q");
        }
        ASSERT_TRUE(ended()) << screen();
        EXPECT_EQ(fileText("exit-code"), std::to_string(trouble.exitCode) + "\n");
        expectSaneTerminal();
        std::set<std::string> names,
            expected{"exit-code", "in.wav", "modes", "program-pid", "sample.wav"};
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            names.insert(entry.path().filename().string());
        }
        if (trouble.exitCode == 0) {
            expected.insert("out.wav");
        }
        if (trouble.exitCode == 143 && names.count("out.wav") != 0) {
            EXPECT_EQ(std::filesystem::file_size(folder_ + "/out.wav"), 44u + 441000u * 4);
            names.erase("out.wav");
        }
        EXPECT_EQ(names, expected);
        TearDown();
        SetUp();
    }
}

// An output pipe whose reader goes away midway is a failed write like any other: the result is
// kept and another name is asked for.
TEST_F(TerminalSession, AnOutputPipeClosedMidwayIsAskedForAgain) {
    start();
    const std::string fifo = folder_ + "/pipe.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const char* text : {"sample.wav", "45", "60", "0.05", "1.5", "pipe.wav"}) {
        answer(text);
    }
    // Take the first bytes of the output as they come, then go away.
    char bytes[1000];
    std::size_t taken = 0;
    for (int attempt = 0; attempt < 12000 && taken < sizeof bytes; ++attempt) {
        const ssize_t got = ::read(reader, bytes + taken, sizeof bytes - taken);
        if (got > 0) {
            taken += static_cast<std::size_t>(got);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ::close(reader);
    EXPECT_EQ(taken, sizeof bytes);
    ASSERT_TRUE(waitForScreen(std::strerror(EPIPE))) << screen();
    key("Enter");
    answer("out.wav");
    ASSERT_TRUE(waitForScreen("Job finished")) << screen();
    key("q");
    ASSERT_TRUE(ended()) << screen();
    EXPECT_EQ(fileText("exit-code"), "0\n");
    expectSaneTerminal();
    struct stat info {};
    ASSERT_EQ(::stat((folder_ + "/out.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 44 + 441000 * 4);
}

TEST(ProgramWithoutTerminal, SaysSoAndFails) {
    int status = 0;
    const std::string output =
        runCommand(shellQuoted(CARTRIVEX_PROGRAM) + " </dev/null 2>&1 >/dev/null", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find("terminal"), std::string::npos) << output;
}

// The program refuses to start, before it takes the terminal, when a coefficient file is
// missing or cannot be read, and names that file; with all four it goes on to the terminal.
TEST(ProgramWithoutTerminal, AMissingOrUnreadableCoefficientFileStopsTheStart) {
    char name[] = "/tmp/cartrivex-start-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const std::filesystem::path folder = name;
    const std::filesystem::path bin = folder / "bin";
    std::filesystem::create_directories(bin / "data");
    std::filesystem::copy_file(CARTRIVEX_PROGRAM, bin / "cartrivex");
    std::filesystem::permissions(bin / "cartrivex", std::filesystem::perms::owner_all);
    const std::filesystem::path data = std::filesystem::path(CARTRIVEX_SOURCE_DIR) / "data";

    const struct {
        std::vector<std::string> beside;  // filter files put in data/ beside the program
        bool thirdIsAFolder;              // filter3.dat beside it is a folder
        std::string expected;
    } cases[] = {
        {{},
         false,
         "the coefficient file filter1.dat was found neither in the working directory nor in " +
             bin.string() + "/data nor in " + bin.string() + "/../share/cartrivex"},
        {{"filter1.dat", "filter2.dat", "filter4.dat"}, false, "coefficient file filter3.dat"},
        {{"filter1.dat", "filter2.dat", "filter4.dat"},
         true,
         "coefficient file " + bin.string() + "/data/filter3.dat cannot be read: "},
        {{"filter1.dat", "filter2.dat", "filter3.dat", "filter4.dat"}, false, "terminal"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(bin / "data");
        std::filesystem::create_directory(bin / "data");
        for (const std::string& file : c.beside) {
            std::filesystem::copy_file(data / file, bin / "data" / file);
        }
        if (c.thirdIsAFolder) {
            std::filesystem::create_directory(bin / "data" / "filter3.dat");
        }
        int status = 0;
        const std::string output = runCommand("cd " + shellQuoted(folder.string()) + " && " +
                                                  shellQuoted((bin / "cartrivex").string()) +
                                                  " </dev/null 2>&1 >/dev/null",
                                              &status);
        EXPECT_EQ(status, 1) << output;
        EXPECT_NE(output.find(c.expected), std::string::npos) << output;
        EXPECT_EQ(output.find("cannot start") != std::string::npos, c.expected != "terminal")
            << output;
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
