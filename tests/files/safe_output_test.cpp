#include "files/safe_output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "files/text_file.hpp"
#include "tests/support/files.hpp"

namespace {

const std::vector<std::uint8_t> kBytes = {'n', 'e', 'w', 0, 1, 2, 255};

// What one output through SafeOutput came to.
struct Written {
    bool written = false;
    std::string reason;
};

// Begins an output at `path`, writes `bytes` and commits.
Written writeThrough(const std::string& path, const std::vector<std::uint8_t>& bytes,
                     const OutputRules& rules = {}) {
    SafeOutput output(rules);
    Written result;
    if (!output.begin(path, result.reason)) {
        return result;
    }
    if (::write(output.fd(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        result.reason = std::strerror(errno);
        return result;
    }
    result.written = output.commit(result.reason);
    return result;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST(SafeOutputTest, ANewFileTakesTheUmaskAndAnOldOneKeepsItsPermissions) {
    TemporaryDirectory dir;
    writeBytes(dir.file("old.bin"), std::vector<std::uint8_t>(5000, 0xAB));
    ASSERT_EQ(::chmod(dir.file("old.bin").c_str(), 0640), 0);
    const mode_t previous = ::umask(027);
    const Written fresh = writeThrough(dir.file("new.bin"), kBytes);
    const Written replaced = writeThrough(dir.file("old.bin"), kBytes);
    ::umask(previous);
    ASSERT_TRUE(fresh.written) << fresh.reason;
    ASSERT_TRUE(replaced.written) << replaced.reason;
    EXPECT_EQ(readBytes(dir.file("new.bin")), kBytes);
    EXPECT_EQ(readBytes(dir.file("old.bin")), kBytes);
    EXPECT_EQ(modeOf(dir.file("new.bin")), 0640u);
    EXPECT_EQ(modeOf(dir.file("old.bin")), 0640u);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"new.bin", "old.bin"}));
}

// The input may be the output: what is read stays the old file until the commit.
TEST(SafeOutputTest, TheTargetStaysReadableUntilTheCommit) {
    TemporaryDirectory dir;
    writeBytes(dir.file("song"), {1, 2, 3});
    const int input = ::open(dir.file("song").c_str(), O_RDONLY);
    ASSERT_GE(input, 0);
    SafeOutput output;
    std::string reason;
    ASSERT_TRUE(output.begin(dir.file("song"), reason)) << reason;
    EXPECT_EQ(output.folder(), dir.path);
    ASSERT_EQ(::write(output.fd(), kBytes.data(), kBytes.size()), 7);
    EXPECT_EQ(readBytes(dir.file("song")), (std::vector<std::uint8_t>{1, 2, 3}));
    ASSERT_TRUE(output.commit(reason)) << reason;
    std::uint8_t old[3] = {};
    EXPECT_EQ(::read(input, old, sizeof old), 3);
    ::close(input);
    EXPECT_EQ(old[2], 3);
    EXPECT_EQ(readBytes(dir.file("song")), kBytes);
}

TEST(SafeOutputTest, LinksAreFollowedToTheFileTheyNameAndKept) {
    TemporaryDirectory dir;
    ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0755), 0);
    writeBytes(dir.file("real/target"), {9});
    ASSERT_EQ(::symlink("real/target", dir.file("link").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("link").c_str(), dir.file("chain").c_str()), 0);
    ASSERT_EQ(::symlink("real/new", dir.file("dangling").c_str()), 0);
    for (const char* name : {"link", "chain", "dangling"}) {
        SCOPED_TRACE(name);
        const Written result = writeThrough(dir.file(name), kBytes);
        ASSERT_TRUE(result.written) << result.reason;
        struct stat status {};
        ASSERT_EQ(::lstat(dir.file(name).c_str(), &status), 0);
        EXPECT_TRUE(S_ISLNK(status.st_mode));
    }
    EXPECT_EQ(readBytes(dir.file("real/target")), kBytes);
    EXPECT_EQ(readBytes(dir.file("real/new")), kBytes);
    EXPECT_EQ(TemporaryDirectory::entriesOf(dir.file("real")),
              (std::vector<std::string>{"new", "target"}));
}

// Every refusal gives the system's reason and leaves the folder as it was; the command-line
// tool's rules refuse a device, the interactive program's refuse only what cannot be written.
TEST(SafeOutputTest, RefusalsSayWhyAndLeaveEverythingAsItWas) {
    TemporaryDirectory dir;
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
    writeBytes(dir.file("plain"), {4, 5});
    ASSERT_EQ(::symlink("loop-b", dir.file("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", dir.file("loop-b").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);
    const OutputRules intoDevices{".cartrivex-", true};
    const struct {
        std::string path;
        OutputRules rules;
        std::string reason;
    } cases[] = {
        {"", {}, std::strerror(ENOENT)},
        {dir.file("out") + std::string(1, '\0'), {}, std::strerror(EINVAL)},
        {dir.file("missing/out"), {}, std::strerror(ENOENT)},
        {dir.file("folder"), {}, std::strerror(EISDIR)},
        {dir.file("folder"), intoDevices, std::strerror(EISDIR)},
        {dir.file("plain/out"), {}, std::strerror(ENOTDIR)},
        {dir.file("loop-a"), {}, std::strerror(ELOOP)},
        {dir.file(std::string(300, 'n')), {}, std::strerror(ENAMETOOLONG)},
        {"/dev/null", {}, "not a regular file"},
        {dir.file("pipe"), {}, "not a regular file"},
        {dir.file("pipe"), intoDevices, std::strerror(ENXIO)},  // nobody reads it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Written result = writeThrough(c.path, kBytes, c.rules);
        EXPECT_FALSE(result.written);
        EXPECT_EQ(result.reason, c.reason);
    }
    EXPECT_EQ(readBytes(dir.file("plain")), (std::vector<std::uint8_t>{4, 5}));
    EXPECT_EQ(dir.entries(),
              (std::vector<std::string>{"folder", "loop-a", "loop-b", "pipe", "plain"}));
}

TEST(SafeOutputTest, WhatItsOwnerProtectsIsKept) {
    if (!ordinaryUserAvailable()) {
        GTEST_SKIP() << "no ordinary user to check permissions with";
    }
    for (const mode_t folderMode : {0555, 0777}) {
        TemporaryDirectory dir;
        writeBytes(dir.file("out"), {9, 8, 7});
        ASSERT_EQ(::chmod(dir.file("out").c_str(), folderMode == 0777 ? 0444 : 0666), 0);
        ASSERT_EQ(::chmod(dir.path.c_str(), folderMode), 0);
        const std::string path = dir.file("out");
        EXPECT_TRUE(holdsForAnOrdinaryUser([&] {
            const Written result = writeThrough(path, kBytes);
            return !result.written && result.reason == std::strerror(EACCES);
        })) << std::oct
            << folderMode;
        ::chmod(dir.path.c_str(), 0755);
        EXPECT_EQ(readBytes(dir.file("out")), (std::vector<std::uint8_t>{9, 8, 7}));
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"});
    }
}

// The interactive program's rules: a device or a FIFO with a reader is written into as it
// comes, and stays what it is.
TEST(SafeOutputTest, WritesIntoDevicesWhereTheRulesSaySo) {
    TemporaryDirectory dir;
    const OutputRules intoDevices{".cartrivex-", true};
    const Written null = writeThrough("/dev/null", kBytes, intoDevices);
    EXPECT_TRUE(null.written) << null.reason;
    const Written full = writeThrough("/dev/full", kBytes, intoDevices);
    EXPECT_FALSE(full.written);
    EXPECT_EQ(full.reason, std::strerror(ENOSPC));

    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);
    const int reader = ::open(dir.file("pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const Written piped = writeThrough(dir.file("pipe"), kBytes, intoDevices);
    EXPECT_TRUE(piped.written) << piped.reason;
    std::vector<std::uint8_t> received(64);
    const ssize_t got = ::read(reader, received.data(), received.size());
    ::close(reader);
    ASSERT_EQ(got, static_cast<ssize_t>(kBytes.size()));
    received.resize(kBytes.size());
    EXPECT_EQ(received, kBytes);
    struct stat status {};
    ASSERT_EQ(::lstat(dir.file("pipe").c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"pipe"});
}

// The temporary file sits beside the target under the rules' name until the output ends, and is
// gone however it ends: abandoned, destroyed unfinished, or discarded as a signal handler would.
TEST(SafeOutputTest, TheTemporaryFileIsNamedByTheRulesAndNeverLeftBehind) {
    TemporaryDirectory dir;
    writeBytes(dir.file("out"), {1});
    for (const char* prefix : {".cartrivex-cli-", ".cartrivex-"}) {
        SCOPED_TRACE(prefix);
        const auto pendingName = [&] {
            for (const std::string& name : dir.entries()) {
                if (name != "out") {
                    return name;
                }
            }
            return std::string();
        };
        const OutputRules rules{prefix, false};
        std::string reason;
        {
            SafeOutput abandoned(rules);
            ASSERT_TRUE(abandoned.begin(dir.file("out"), reason)) << reason;
            const std::string name = pendingName();
            EXPECT_EQ(name.size(), std::strlen(prefix) + 6) << name;
            EXPECT_EQ(name.rfind(prefix, 0), 0u) << name;
            abandoned.abandon();
            EXPECT_EQ(pendingName(), "");
        }
        {
            SafeOutput unfinished(rules);
            ASSERT_TRUE(unfinished.begin(dir.file("out"), reason)) << reason;
            ASSERT_EQ(::write(unfinished.fd(), "x", 1), 1);
        }
        EXPECT_EQ(pendingName(), "");
        {
            SafeOutput discarded(rules);
            ASSERT_TRUE(discarded.begin(dir.file("out"), reason)) << reason;
            SafeOutput::discardPending();
            EXPECT_EQ(pendingName(), "");
        }
        // A second output, never begun, leaves the first one's file alone.
        SafeOutput first(rules);
        ASSERT_TRUE(first.begin(dir.file("out"), reason)) << reason;
        { SafeOutput idle(rules); }
        EXPECT_NE(pendingName(), "");
        ASSERT_EQ(::write(first.fd(), "z", 1), 1);
        ASSERT_TRUE(first.commit(reason)) << reason;
        SafeOutput::discardPending();  // nothing is pending after a commit
        EXPECT_EQ(readBytes(dir.file("out")), std::vector<std::uint8_t>{'z'});
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"});
    }
}

// SIGINT, SIGTERM and SIGHUP in the middle of an output end the program with 128 + the signal's
// number and leave the old file as it was, with nothing beside it.
TEST(SafeOutputTest, AnEndingSignalRemovesTheTemporaryFile) {
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(number);
        TemporaryDirectory dir;
        writeBytes(dir.file("out"), {1, 2});
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            installOutputSignalHandlers();
            SafeOutput output;
            std::string reason;
            if (output.begin(dir.file("out"), reason) && ::write(output.fd(), "half", 4) == 4) {
                ::raise(number);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + number);
        EXPECT_EQ(readBytes(dir.file("out")), (std::vector<std::uint8_t>{1, 2}));
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"});
    }
}

TEST(ScratchFileTest, IsUnnamedAndRefusedWhereThereIsNoFolder) {
    TemporaryDirectory dir;
    std::string reason;
    const int fd = openScratchFile(dir.path, reason);
    ASSERT_GE(fd, 0) << reason;
    ASSERT_EQ(::write(fd, "scratch", 7), 7);
    char back[7] = {};
    EXPECT_EQ(::pread(fd, back, sizeof back, 0), 7);
    EXPECT_EQ(std::string(back, sizeof back), "scratch");
    EXPECT_TRUE(dir.entries().empty());
    ::close(fd);
    EXPECT_LT(openScratchFile(dir.file("missing"), reason), 0);
    EXPECT_EQ(reason, std::strerror(ENOENT));
}

TEST(TextFileTest, IsWrittenWholeOrNotAtAll) {
    TemporaryDirectory dir;
    writeBytes(dir.file("table.csv"), {'o', 'l', 'd'});
    std::string reason;
    ASSERT_TRUE(writeTextFile(dir.file("table.csv"), "a,b\n1,2\n", reason)) << reason;
    const std::vector<std::uint8_t> bytes = readBytes(dir.file("table.csv"));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "a,b\n1,2\n");
    EXPECT_FALSE(writeTextFile(dir.file("missing/table.csv"), "x", reason));
    EXPECT_EQ(reason, std::strerror(ENOENT));
    EXPECT_FALSE(writeTextFile("/dev/full", "x", reason));
    EXPECT_EQ(reason, "not a regular file");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"table.csv"});
}

}  // namespace
