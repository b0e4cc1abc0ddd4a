#pragma once

#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/console_device.hpp"

// The console in memory: keystrokes come from a script, and message boxes, beeps, pauses and
// titles are recorded in the order they happen.
class ScriptedConsole final : public ConsoleBackend {
  public:
    std::deque<KeyEvent> keys;
    std::vector<std::string> events;  // "beep", "sleep 100", "box <title>|<text>", "title <text>"
    std::string windowTitle;

    void present(const ScreenBuffer& screen) override;
    KeyEvent peekKey(const ScreenBuffer& screen) override;
    void dropKey() override;
    // The box is modal: every key up to and including the one that dismisses it goes to it.
    void messageBox(const ScreenBuffer& screen, const std::string& title,
                    const std::string& text) override;
    void beep() override;
    void pause(unsigned milliseconds) override;
    void setTitle(const std::string& title) override;
};

// Thrown when the program waits for a key that the script does not hold.
struct ScriptExhausted : std::runtime_error {
    ScriptExhausted() : std::runtime_error("the key script has run out") {}
};

// The scripted keystrokes for a text: one character event per byte.
void scriptText(ScriptedConsole& script, const std::string& text);
