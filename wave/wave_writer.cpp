#include "wave/wave_writer.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

// The temporary file being written, for discardPendingOutput. The buffer is only changed while
// pendingSet is 0, so a signal handler never sees it half-written.
char pendingPath[PATH_MAX];
volatile std::sig_atomic_t pendingSet = 0;

constexpr int kLinkLimit = 40;
constexpr const char* kTemporaryName = "/.cartrivex-XXXXXX";

WriteResult failed(int error) {
    WriteResult result;
    result.reason = std::strerror(error);
    return result;
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Where the output goes: `path` with every symbolic link followed, and what is there now.
struct Target {
    std::string path;
    bool exists = false;
    struct stat status {};
};

// Returns 0, or the errno that stops the output from being placed.
int resolveTarget(const std::string& path, Target& target) {
    target.path = path;
    for (int depth = 0; depth < kLinkLimit; ++depth) {
        if (::lstat(target.path.c_str(), &target.status) != 0) {
            if (errno == ENOENT) {
                target.exists = false;  // a new file (a dangling link names it)
                return 0;
            }
            return errno;
        }
        if (!S_ISLNK(target.status.st_mode)) {
            target.exists = true;
            return 0;
        }
        char link[PATH_MAX];
        const ssize_t length = ::readlink(target.path.c_str(), link, sizeof link);
        if (length < 0) {
            return errno;
        }
        if (static_cast<std::size_t>(length) >= sizeof link) {
            return ENAMETOOLONG;
        }
        const std::string linked(link, static_cast<std::size_t>(length));
        target.path = linked.front() == '/' ? linked : directoryOf(target.path) + "/" + linked;
    }
    return ELOOP;
}

// The header, then the samples low byte first.
int writeContents(int fd, const HeaderBytes& headerBytes,
                  const std::vector<std::int16_t>& outputSamples) {
    if (const int error = writeAll(fd, headerBytes.data(), headerBytes.size())) {
        return error;
    }
    if constexpr (std::endian::native == std::endian::little) {
        return writeAll(fd, outputSamples.data(), outputSamples.size() * sizeof(std::int16_t));
    } else {
        std::vector<unsigned char> bytes(outputSamples.size() * 2);
        for (std::size_t k = 0; k < outputSamples.size(); ++k) {
            const auto value = static_cast<std::uint16_t>(outputSamples[k]);
            bytes[2 * k] = static_cast<unsigned char>(value & 0xFF);
            bytes[2 * k + 1] = static_cast<unsigned char>(value >> 8);
        }
        return writeAll(fd, bytes.data(), bytes.size());
    }
}

// A device or a FIFO takes the bytes as they come; there is nothing to replace.
WriteResult writeDirectly(const Target& target, const HeaderBytes& headerBytes,
                          const std::vector<std::int16_t>& outputSamples) {
    // Non-blocking at open, so that a FIFO nobody reads is refused rather than waited on.
    const int fd = ::open(target.path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return failed(errno);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    const int error = writeContents(fd, headerBytes, outputSamples);
    const int closeError = ::close(fd) != 0 ? errno : 0;
    if (error != 0 || closeError != 0) {
        return failed(error != 0 ? error : closeError);
    }
    return WriteResult{true, {}};
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

void forgetPendingOutput() {
    ::unlink(pendingPath);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pendingSet = 0;
}

// Writes a complete new file beside the target and renames it over the target.
WriteResult replaceFile(const Target& target, const HeaderBytes& headerBytes,
                        const std::vector<std::int16_t>& outputSamples) {
    const std::string temporary = directoryOf(target.path) + kTemporaryName;
    if (temporary.size() >= sizeof pendingPath) {
        return failed(ENAMETOOLONG);
    }
    pendingSet = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(pendingPath, temporary.c_str(), temporary.size() + 1);
    const int fd = ::mkostemp(pendingPath, O_CLOEXEC);
    if (fd < 0) {
        return failed(errno);
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pendingSet = 1;

    // The replacement keeps the old file's owner (where we may set it) and permission bits.
    if (target.exists) {
        if (target.status.st_uid != ::geteuid() || target.status.st_gid != ::getegid()) {
            [[maybe_unused]] const int ignored =
                ::fchown(fd, target.status.st_uid, target.status.st_gid);
        }
        ::fchmod(fd, target.status.st_mode & 07777);
    } else {
        ::fchmod(fd, newFileMode());
    }

    int error = writeContents(fd, headerBytes, outputSamples);
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(pendingPath, target.path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        forgetPendingOutput();
        return failed(error);
    }
    pendingSet = 0;

    // Make the rename itself durable; the new file is complete whether or not this succeeds.
    const int directory =
        ::open(directoryOf(target.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return WriteResult{true, {}};
}

}  // namespace

int writeAll(int fd, const void* data, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const ssize_t put = ::write(fd, bytes, count);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes += put;
        count -= static_cast<std::size_t>(put);
    }
    return 0;
}

WriteResult writeOutputWave(const std::string& path, const HeaderBytes& headerBytes,
                            const std::vector<std::int16_t>& outputSamples) {
    if (path.empty()) {
        return failed(ENOENT);
    }
    if (path.find('\0') != std::string::npos) {
        return failed(EINVAL);
    }
    Target target;
    if (const int error = resolveTarget(path, target)) {
        return failed(error);
    }
    if (target.exists && S_ISDIR(target.status.st_mode)) {
        return failed(EISDIR);
    }
    if (target.exists && !S_ISREG(target.status.st_mode)) {
        return writeDirectly(target, headerBytes, outputSamples);
    }
    // Renaming over a file needs only the folder's permission; a file we may not write to is
    // protected by its owner and stays as it is.
    if (target.exists && ::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0) {
        return failed(errno);
    }
    return replaceFile(target, headerBytes, outputSamples);
}

void discardPendingOutput() {
    if (pendingSet != 0) {
        ::unlink(pendingPath);
    }
}
