#include "wave/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool isAcceptableName(const std::string& path) {
    return !path.empty() && path.find_first_of(std::string("*?\0", 3)) == std::string::npos;
}

}  // namespace

InputFile::InputFile(const std::string& path) {
    if (!isAcceptableName(path)) {
        reason = std::strerror(path.empty() ? ENOENT : EINVAL);
        return;
    }
    // Non-blocking, so that opening a FIFO without a writer returns at once.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : "Not a regular file";
        ::close(fd);
        return;
    }
    descriptor = fd;
}

InputFile::~InputFile() {
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

std::size_t InputFile::readAt(long long offset, void* buffer, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(descriptor, bytes + done, count - done,
                                    static_cast<off_t>(offset + static_cast<long long>(done)));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            reason = std::strerror(errno);
            break;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}
