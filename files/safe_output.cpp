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
#include <utility>

namespace {

// The temporary file being written, for the signal handler. The buffer is only changed while
// pendingSet is 0, so a handler never sees it half-written.
char pendingPath[PATH_MAX];
volatile std::sig_atomic_t pendingSet = 0;
// Whether stderr is a terminal, asked before any signal: a line being drawn there is ended.
volatile std::sig_atomic_t stderrIsTerminal = 0;

constexpr int kLinkLimit = 40;
constexpr const char* kRandomPart = "XXXXXX";

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
    SafeOutput::discardPending();
    if (stderrIsTerminal != 0) {
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, "\n", 1);
    }
    ::_exit(128 + number);
}

// A device or a FIFO, opened to be written into. Non-blocking at open, so that a FIFO nobody
// reads is refused rather than waited on; blocking after.
int openSpecialFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) {
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        }
    }
    return fd;
}

// Creates the temporary file `temporary` names (its last six characters replaced) and makes it
// the pending one; its descriptor, or -1 with errno set.
int createPending(const std::string& temporary) {
    pendingSet = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(pendingPath, temporary.c_str(), temporary.size() + 1);
    const int fd = ::mkostemp(pendingPath, O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pendingSet = 1;
    return fd;
}

// The replacement keeps the old file's owner (where it may be set) and permission bits; a new
// file gets the permissions the umask leaves.
void takeOverOwnership(int fd, bool exists, const struct stat& status) {
    if (exists) {
        if (status.st_uid != ::geteuid() || status.st_gid != ::getegid()) {
            [[maybe_unused]] const int ignored = ::fchown(fd, status.st_uid, status.st_gid);
        }
        ::fchmod(fd, status.st_mode & 07777);
    } else {
        ::fchmod(fd, newFileMode());
    }
}

}  // namespace

SafeOutput::SafeOutput(OutputRules rules) : rules_(std::move(rules)) {}

SafeOutput::~SafeOutput() {
    abandon();
}

bool SafeOutput::begin(const std::string& path, std::string& reason) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        reason = std::strerror(path.empty() ? ENOENT : EINVAL);
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
    folder_ = directoryOf(target_);
    if (exists && !S_ISREG(status.st_mode)) {
        if (!rules_.writeIntoSpecialFiles) {
            reason = "not a regular file";
            return false;
        }
        fd_ = openSpecialFile(target_);
        if (fd_ < 0) {
            reason = std::strerror(errno);
            return false;
        }
        direct_ = true;
        return true;
    }
    // Renaming over a file needs only the folder's permission; a file the user may not write to
    // is protected by its owner and stays as it is.
    if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    const std::string temporary = folder_ + "/" + rules_.temporaryPrefix + kRandomPart;
    if (temporary.size() >= sizeof pendingPath) {
        reason = std::strerror(ENAMETOOLONG);
        return false;
    }
    fd_ = createPending(temporary);
    if (fd_ < 0) {
        reason = std::strerror(errno);
        return false;
    }
    pending_ = true;
    takeOverOwnership(fd_, exists, status);
    return true;
}

bool SafeOutput::commit(std::string& reason) {
    int error = 0;
    if (!direct_ && ::fsync(fd_) != 0) {
        error = errno;
    }
    if (::close(fd_) != 0 && error == 0) {
        error = errno;
    }
    fd_ = -1;
    if (direct_) {
        direct_ = false;
        if (error != 0) {
            reason = std::strerror(error);
        }
        return error == 0;
    }
    if (error == 0 && ::rename(pendingPath, target_.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        abandon();
        reason = std::strerror(error);
        return false;
    }
    pendingSet = 0;
    pending_ = false;
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
    direct_ = false;
    if (pending_) {
        ::unlink(pendingPath);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        pendingSet = 0;
        pending_ = false;
    }
}

void SafeOutput::discardPending() {
    if (pendingSet != 0) {
        ::unlink(pendingPath);
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

int openScratchFile(const std::string& folder, std::string& reason, const OutputRules& rules) {
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        return fd;
    }
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = folder + "/" + rules.temporaryPrefix + "scratch-" + kRandomPart;
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
