#include "cli/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr int kBarWidth = 24;

std::string clockText(double seconds) {
    const long long whole = std::llround(std::max(0.0, seconds));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

std::string progressLine(const std::string& label, double fraction, double speed,
                         double secondsLeft) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string line = label + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(kBarWidth - filled), '-') + "]";
    char text[96];
    std::snprintf(text, sizeof text, " %3d%%", static_cast<int>(fraction * 100.0));
    line += text;
    if (speed > 0.0 && std::isfinite(speed)) {
        std::snprintf(text, sizeof text, "  %7.1fx real time  %s left", speed,
                      clockText(secondsLeft).c_str());
        line += text;
    }
    return line;
}

std::string openEndedProgressLine(const std::string& label, double secondsDone, double speed) {
    std::string line = label + "  " + clockText(secondsDone) + " of audio";
    if (speed > 0.0 && std::isfinite(speed)) {
        char text[64];
        std::snprintf(text, sizeof text, "  %7.1fx real time", speed);
        line += text;
    }
    return line;
}

ProgressBar::ProgressBar(bool enabled) : drawing_(enabled && ::isatty(STDERR_FILENO) == 1) {}

ProgressBar::~ProgressBar() {
    clear();
}

void ProgressBar::start(const std::string& label, std::int64_t totalFrames, int sampleRate) {
    label_ = label;
    totalFrames_ = totalFrames;
    sampleRate_ = sampleRate;
    started_ = std::chrono::steady_clock::now();
    lastDrawn_ = started_ - kRedrawInterval;
    update(0);
}

void ProgressBar::update(std::int64_t doneFrames) {
    if (!drawing_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDrawn_ < kRedrawInterval) {
        return;
    }
    lastDrawn_ = now;
    draw(doneFrames);
}

void ProgressBar::draw(std::int64_t doneFrames) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double fraction =
        totalFrames_ > 0 ? static_cast<double>(doneFrames) / static_cast<double>(totalFrames_)
                         : 0.0;
    double speed = 0.0;
    double secondsLeft = 0.0;
    if (elapsed > 0.0 && doneFrames > 0 && sampleRate_ > 0) {
        speed = static_cast<double>(doneFrames) / sampleRate_ / elapsed;
        secondsLeft = static_cast<double>(totalFrames_ - doneFrames) / sampleRate_ / speed;
    }
    const std::string line =
        totalFrames_ < 0
            ? openEndedProgressLine(label_, static_cast<double>(doneFrames) / sampleRate_, speed)
            : progressLine(label_, fraction, speed, secondsLeft);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::clear() {
    if (drawn_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        drawn_ = false;
    }
}
