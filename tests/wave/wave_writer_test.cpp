#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "files/safe_output.hpp"
#include "tests/support/files.hpp"
#include "tests/support/wave_bytes.hpp"
#include "wave/wave_reader.hpp"
#include "wave/wave_writer.hpp"

namespace {

HeaderBytes oddHeader() {
    HeaderBytes header{};
    for (std::size_t i = 0; i < header.size(); ++i) {
        header[i] = static_cast<std::uint8_t>(0xF0 - 3 * i);
    }
    return header;
}

const std::vector<std::int16_t> kSamples = {0, 1, -1, 32767, -32767, 258, -300, 12345};

std::vector<std::uint8_t> expectedBytes(const HeaderBytes& header,
                                        const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> bytes(header.begin(), header.end());
    appendSamples(bytes, samples);
    return bytes;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST(WriteOutputWave, WritesHeaderThenLittleEndianSamples) {
    TemporaryDirectory dir;
    const mode_t previous = ::umask(022);
    const WriteResult result = writeOutputWave(dir.file("out.wav"), oddHeader(), kSamples);
    ::umask(previous);
    ASSERT_TRUE(result.written) << result.reason;
    EXPECT_TRUE(result.reason.empty());
    EXPECT_EQ(readBytes(dir.file("out.wav")), expectedBytes(oddHeader(), kSamples));
    EXPECT_EQ(modeOf(dir.file("out.wav")), 0644u);

    ASSERT_TRUE(writeOutputWave(dir.file("bare.wav"), oddHeader(), {}).written);
    EXPECT_EQ(readBytes(dir.file("bare.wav")), expectedBytes(oddHeader(), {}));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"bare.wav", "out.wav"}));
}

TEST(WriteOutputWave, ReplacesALongerFileWholeAndKeepsItsPermissions) {
    TemporaryDirectory dir;
    writeBytes(dir.file("out.wav"), std::vector<std::uint8_t>(5000, 0xAB));
    ASSERT_EQ(::chmod(dir.file("out.wav").c_str(), 0640), 0);
    const WriteResult result = writeOutputWave(dir.file("out.wav"), oddHeader(), kSamples);
    ASSERT_TRUE(result.written) << result.reason;
    EXPECT_EQ(readBytes(dir.file("out.wav")), expectedBytes(oddHeader(), kSamples));
    EXPECT_EQ(modeOf(dir.file("out.wav")), 0640u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.wav"});
}

TEST(WriteOutputWave, OverwritesTheInputFileItReadFrom) {
    TemporaryDirectory dir;
    writeBytes(dir.file("song.wav"), canonicalWave(16, 40));
    const HeaderCheck check = readWaveHeader(dir.file("song.wav"));
    ASSERT_TRUE(check.accepted());
    const LoadedInput input = loadSamples(dir.file("song.wav"), check.info);
    ASSERT_TRUE(input.loaded);
    std::vector<std::int16_t> reversed(input.inputSamples.rbegin(), input.inputSamples.rend());

    ASSERT_TRUE(writeOutputWave(dir.file("song.wav"), input.headerBytes, reversed).written);
    EXPECT_EQ(readBytes(dir.file("song.wav")), expectedBytes(input.headerBytes, reversed));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"song.wav"});
}

TEST(WriteOutputWave, ReplacesTheFileALinkNamesAndKeepsTheLink) {
    TemporaryDirectory dir;
    ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0755), 0);
    writeBytes(dir.file("real/target.wav"), std::vector<std::uint8_t>(300, 1));
    ASSERT_EQ(::symlink("real/target.wav", dir.file("link.wav").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("link.wav").c_str(), dir.file("chain.wav").c_str()), 0);
    ASSERT_EQ(::symlink("real/new.wav", dir.file("dangling.wav").c_str()), 0);

    for (const char* name : {"link.wav", "chain.wav"}) {
        const WriteResult result = writeOutputWave(dir.file(name), oddHeader(), kSamples);
        ASSERT_TRUE(result.written) << name << ": " << result.reason;
        struct stat status {};
        ASSERT_EQ(::lstat(dir.file(name).c_str(), &status), 0);
        EXPECT_TRUE(S_ISLNK(status.st_mode)) << name;
        EXPECT_EQ(readBytes(dir.file("real/target.wav")), expectedBytes(oddHeader(), kSamples));
    }
    ASSERT_TRUE(writeOutputWave(dir.file("dangling.wav"), oddHeader(), {}).written);
    EXPECT_EQ(readBytes(dir.file("real/new.wav")), expectedBytes(oddHeader(), {}));

    ASSERT_EQ(::symlink("loop-b", dir.file("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", dir.file("loop-b").c_str()), 0);
    EXPECT_EQ(writeOutputWave(dir.file("loop-a"), oddHeader(), {}).reason, std::strerror(ELOOP));

    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"chain.wav", "dangling.wav", "link.wav",
                                                       "loop-a", "loop-b", "real"}));
    EXPECT_EQ(TemporaryDirectory::entriesOf(dir.file("real")),
              (std::vector<std::string>{"new.wav", "target.wav"}));
}

TEST(WriteOutputWave, FailuresAreReportedWithTheSystemsReason) {
    TemporaryDirectory dir;
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
    writeBytes(dir.file("folder/keep.wav"), {1, 2, 3});
    writeBytes(dir.file("plain"), {4, 5});
    const struct {
        std::string path;
        int error;
    } cases[] = {
        {"", ENOENT},
        {dir.file("missing/out.wav"), ENOENT},
        {dir.file("folder"), EISDIR},
        {dir.file("folder/"), EISDIR},
        {dir.file("plain/out.wav"), ENOTDIR},
        {dir.file("out.wav") + std::string(1, '\0'), EINVAL},
        {"/dev/full", ENOSPC},
        {dir.file(std::string(300, 'n')), ENAMETOOLONG},
    };
    for (const auto& c : cases) {
        const WriteResult result = writeOutputWave(c.path, oddHeader(), kSamples);
        EXPECT_FALSE(result.written) << c.path;
        EXPECT_EQ(result.reason, std::strerror(c.error)) << c.path;
    }
    // A file the system serves but lets nobody replace.
    const std::vector<std::uint8_t> version = readBytes("/proc/version");
    const WriteResult proc = writeOutputWave("/proc/version", oddHeader(), kSamples);
    EXPECT_FALSE(proc.written);
    EXPECT_FALSE(proc.reason.empty());
    EXPECT_EQ(readBytes("/proc/version"), version);

    EXPECT_EQ(readBytes(dir.file("folder/keep.wav")), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"folder", "plain"}));
    EXPECT_EQ(TemporaryDirectory::entriesOf(dir.file("folder")),
              std::vector<std::string>{"keep.wav"});
}

TEST(WriteOutputWave, WritesIntoDevicesAndRefusesAFifoNobodyReads) {
    TemporaryDirectory dir;
    EXPECT_TRUE(writeOutputWave("/dev/null", oddHeader(), kSamples).written);
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);
    const WriteResult unread = writeOutputWave(dir.file("pipe"), oddHeader(), kSamples);
    EXPECT_FALSE(unread.written);
    EXPECT_EQ(unread.reason, std::strerror(ENXIO));

    // With a reader the bytes go through the FIFO, and it stays a FIFO.
    const int reader = ::open(dir.file("pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(writeOutputWave(dir.file("pipe"), oddHeader(), kSamples).written);
    std::vector<std::uint8_t> received(200);
    const ssize_t got = ::read(reader, received.data(), received.size());
    ::close(reader);
    ASSERT_EQ(got, 44 + 2 * static_cast<ssize_t>(kSamples.size()));
    received.resize(static_cast<std::size_t>(got));
    EXPECT_EQ(received, expectedBytes(oddHeader(), kSamples));
    struct stat status {};
    ASSERT_EQ(::lstat(dir.file("pipe").c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

TEST(WriteOutputWave, WhatItsOwnerProtectsIsKeptAndReported) {
    if (!ordinaryUserAvailable()) {
        GTEST_SKIP() << "no ordinary user to check permissions with";
    }
    // A read-only folder, and a read-only file in a folder anybody may write to: renaming over
    // the file would be allowed, but its owner has said it is not to change.
    const struct {
        mode_t folderMode;
        mode_t fileMode;
    } cases[] = {{0555, 0666}, {0777, 0444}};
    for (const auto& c : cases) {
        TemporaryDirectory dir;
        writeBytes(dir.file("out.wav"), {9, 8, 7});
        ASSERT_EQ(::chmod(dir.file("out.wav").c_str(), c.fileMode), 0);
        ASSERT_EQ(::chmod(dir.path.c_str(), c.folderMode), 0);
        const std::string path = dir.file("out.wav");
        EXPECT_TRUE(holdsForAnOrdinaryUser([&] {
            const WriteResult result = writeOutputWave(path, oddHeader(), kSamples);
            return !result.written && result.reason == std::strerror(EACCES);
        })) << std::oct
            << c.folderMode << " " << c.fileMode;
        ::chmod(dir.path.c_str(), 0755);
        EXPECT_EQ(readBytes(dir.file("out.wav")), (std::vector<std::uint8_t>{9, 8, 7}));
        EXPECT_EQ(modeOf(dir.file("out.wav")), c.fileMode);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.wav"});
    }
}

// Counts what the output directory holds when the size limit stops a write, before and after
// the half-written file is discarded the way a signal handler would.
const char* gWatchedDirectory = nullptr;
int gEntriesAtSignal = -1;
int gEntriesAfterDiscard = -1;

int countEntries(const char* path) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path)) {
        ++count;
    }
    return count;
}

void onFileSizeLimit(int) {
    gEntriesAtSignal = countEntries(gWatchedDirectory);
    SafeOutput::discardPending();
    gEntriesAfterDiscard = countEntries(gWatchedDirectory);
}

// Writes `samples` over `path` while files may grow to 1000 bytes at most, with `handler` (or
// SIG_IGN) taking the signal that the size limit raises.
WriteResult writeUnderSizeLimit(const std::string& path, const std::vector<std::int16_t>& samples,
                                void (*handler)(int)) {
    struct sigaction action {};
    struct sigaction previousAction {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    EXPECT_EQ(::sigaction(SIGXFSZ, &action, &previousAction), 0);
    struct rlimit previousLimit {};
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &previousLimit), 0);
    struct rlimit limit = previousLimit;
    limit.rlim_cur = 1000;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);

    const WriteResult result = writeOutputWave(path, oddHeader(), samples);

    ::setrlimit(RLIMIT_FSIZE, &previousLimit);
    ::sigaction(SIGXFSZ, &previousAction, nullptr);
    return result;
}

TEST(WriteOutputWave, FailureMidwayKeepsTheOldFileAndLeavesNothingBehind) {
    TemporaryDirectory dir;
    const std::vector<std::uint8_t> old(100, 0x5A);
    writeBytes(dir.file("out.wav"), old);
    const std::vector<std::int16_t> samples(2000, 7);  // 4044 bytes, beyond the limit

    const WriteResult result = writeUnderSizeLimit(dir.file("out.wav"), samples, SIG_IGN);
    EXPECT_FALSE(result.written);
    EXPECT_EQ(result.reason, std::strerror(EFBIG));
    EXPECT_EQ(readBytes(dir.file("out.wav")), old);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.wav"});
}

TEST(DiscardPendingOutput, RemovesTheHalfWrittenFileOnly) {
    TemporaryDirectory dir;
    const std::vector<std::uint8_t> old(100, 0x5A);
    writeBytes(dir.file("out.wav"), old);
    gWatchedDirectory = dir.path.c_str();
    gEntriesAtSignal = gEntriesAfterDiscard = -1;

    const WriteResult result = writeUnderSizeLimit(
        dir.file("out.wav"), std::vector<std::int16_t>(2000, 7), onFileSizeLimit);
    EXPECT_FALSE(result.written);
    EXPECT_EQ(gEntriesAtSignal, 2);  // the old file and the half-written one
    EXPECT_EQ(gEntriesAfterDiscard, 1);
    EXPECT_EQ(readBytes(dir.file("out.wav")), old);

    // Nothing is pending once a write has ended: discarding then touches nothing.
    ASSERT_TRUE(writeOutputWave(dir.file("out.wav"), oddHeader(), kSamples).written);
    SafeOutput::discardPending();
    EXPECT_EQ(readBytes(dir.file("out.wav")), expectedBytes(oddHeader(), kSamples));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.wav"});
}

}  // namespace
