#include "console/console_window.hpp"

namespace {

constexpr int kConsoleColumns = 80;
constexpr int kLargestRowCount = 9999;

}  // namespace

void ConsoleTitle(ConsoleDevice& device, const std::string& title) {
    setWindowTitle(device, title);
}

void Console80x(ConsoleDevice& device, int rows) {
    if (rows < 1 || rows > kLargestRowCount) {
        return;
    }
    const unsigned char attribute = device.screen.cells.empty()
                                        ? static_cast<unsigned char>(0x07)
                                        : device.screen.cells.front().attribute;
    resizeScreenBuffer(device.screen, kConsoleColumns, rows, attribute);
    presentScreen(device);
}

void ConsoleMessageBox(ConsoleDevice& device, const std::string& text, const std::string& title) {
    showMessageBox(device, title, text);
}

void MessageBeep(ConsoleDevice& device, unsigned) {
    ringBell(device);
}

void Sleep(ConsoleDevice& device, unsigned milliseconds) {
    pauseMilliseconds(device, milliseconds);
}
