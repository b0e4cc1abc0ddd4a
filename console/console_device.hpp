#pragma once

#include <string>

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

// The platform under the text layer: something that shows the screen buffer and delivers keys.
// A real terminal (console/terminal_backend) or a script in memory (console/scripted_backend).
class ConsoleBackend {
  public:
    virtual ~ConsoleBackend() = default;

    // Shows the screen buffer as it now stands.
    virtual void present(const ScreenBuffer& screen) = 0;
    // Waits until a key event is queued and returns the oldest one, leaving it in the queue.
    virtual KeyEvent peekKey(const ScreenBuffer& screen) = 0;
    // Removes the oldest queued key event.
    virtual void dropKey() = 0;
    // A modal box over the screen with its title and text ("\n", backslash and n, breaks the
    // line); returns once the user has dismissed it with Enter, Space or Escape.
    virtual void messageBox(const ScreenBuffer& screen, const std::string& title,
                            const std::string& text) = 0;
    virtual void beep() = 0;
    virtual void pause(unsigned milliseconds) = 0;
    virtual void setTitle(const std::string& title) = 0;
};

// The screen buffer and the backend that shows it.
struct ConsoleDevice {
    ScreenBuffer screen;
    ConsoleBackend* backend = nullptr;
};

void presentScreen(ConsoleDevice& device);
KeyEvent peekKeyEvent(ConsoleDevice& device);
void dropKeyEvent(ConsoleDevice& device);
void showMessageBox(ConsoleDevice& device, const std::string& title, const std::string& text);
void ringBell(ConsoleDevice& device);
void pauseMilliseconds(ConsoleDevice& device, unsigned milliseconds);
void setWindowTitle(ConsoleDevice& device, const std::string& title);

bool dismissesMessageBox(const KeyEvent& key);
