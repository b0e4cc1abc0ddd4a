#include "console/console_device.hpp"

#include <chrono>
#include <thread>

#include "console/scripted_backend.hpp"
#include "console/terminal_backend.hpp"

void presentScreen(ConsoleDevice& device) {
    if (device.terminal != nullptr) {
        terminalPresent(*device.terminal, device.screen);
    }
}

KeyEvent peekKeyEvent(ConsoleDevice& device) {
    if (device.terminal != nullptr) {
        return terminalPeekKey(*device.terminal, device.screen);
    }
    if (device.script != nullptr) {
        return scriptPeekKey(*device.script);
    }
    throw ScriptExhausted();
}

void dropKeyEvent(ConsoleDevice& device) {
    if (device.terminal != nullptr) {
        terminalDropKey(*device.terminal);
    } else if (device.script != nullptr) {
        scriptDropKey(*device.script);
    }
}

void showMessageBox(ConsoleDevice& device, const std::string& title, const std::string& text) {
    if (device.terminal != nullptr) {
        terminalMessageBox(*device.terminal, device.screen, title, text);
    } else if (device.script != nullptr) {
        scriptMessageBox(*device.script, title, text);
    }
}

void ringBell(ConsoleDevice& device) {
    if (device.terminal != nullptr) {
        terminalBeep(*device.terminal);
    } else if (device.script != nullptr) {
        device.script->events.push_back("beep");
    }
}

void pauseMilliseconds(ConsoleDevice& device, unsigned milliseconds) {
    if (device.script != nullptr) {
        device.script->events.push_back("sleep " + std::to_string(milliseconds));
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void setWindowTitle(ConsoleDevice& device, const std::string& title) {
    if (device.terminal != nullptr) {
        terminalSetTitle(*device.terminal, title);
    } else if (device.script != nullptr) {
        device.script->windowTitle = title;
        device.script->events.push_back("title " + title);
    }
}

void scriptText(ScriptedConsole& script, const std::string& text) {
    for (const char c : text) {
        script.keys.push_back(KeyEvent{KeyKind::Character, static_cast<unsigned char>(c)});
    }
}

bool dismissesMessageBox(const KeyEvent& key) {
    return key.kind == KeyKind::Character &&
           (key.character == 13 || key.character == ' ' || key.character == 27);
}
