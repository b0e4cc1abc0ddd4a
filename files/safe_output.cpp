#include "files/safe_output.hpp"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// The temporary file being written, for the signal handler. The buffer is only changed while
// pendingSet is 0, so a handler never sees it half-written.
char pendingPath[PATH_MAX];
volatile std::sig_atomic_t pendingSet = 0;
// Whether stderr is a terminal, asked before any signal: a line being drawn there is ended.
volatile std::sig_atomic_t stderrIsTerminal = 0;

constexpr int kLinkLimit = 40;
constexpr const char* kTemporaryName = "/.cartrivex-cli-XXXXXX";

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// `path` with every symbolic link followed; 0 or the errno that stops it.
int resolveLinks(const std::string& path, std::string& resolved, bool& exists,
                 struct stat& status) {
    resolved = path;
    for (int depth = 0; depth < kLinkLimit; ++depth) {
        if (::lstat(resolved.c_str(), &status) != 0) {
            if (errno == ENOENT) {
                exists = false;  // a new file (a dangling link names it)
                return 0;
            }
            return errno;
        }
        if (!S_ISLNK(status.st_mode)) {
            exists = true;
            return 0;
        }
        char link[PATH_MAX];
        const ssize_t length = ::readlink(resolved.c_str(), link, sizeof link);
        if (length < 0) {
            return errno;
        }
        if (static_cast<std::size_t>(length) >= sizeof link) {
            return ENAMETOOLONG;
        }
        const std::string linked(link, static_cast<std::size_t>(length));
        resolved = linked.front() == '/' ? linked : directoryOf(resolved) + "/" + linked;
    }
    return ELOOP;
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

void onEndingSignal(int number) {
    if (pendingSet != 0) {
        ::unlink(pendingPath);
    }
    if (stderrIsTerminal != 0) {
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, "\n", 1);
    }
    ::_exit(128 + number);
}

}  // namespace

SafeOutput::~SafeOutput() {
    abandon();
}

bool SafeOutput::begin(const std::string& path, std::string& reason) {
    if (path.empty()) {
        reason = std::strerror(ENOENT);
        return false;
    }
    bool exists = false;
    struct stat status {};
    if (const int error = resolveLinks(path, target_, exists, status)) {
        reason = std::strerror(error);
        return false;
    }
    if (exists && S_ISDIR(status.st_mode)) {
        reason = std::strerror(EISDIR);
        return false;
    }
    if (exists && !S_ISREG(status.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    // Renaming over a file needs only the folder's permission; a file the user may not write to
    // is protected by its owner and stays as it is.
    if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    folder_ = directoryOf(target_);
    const std::string temporary = folder_ + kTemporaryName;
    if (temporary.size() >= sizeof pendingPath) {
        reason = std::strerror(ENAMETOOLONG);
        return false;
    }
    pendingSet = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(pendingPath, temporary.c_str(), temporary.size() + 1);
    fd_ = ::mkostemp(pendingPath, O_CLOEXEC);
    if (fd_ < 0) {
        reason = std::strerror(errno);
        return false;
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pendingSet = 1;
    // The replacement keeps the old file's owner (where it may be set) and permission bits.
    if (exists) {
        if (status.st_uid != ::geteuid() || status.st_gid != ::getegid()) {
            [[maybe_unused]] const int ignored = ::fchown(fd_, status.st_uid, status.st_gid);
        }
        ::fchmod(fd_, status.st_mode & 07777);
    } else {
        ::fchmod(fd_, newFileMode());
    }
    return true;
}

bool SafeOutput::commit(std::string& reason) {
    int error = 0;
    if (::fsync(fd_) != 0) {
        error = errno;
    }
    if (::close(fd_) != 0 && error == 0) {
        error = errno;
    }
    fd_ = -1;
    if (error == 0 && ::rename(pendingPath, target_.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        abandon();
        reason = std::strerror(error);
        return false;
    }
    pendingSet = 0;
    // Makes the rename itself durable; the new file is complete whether or not this succeeds.
    const int directory = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return true;
}

void SafeOutput::abandon() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (pendingSet != 0) {
        ::unlink(pendingPath);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        pendingSet = 0;
    }
}

void installOutputSignalHandlers() {
    stderrIsTerminal = ::isatty(STDERR_FILENO) == 1 ? 1 : 0;
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&action.sa_mask, number);
    }
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(number, &action, nullptr);
    }
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
}

int openScratchFile(const std::string& folder, std::string& reason) {
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        return fd;
    }
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = folder + "/.cartrivex-cli-scratch-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    ::unlink(name.c_str());
    return fd;
}

std::string temporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
}
