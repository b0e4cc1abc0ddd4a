// The bundle as the LV2 tools and real hosts meet it: its Turtle checked against the LV2 schemas,
// lv2info's view of its plugins and ports, and lv2apply and ffmpeg rendering a file through the
// bundle installed by cmake --install.

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/audio_test_files.hpp"
#include "tests/support/files.hpp"
#include "tests/support/lv2_host.hpp"
#include "tests/support/plugin_runs.hpp"
#include "tests/support/process_run.hpp"

namespace {

// Every Turtle file of the LV2 specifications lv2-dev installs: the vocabularies and schemas.
std::string lv2SchemaFiles() {
    std::string files;
    const std::string root = "/usr/lib/lv2";
    for (const std::string& bundle : TemporaryDirectory::entriesOf(root)) {
        for (const std::string& name : TemporaryDirectory::entriesOf(root + "/" + bundle)) {
            if (name.size() > 4 && name.substr(name.size() - 4) == ".ttl") {
                files += " " + shellWord(root + "/" + bundle + "/" + name);
            }
        }
    }
    return files;
}

ProcessResult validate(const std::string& bundle) {
    return runShell("sord_validate" + lv2SchemaFiles() + " " + shellWord(bundle) +
                    "/manifest.ttl " + shellWord(bundle) + "/cartrivex.ttl 2>&1");
}

// The environment a host program runs the plugin in: the installed bundles, and under the
// sanitizers their runtime loaded first, which an uninstrumented host lacks.
std::string hostEnvironment(const std::string& lv2Path) {
    std::string environment = "LV2_PATH=" + shellWord(lv2Path);
#ifdef CARTRIVEX_SANITIZER_RUNTIME
    environment += " LD_PRELOAD=" + shellWord(CARTRIVEX_SANITIZER_RUNTIME) +
                   " ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0";
#endif
    return environment;
}

std::int64_t reportedLatency(int sampleRate) {
    Lv2Host host(kBundle, pluginUri(2));
    EXPECT_TRUE(host.open(sampleRate, 1));
    std::vector<float> frame(2, 0.0f);
    host.run(frame.data(), frame.data(), 1);
    return static_cast<std::int64_t>(host.control("latency"));
}

TEST(PluginBundle, TurtleValidatesAgainstTheLv2Schemas) {
    ASSERT_TRUE(programAvailable("sord_validate"));
    const ProcessResult valid = validate(kBundle);
    EXPECT_NE(valid.out.find("Found 0 errors"), std::string::npos) << valid.out;
    // The check has teeth: a port index that is not a number, and a unit LV2 does not name.
    const TemporaryDirectory folder;
    const std::vector<std::uint8_t> bytes = readBytes(std::string(kBundle) + "/cartrivex.ttl");
    const std::string text(bytes.begin(), bytes.end());
    writeBytes(folder.file("manifest.ttl"), readBytes(std::string(kBundle) + "/manifest.ttl"));
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"lv2:index 4 ;", "lv2:index \"four\" ;"},
          {"units:unit units:mm", "units:unit units:millimetre"}}) {
        SCOPED_TRACE(to);
        std::string broken = text;
        const std::size_t at = broken.find(from);
        ASSERT_NE(at, std::string::npos);
        broken.replace(at, from.size(), to);
        writeBytes(folder.file("cartrivex.ttl"),
                   std::vector<std::uint8_t>(broken.begin(), broken.end()));
        const ProcessResult invalid = validate(folder.path);
        EXPECT_EQ(invalid.out.find("Found 0 errors"), std::string::npos) << invalid.out;
    }
}

TEST(PluginBundle, Lv2infoFindsBothPluginsTheirPortsAndTheLatencyPort) {
    ASSERT_TRUE(programAvailable("lv2info"));
    struct Expected {
        int channels;
        std::vector<std::string> symbols;
        int latencyPort;
    };
    for (const Expected& expected :
         {Expected{2,
                   {"in_l", "in_r", "out_l", "out_r", "speed", "radius", "amplitude", "angle",
                    "latency"},
                   8},
          Expected{1, {"in", "out", "speed", "radius", "amplitude", "angle", "latency"}, 6}}) {
        SCOPED_TRACE(expected.channels);
        const ProcessResult info = runShell("LV2_PATH=" + shellWord(std::string(kBundle) + "/..") +
                                            " lv2info " + pluginUri(expected.channels) + " 2>&1");
        ASSERT_EQ(info.exitCode, 0) << info.out;
        EXPECT_NE(info.out.find("Has latency:       yes, reported by port " +
                                std::to_string(expected.latencyPort)),
                  std::string::npos)
            << info.out;
        EXPECT_NE(info.out.find("lv2core#hardRTCapable"), std::string::npos);
        for (const std::string& symbol : expected.symbols) {
            EXPECT_NE(info.out.find("Symbol:      " + symbol + "\n"), std::string::npos) << symbol;
        }
        for (const char* shown :
             {"33 1/3 rpm", "45 rpm", "78 rpm", "lv2core#enumeration", "Minimum:     -45.000000",
              "Maximum:     150.000000", "Maximum:     0.200000"}) {
            EXPECT_NE(info.out.find(shown), std::string::npos) << shown;
        }
    }
}

// A real host plays a file through the installed bundle: its output, shifted back by the
// plugin's latency, is the command line's float render.
TEST(PluginBundle, RealHostsRenderAFileThroughTheInstalledBundle) {
    const TemporaryDirectory folder;
    const ProcessResult install = runProcess(
        {CARTRIVEX_CMAKE, "--install", CARTRIVEX_BUILD_DIR, "--prefix", folder.file("prefix")});
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
    const std::string lv2Path = folder.file("prefix") + "/lib/lv2";
    const std::vector<float> input = recordingSignal(2, 1.0);
    ASSERT_TRUE(writeFloatWave(folder.file("in.wav"), input, 2, 44100));
    const PluginSettings settings{"33", 100, 0.05, 2};
    const std::vector<float> expected =
        commandLineRender(folder.file("in.wav"), folder.file("cli.wav"), settings);
    const std::int64_t latency = reportedLatency(44100);
    ASSERT_GT(latency, 0);

    struct Host {
        const char* name;
        std::string command;
    };
    std::vector<Host> hosts = {
        {"lv2apply", hostEnvironment(lv2Path) + " lv2apply -i " + shellWord(folder.file("in.wav")) +
                         " -o " + shellWord(folder.file("lv2apply.wav")) +
                         " -c speed 33.333332 -c radius 100 -c amplitude 0.05 -c angle 2 " +
                         pluginUri(2)}};
    const ProcessResult filters = runShell("ffmpeg -hide_banner -filters 2>/dev/null");
    if (filters.out.find(" lv2 ") != std::string::npos) {
        hosts.push_back({"ffmpeg", hostEnvironment(lv2Path) +
                                       " ffmpeg -hide_banner -loglevel error -y -i " +
                                       shellWord(folder.file("in.wav")) +
                                       " -af \"lv2=p='urn\\:cartrivex\\:pickup\\:stereo':c='speed="
                                       "33.333332|radius=100|amplitude=0.05|angle=2'\" -c:a "
                                       "pcm_f32le " +
                                       shellWord(folder.file("ffmpeg.wav"))});
    }
    for (const Host& host : hosts) {
        SCOPED_TRACE(host.name);
        const ProcessResult run = runShell(host.command);
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        const TestAudio output = readTestAudio(folder.file(std::string(host.name) + ".wav"));
        ASSERT_EQ(output.frameCount, static_cast<std::int64_t>(input.size() / 2));
        PluginOutput played;
        played.latency = latency;
        played.samples = output.floats;
        expectShiftedBy(played, expected, 2);
    }
}

}  // namespace
