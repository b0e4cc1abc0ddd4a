#include "dsp/coefficient_file.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/number_parse.hpp"

namespace {

constexpr char kEndOfFile = 26;                   // Ctrl-Z
constexpr std::size_t kLargestFile = 256u << 20;  // bytes read at most

bool droppedInsideValue(char c) {
    return c == '\n' || c == '\t';
}

bool readWholeFile(const std::string& path, std::string& text, std::string& reason) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        reason = S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file";
        ::close(fd);
        return false;
    }
    char chunk[65536];
    while (text.size() < kLargestFile) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            reason = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return true;
}

}  // namespace

std::vector<double> parseCoefficientText(std::string_view text, int tapCount) {
    const std::size_t stop = text.find(kEndOfFile);
    if (stop != std::string_view::npos) {
        text = text.substr(0, stop);
    }
    std::vector<double> taps(tapCount > 0 ? tapCount : 0, 0.0);
    std::size_t pos = 0;
    std::string value;
    for (double& tap : taps) {
        if (pos >= text.size()) {
            break;
        }
        while (pos < text.size() && (text[pos] == ' ' || droppedInsideValue(text[pos]))) {
            ++pos;
        }
        value.clear();
        if (pos < text.size() && text[pos] == '"') {
            for (++pos; pos < text.size() && text[pos] != '"'; ++pos) {
                if (!droppedInsideValue(text[pos])) {
                    value += text[pos];
                }
            }
            while (pos < text.size() && text[pos] != ',' && text[pos] != '\r') {
                ++pos;  // the closing quote and anything up to the delimiter
            }
        } else {
            for (; pos < text.size() && text[pos] != ',' && text[pos] != '\r'; ++pos) {
                if (!droppedInsideValue(text[pos])) {
                    value += text[pos];
                }
            }
        }
        if (pos < text.size()) {
            if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') {
                ++pos;
            }
            ++pos;
        }
        tap = static_cast<double>(parseNumber(value));
    }
    return taps;
}

bool loadCoefficientFile(const std::string& path, int tapCount, std::vector<double>& taps,
                         std::string& reason) {
    taps.assign(tapCount > 0 ? tapCount : 0, 0.0);
    std::string text;
    if (!readWholeFile(path, text, reason)) {
        return false;
    }
    taps = parseCoefficientText(text, tapCount);
    return true;
}

std::vector<double> readCoefficientFile(const std::string& path, int tapCount) {
    std::vector<double> taps;
    std::string reason;
    loadCoefficientFile(path, tapCount, taps, reason);
    return taps;
}
