#pragma once

#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/screen_buffer.hpp"

// What the keyboard delivers, after the terminal's byte sequences have been decoded.
enum class KeyKind : unsigned char {
    Character,  // a key that produces a character (Enter is 13, Backspace 8, Escape 27)
    Extended,   // cursor keys, function keys, Alt with a letter and the like
    Modifier,   // Shift, Ctrl, Alt, Caps Lock, Num Lock or Scroll Lock pressed alone
    Release,    // a key released
};

struct KeyEvent {
    KeyKind kind = KeyKind::Character;
    unsigned char character = 0;
};

// The in-memory console: keystrokes come from a script, and message boxes, beeps and pauses are
// recorded in the order they happen.
struct ScriptedConsole {
    std::deque<KeyEvent> keys;
    std::vector<std::string> events;  // "beep", "sleep 100", "box <title>|<text>", "title <text>"
    std::string windowTitle;
};

// Thrown when the program waits for a key that the script does not hold.
struct ScriptExhausted : std::runtime_error {
    ScriptExhausted() : std::runtime_error("the key script has run out") {}
};

struct TerminalConsole;

// The platform under the text layer: the screen buffer, and either a real terminal that shows it
// and delivers keys, or the in-memory script.
struct ConsoleDevice {
    ScreenBuffer screen;
    TerminalConsole* terminal = nullptr;
    ScriptedConsole* script = nullptr;
};

// Shows the screen buffer as it now stands.
void presentScreen(ConsoleDevice& device);

// Waits until a key event is queued and returns the oldest one, leaving it in the queue.
KeyEvent peekKeyEvent(ConsoleDevice& device);

// Removes the oldest queued key event.
void dropKeyEvent(ConsoleDevice& device);

// A modal box over the screen with its title and text ("\n", backslash and n, breaks the line);
// returns once the user has dismissed it with Enter, Space or Escape.
void showMessageBox(ConsoleDevice& device, const std::string& title, const std::string& text);

void ringBell(ConsoleDevice& device);
void pauseMilliseconds(ConsoleDevice& device, unsigned milliseconds);
void setWindowTitle(ConsoleDevice& device, const std::string& title);

// The scripted keystrokes for a text: one character event per byte.
void scriptText(ScriptedConsole& script, const std::string& text);

bool dismissesMessageBox(const KeyEvent& key);
