#include "app/job.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/dialogue.hpp"
#include "app/job_texts.hpp"
#include "console/console_screen.hpp"
#include "console/key_decoder.hpp"
#include "console/scripted_backend.hpp"
#include "dsp/coefficient_set.hpp"
#include "tests/support/files.hpp"
#include "tests/support/wave_bytes.hpp"

namespace {

std::vector<std::int16_t> sine(int frames, double amplitude) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2 * 3.141592653589793 * 1000.0 * i / 44100.0);
        samples.push_back(static_cast<std::int16_t>(std::lrint(v)));
        samples.push_back(static_cast<std::int16_t>(std::lrint(v * 0.5)));
    }
    return samples;
}

// A run of the whole program against the in-memory console, in a folder of its own.
class JobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(directory_.path.empty());
        folder_ = directory_.path;
        device_.backend = &script_;
        std::string message;
        ASSERT_TRUE(loadCoefficientSet(std::string(CARTRIVEX_SOURCE_DIR), coefficients_, message))
            << message;
    }
    std::string path(const std::string& name) const { return folder_ + "/" + name; }

    void writeFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        writeBytes(path(name), bytes);
    }

    std::vector<std::uint8_t> readFile(const std::string& name) { return readBytes(path(name)); }

    void type(const std::string& line) { scriptText(script_, line + "\r"); }
    // A line that the program refuses, and the Enter that closes the box it shows.
    void typeRefused(const std::string& line) {
        type(line);
        script_.keys.push_back({KeyKind::Character, 13});
    }

    int run() { return runJob(device_, coefficients_, 2); }

    std::string row(int r) const {
        std::string text = rowText(device_.screen, r);
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    }

    void expectRows(int first, const std::vector<std::string>& rows) {
        for (std::size_t k = 0; k < rows.size(); ++k) {
            EXPECT_EQ(row(first + static_cast<int>(k)), rows[k]) << "row " << first + k;
        }
    }

    // Bytes as a terminal delivers them, decoded into keys the way the terminal console does.
    void typeBytes(const std::string& bytes) {
        KeyDecoder decoder;
        for (const char byte : bytes) {
            decodeKeyByte(decoder, static_cast<unsigned char>(byte), script_.keys);
        }
        flushKeyDecoder(decoder, script_.keys);
    }

    struct RunRecord {
        int exitCode = 0;
        ScreenBuffer screen;
        std::vector<std::string> events;
        std::vector<std::uint8_t> output;
    };

    // Runs the script typed so far, then leaves a fresh console and no output file behind.
    RunRecord runAndRecord() {
        const int exitCode = run();
        RunRecord record{exitCode, device_.screen, script_.events, readFile("out.wav")};
        script_ = ScriptedConsole{};
        device_ = ConsoleDevice{};
        device_.backend = &script_;
        std::filesystem::remove(path("out.wav"));
        return record;
    }

    TemporaryDirectory directory_;
    std::string folder_;
    ScriptedConsole script_;
    ConsoleDevice device_;
    CoefficientSet coefficients_;
};

// The typical answers: a short sine, "45", 60 mm, 0.05 mm, 1.5 degrees.
TEST_F(JobTest, RunsTheWholeDialogueOnItsRows) {
    writeFile("in.wav", waveFile(sine(1000, 8000)));
    for (const std::string& answer : {path("in.wav"), std::string("45"), std::string("60"),
                                      std::string("0.05"), std::string("1.5"), path("out.wav")}) {
        type(answer);
    }
    script_.keys.push_back({KeyKind::Character, 'q'});
    EXPECT_EQ(run(), 0);

    EXPECT_EQ(script_.windowTitle, "Cartrivex");
    EXPECT_EQ(device_.screen.height, 65);
    EXPECT_EQ(script_.events.back(), "beep");
    EXPECT_EQ(row(1), "");
    EXPECT_EQ(row(2), "   Cartrivex v1");
    EXPECT_EQ(row(3).substr(0, 3), "   ");
    EXPECT_EQ(row(4).substr(0, 3), "   ");
    expectRows(
        5,
        {"", "", "", "   File to process?  " + path("in.wav"), "", "",
         "                     FILE DATA", "", "                     Channels     2",
         "                     Sample rate  44100 Hz", "                     Resolution   16 bits",
         "                     Length       1000 samples",
         "                     Duration     .02 second(s)", "", "", "", "   Disc parameters:", ""});
    EXPECT_EQ(row(23), "      Rotational speed [33/45]?                  45");
    EXPECT_EQ(row(24), "      Groove radius (mm)?                        60");
    EXPECT_EQ(row(25), "      Full scale lateral groove amplitude (mm)?  0.05");
    EXPECT_EQ(row(26), "      Lateral tracking error (deg)?              1.5");
    expectRows(27, {"", "", "   Output file?  " + path("out.wav"), "", ""});
    expectRows(32, {"   Reading input file...",
                    "   Done",
                    "",
                    "   Converting source signal to M-S format...",
                    "   Done",
                    "",
                    "   Filtering lateral modulation component...",
                    "   Done",
                    "",
                    "   Upsampling (four stages)...",
                    "   Stage 1 done",
                    "   Stage 2 done",
                    "   Stage 3 done",
                    "   Stage 4 done",
                    "",
                    "   Calculating interpolated output values...",
                    "   Done",
                    "",
                    "   Inverse filtering lateral modulation component...",
                    "   Done",
                    "",
                    "   Converting back to L-R stereo...",
                    "   Done",
                    "",
                    "   Writing output file...",
                    "   Done",
                    "",
                    "",
                    "",
                    "",
                    "   Job finished",
                    "   press any key to quit",
                    ""});
    EXPECT_EQ(device_.screen.cursorRow, 64);
    // Colours: answers and the banner in black, prompts in dark grey, all on bright white.
    EXPECT_EQ(cellAt(device_.screen, 2, 4).attribute, 0xF0);
    EXPECT_EQ(cellAt(device_.screen, 23, 7).attribute, 0xF8);
    EXPECT_EQ(cellAt(device_.screen, 23, 50).attribute, 0xF0);
    EXPECT_EQ(cellAt(device_.screen, 62, 4).attribute, 0xF0);
    EXPECT_EQ(cellAt(device_.screen, 63, 4).attribute, 0xF8);
    EXPECT_EQ(cellAt(device_.screen, 65, 80).attribute, 0xF0);

    const std::vector<std::uint8_t> input = readFile("in.wav");
    const std::vector<std::uint8_t> output = readFile("out.wav");
    ASSERT_EQ(output.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.begin() + 44, output.begin()));
    EXPECT_NE(output, input);  // dither and distortion change the samples
}

// The numbers the disc answers give, as the dialogue hands them on.
TEST_F(JobTest, DiscAnswersGiveTheirNumbers) {
    const struct {
        std::vector<std::string> answers;
        DiscParameters expected;
    } cases[] = {
        {{"33", "12.5mm", "   7", "-1.5"}, {static_cast<double>(100.0L / 3), 12.5, 7, -1.5}},
        {{"45", "60", ".05", "1.5e0deg"}, {45, 60, 0.05, 1.5}},
        {{"45", "&H1F", "abc", ""}, {45, 31, 0, 0}},
    };
    for (const auto& c : cases) {
        script_ = ScriptedConsole{};
        device_ = ConsoleDevice{};
        device_.backend = &script_;
        for (const std::string& answer : c.answers) {
            type(answer);
        }
        ConsoleScreen screen{&device_};
        DiscParameters parameters;
        askDiscParameters(screen, parameters);
        EXPECT_EQ(parameters.revolutionsPerMinute, c.expected.revolutionsPerMinute);
        EXPECT_EQ(parameters.grooveRadius, c.expected.grooveRadius);
        EXPECT_EQ(parameters.fullScaleLateralAmplitude, c.expected.fullScaleLateralAmplitude);
        EXPECT_EQ(parameters.trackingErrorDegrees, c.expected.trackingErrorDegrees);
        EXPECT_TRUE(script_.keys.empty());
    }
}

TEST_F(JobTest, RefusedAnswersAreAskedAgainInPlace) {
    std::vector<std::uint8_t> mono = waveFile(sine(100, 1000), 1);
    writeFile("mono.wav", mono);
    writeFile("in.wav", waveFile(sine(300, 1000)));
    typeRefused("");
    typeRefused(path("missing.wav"));
    typeRefused(path("mono.wav"));
    type(path("in.wav"));
    for (const char* answer : {" 33", "33 ", "33.3", "45rpm"}) {
        typeRefused(answer);
    }
    type("33");
    typeRefused("abc");
    typeRefused("0");
    for (const char* answer : {"12.5mm", "", "-1"}) {
        type(answer);
    }
    type(path("out.wav"));
    script_.keys.push_back({KeyKind::Character, 'q'});
    EXPECT_EQ(run(), 0);

    const std::string notFound =
        "box               ERROR|          File not found.\\nPlease enter a valid filename";
    const std::string speed = "box   ERROR|You must specify either '33' or '45' ";
    const std::vector<std::string> expected = {
        "title Cartrivex",
        "sleep 100",
        "beep",
        notFound,
        "sleep 100",
        "beep",
        notFound,
        "beep",
        "box   ERROR|This is not a stereo Wave file ",
        "beep",
        speed,
        "beep",
        speed,
        "beep",
        speed,
        "beep",
        speed,
        "beep",
        "box   ERROR|" + std::string("The groove radius must not be 0: the groove would not move "
                                     "under the stylus "),
        "beep",
        "box   ERROR|" + std::string("The groove radius must not be 0: the groove would not move "
                                     "under the stylus "),
        "beep"};
    EXPECT_EQ(script_.events, expected);
    // Nothing of the refused attempts is left; every answer stands on its row.
    EXPECT_EQ(row(8), "   File to process?  " + path("in.wav"));
    EXPECT_EQ(row(16), "                     Length       300 samples");
    EXPECT_EQ(row(23), "      Rotational speed [33/45]?                  33");
    EXPECT_EQ(row(24), "      Groove radius (mm)?                        12.5mm");
    EXPECT_EQ(row(25), "      Full scale lateral groove amplitude (mm)?");
    EXPECT_EQ(row(26), "      Lateral tracking error (deg)?              -1");
    EXPECT_EQ(row(29), "   Output file?  " + path("out.wav"));
    EXPECT_EQ(row(62), "   Job finished");
    EXPECT_EQ(readFile("out.wav").size(), 44u + 1200u);
}

TEST_F(JobTest, AttenuationIsNotedWhenThePeakWouldClip) {
    // Each stage passing its input straight through at its factor's gain makes the lateral
    // component 144 times louder.
    for (std::size_t stage = 0; stage < 4; ++stage) {
        std::vector<double>& taps = coefficients_.taps[stage];
        std::fill(taps.begin(), taps.end(), 0.0);
        taps[static_cast<std::size_t>(kUpsampleStages[stage].delay)] = 1.0;
    }
    writeFile("in.wav", waveFile(sine(2000, 20000)));
    for (const std::string& answer : {path("in.wav"), std::string("33"), std::string("60"),
                                      std::string("0"), std::string("0"), path("out.wav")}) {
        type(answer);
    }
    script_.keys.push_back({KeyKind::Extended, 59});
    EXPECT_EQ(run(), 0);
    expectRows(56, {"   Writing output file...", "   Done", "", ""});
    const std::string note = row(60);
    const std::string prefix = "   NOTE - the output was attenuated by ";
    ASSERT_EQ(note.substr(0, prefix.size()), prefix);
    EXPECT_EQ(note.substr(note.size() - 30), "decibel(s) to prevent clipping");
    const double decibels = std::atof(note.c_str() + prefix.size());
    // The lateral peak alone is 144 x 15000; the side and the filters' start-up add a little.
    EXPECT_GE(decibels, 20 * std::log10(144.0 * 15000 / 32766));
    EXPECT_LT(decibels, 20 * std::log10(144.0 * 15000 / 32766) + 2);
    expectRows(61, {"", "", "   Job finished", "   press any key to quit", ""});
    EXPECT_EQ(device_.screen.cursorRow, 65);
}

TEST_F(JobTest, AFailedWriteAsksForAnotherNameAndKeepsTheResult) {
    writeFile("in.wav", waveFile(sine(200, 3000)));
    ASSERT_EQ(mkdir(path("taken").c_str(), 0755), 0);
    for (const std::string& answer : {path("in.wav"), std::string("45"), std::string("60"),
                                      std::string("0.05"), std::string("1.5")}) {
        type(answer);
    }
    typeRefused(path("taken"));
    typeRefused(path("no/such/folder/out.wav"));
    type(path("out.wav"));
    script_.keys.push_back({KeyKind::Character, 'q'});
    EXPECT_EQ(run(), 0);
    int boxes = 0;
    for (const std::string& event : script_.events) {
        if (event.rfind("box   ERROR|The output file could not be written\\n", 0) == 0) {
            ++boxes;
        }
    }
    EXPECT_EQ(boxes, 2);
    expectRows(55,  // two rows more than a plain run: the screen has scrolled by one
               {"   Writing output file...", "   Output file?  " + path("no/such/folder/out.wav"),
                "   Output file?  " + path("out.wav"), "   Done"});
    EXPECT_EQ(readFile("out.wav").size(), 44u + 800u);
}

TEST_F(JobTest, GivingUpOnTheOutputEndsWithoutSuccess) {
    writeFile("in.wav", waveFile(sine(50, 3000)));
    for (const std::string& answer : {path("in.wav"), std::string("45"), std::string("60"),
                                      std::string("0.05"), std::string("1.5")}) {
        type(answer);
    }
    typeRefused(path(""));
    type("");
    script_.keys.push_back({KeyKind::Character, 'q'});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(row(58), "   Output file not written");
    EXPECT_EQ(row(61), "   press any key to quit");
}

enum class Noise { ControlCharacters, EscapeSequences, HighBytesTakenBack };

// A seeded burst of keys that type nothing: control characters (but Enter, Backspace and
// Escape), cursor and function keys, or high bytes erased again with Backspace.
std::string noise(Noise kind, std::mt19937& random) {
    static const char* const kSequences[] = {"\x1b[A", "\x1b[1;5D",  "\x1bOP",   "\x1b[15~",
                                             "\x1bx",  "\x1b\x1b[B", "\x1b[200~"};
    std::string bytes;
    for (int n = 1 + static_cast<int>(random() % 30); n > 0; --n) {
        if (kind == Noise::ControlCharacters) {
            const char c = static_cast<char>(random() % 32);
            bytes += c == 13 || c == 8 || c == 27 ? '\x01' : c;
        } else if (kind == Noise::EscapeSequences) {
            bytes += random() % 2 == 0 ? std::string(kSequences[random() % 7])
                                       : "\x1b[" + std::to_string(random() % 100) +
                                             static_cast<char>(0x40 + random() % 63);
        } else {
            bytes.insert(bytes.begin(), static_cast<char>(128 + random() % 128));
            bytes += random() % 2 == 0 ? '\x7f' : '\b';
        }
    }
    return bytes;
}

// Keys that type nothing, at random among the answers, change nothing. Answers of the full 10000
// characters of any byte from 32 to 255 (names and speeds that are refused, a radius with no
// figure, figures with a long tail) are read as typed, so the run writes what the short ones give.
// A file with more chunks than the canonical two is reported and processed by its data chunk,
// and gives the same output file as the canonical file of the same samples.
TEST_F(JobTest, AFileWithMoreChunksGivesTheCanonicalFilesResult) {
    const std::vector<std::int16_t> samples = sine(1000, 8000);
    std::vector<std::uint8_t> sampleBytes;
    appendSamples(sampleBytes, samples);
    const std::vector<std::uint8_t> info = {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 5,
                                            0,   0,   0,   'e', 'n', 'c', '1', 0};
    writeFile("chunks.wav", chunkedWave({{"fmt ", formatFields(2, 44100, 16, 1, 2)},
                                         {"LIST", info},
                                         {"fact", {0xE8, 0x03, 0, 0}},
                                         {"data", sampleBytes}}));
    writeFile("in.wav", waveFile(samples));
    RunRecord records[2];
    for (int k = 0; k < 2; ++k) {
        for (const std::string& answer :
             {path(k == 0 ? "chunks.wav" : "in.wav"), std::string("45"), std::string("60"),
              std::string("0.05"), std::string("1.5"), path("out.wav")}) {
            type(answer);
        }
        script_.keys.push_back({KeyKind::Character, 'q'});
        records[k] = runAndRecord();
        ASSERT_EQ(records[k].exitCode, 0);
    }
    // Every row but the file name's is the canonical file's.
    EXPECT_NE(rowText(records[0].screen, 16).find("Length       1000 samples"), std::string::npos);
    for (int r = 1; r <= 65; ++r) {
        if (r != 8) {
            EXPECT_EQ(rowText(records[0].screen, r), rowText(records[1].screen, r)) << "row " << r;
        }
    }
    ASSERT_EQ(records[0].output.size(), 44u + 4000u);
    EXPECT_EQ(records[0].output, records[1].output);
}

TEST_F(JobTest, TypedNoiseAndLongAnswersAreReadAsTyped) {
    writeFile("in.wav", waveFile(sine(500, 6000)));
    const std::vector<std::string> answers = {path("in.wav"), "45",  "60",
                                              "0.05",         "1.5", path("out.wav")};
    auto typeAnswers = [&](auto&& makeNoise) {
        for (const std::string& answer : answers) {
            const std::size_t half = answer.size() / 2;
            typeBytes(makeNoise() + answer.substr(0, half) + makeNoise() + answer.substr(half) +
                      makeNoise() + "\r");
        }
        script_.keys.push_back({KeyKind::Character, 'q'});
    };
    typeAnswers([] { return std::string(); });
    const RunRecord plain = runAndRecord();
    ASSERT_EQ(plain.exitCode, 0);

    std::mt19937 random(20261209);
    for (const Noise kind :
         {Noise::ControlCharacters, Noise::EscapeSequences, Noise::HighBytesTakenBack}) {
        SCOPED_TRACE(static_cast<int>(kind));
        typeAnswers([&] { return noise(kind, random); });
        const RunRecord noisy = runAndRecord();
        EXPECT_EQ(noisy.exitCode, 0);
        EXPECT_EQ(noisy.events, plain.events);
        for (int r = 1; r <= 65; ++r) {
            EXPECT_EQ(rowText(noisy.screen, r), rowText(plain.screen, r)) << "row " << r;
        }
        EXPECT_EQ(noisy.output, plain.output);
    }

    auto filler = [&](std::size_t length, int lowest) {
        std::string text;
        while (text.size() < length) {
            text += static_cast<char>(lowest + static_cast<int>(random() % (256 - lowest)));
        }
        return text;
    };
    typeRefused(filler(10000, 32));
    type(path("in.wav"));
    typeRefused(filler(10000, 32));
    type("45");
    typeRefused(filler(10000, 128));
    type("60");
    type("0.05" + filler(9996, 128));
    type("1.5" + filler(9997, 128));
    typeRefused(path(std::string(9999 - folder_.size(), 'o')));
    type(path("out.wav"));
    script_.keys.push_back({KeyKind::Character, 'q'});
    EXPECT_EQ(run(), 0);
    std::vector<std::string> boxes;
    for (const std::string& event : script_.events) {
        if (event.rfind("box ", 0) == 0) {
            boxes.push_back(event.substr(0, event.find("\\n")));
        }
    }
    EXPECT_EQ(boxes,
              (std::vector<std::string>{"box               ERROR|          File not found.",
                                        "box   ERROR|You must specify either '33' or '45' ",
                                        "box   ERROR|" + std::string(kRadiusText),
                                        "box   ERROR|The output file could not be written"}));
    EXPECT_EQ(readFile("out.wav"), plain.output);
    // The long answers have scrolled the screen to its bottom row, where the prompt asking again
    // for the output file scrolls up away from the row its answer is typed on.
    expectRows(
        device_.screen.cursorRow - 10,
        {"   Writing output file...", "   Output file?", std::string(17, ' ') + path("out.wav"),
         "   Done", "", "", "", "", "   Job finished", "   press any key to quit"});
}

}  // namespace
