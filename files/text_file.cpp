#include "files/text_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files/safe_output.hpp"

bool writeTextFile(const std::string& path, const std::string& text, std::string& reason) {
    SafeOutput output;
    if (!output.begin(path, reason)) {
        return false;
    }
    const char* bytes = text.data();
    std::size_t count = text.size();
    while (count > 0) {
        const ssize_t put = ::write(output.fd(), bytes, count);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            reason = std::strerror(errno);
            output.abandon();
            return false;
        }
        bytes += put;
        count -= static_cast<std::size_t>(put);
    }
    return output.commit(reason);
}
