#pragma once

// Files and folders for the tests that read and write them.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it when the test ends.
struct TemporaryDirectory {
    std::string path;

    TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    ~TemporaryDirectory();

    std::string file(const std::string& name) const { return path + "/" + name; }

    // Names of the entries, sorted.
    std::vector<std::string> entries() const { return entriesOf(path); }
    static std::vector<std::string> entriesOf(const std::string& directory);
};

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readBytes(const std::string& path);

// Runs `check` in a child process as an ordinary user and says whether it held. Permissions do
// not bind the superuser, so a child of a superuser's test first becomes the user nobody; the
// folders it works in must then be open to others.
bool holdsForAnOrdinaryUser(bool (*check)(void*), void* context);

template <typename Check>
bool holdsForAnOrdinaryUser(Check check) {
    return holdsForAnOrdinaryUser([](void* context) { return (*static_cast<Check*>(context))(); },
                                  &check);
}

// Whether a child can become an ordinary user at all (a superuser without the right to change
// its user, in some containers, cannot).
bool ordinaryUserAvailable();
