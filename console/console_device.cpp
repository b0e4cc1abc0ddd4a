#include "console/console_device.hpp"

void presentScreen(ConsoleDevice& device) {
    device.backend->present(device.screen);
}

KeyEvent peekKeyEvent(ConsoleDevice& device) {
    return device.backend->peekKey(device.screen);
}

void dropKeyEvent(ConsoleDevice& device) {
    device.backend->dropKey();
}

void showMessageBox(ConsoleDevice& device, const std::string& title, const std::string& text) {
    device.backend->messageBox(device.screen, title, text);
}

void ringBell(ConsoleDevice& device) {
    device.backend->beep();
}

void pauseMilliseconds(ConsoleDevice& device, unsigned milliseconds) {
    device.backend->pause(milliseconds);
}

void setWindowTitle(ConsoleDevice& device, const std::string& title) {
    device.backend->setTitle(title);
}

bool dismissesMessageBox(const KeyEvent& key) {
    return key.kind == KeyKind::Character &&
           (key.character == 13 || key.character == ' ' || key.character == 27);
}
