#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it when the test ends.
struct TemporaryDirectory {
    std::string path;

    TemporaryDirectory() {
        char name[] = "/tmp/cartrivex-wave-XXXXXX";
        if (::mkdtemp(name) != nullptr) {
            path = name;
        }
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path, ignored);
    }

    std::string file(const std::string& name) const { return path + "/" + name; }

    // Names of the entries, sorted.
    std::vector<std::string> entries() const { return entriesOf(path); }

    static std::vector<std::string> entriesOf(const std::string& directory) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

inline void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Runs `check` in a child process as an ordinary user and says whether it held. Permissions do
// not bind the superuser, so a child of a superuser's test first becomes the user nobody; the
// folders it works in must then be open to others.
template <typename Check>
bool holdsForAnOrdinaryUser(Check check) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(2);
        }
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) {
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether a child can become an ordinary user at all (a superuser without the right to change
// its user, in some containers, cannot).
inline bool ordinaryUserAvailable() {
    return holdsForAnOrdinaryUser([] { return true; });
}

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void put16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A canonical 16-bit stereo 44100 Hz header whose data length is `dataLength`, followed by
// `sampleBytes` bytes of sample data counting up from 1.
inline std::vector<std::uint8_t> canonicalWave(std::uint32_t dataLength,
                                               std::size_t sampleBytes = 0) {
    std::vector<std::uint8_t> bytes(44 + sampleBytes, 0);
    const char* tags[] = {"RIFF", "WAVE", "fmt ", "data"};
    const std::size_t tagOffsets[] = {0, 8, 12, 36};
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 4; ++i) {
            bytes[tagOffsets[t] + i] = static_cast<std::uint8_t>(tags[t][i]);
        }
    }
    put32(bytes, 4, 36 + dataLength);
    put32(bytes, 16, 16);
    put16(bytes, 20, 1);
    put16(bytes, 22, 2);
    put32(bytes, 24, 44100);
    put32(bytes, 28, 44100 * 4);
    put16(bytes, 32, 4);
    put16(bytes, 34, 16);
    put32(bytes, 40, dataLength);
    for (std::size_t i = 0; i < sampleBytes; ++i) {
        bytes[44 + i] = static_cast<std::uint8_t>(i + 1);
    }
    return bytes;
}
