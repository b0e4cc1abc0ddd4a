#pragma once

#include <memory>
#include <string>

#include "console/console_device.hpp"

struct TerminalState;

// The real terminal: ncurses draws the screen buffer, keys are read raw from the terminal.
class TerminalConsole final : public ConsoleBackend {
  public:
    // Takes over the terminal (raw keys, no echo, colours); nullptr with a reason when the program
    // is not attached to a usable terminal.
    static std::unique_ptr<TerminalConsole> open(std::string& reason);
    // Gives the terminal back as it was found: modes, cursor, colours, title.
    ~TerminalConsole() override;
    TerminalConsole(const TerminalConsole&) = delete;
    TerminalConsole& operator=(const TerminalConsole&) = delete;

    void present(const ScreenBuffer& screen) override;
    KeyEvent peekKey(const ScreenBuffer& screen) override;
    void dropKey() override;
    void messageBox(const ScreenBuffer& screen, const std::string& title,
                    const std::string& text) override;
    void beep() override;
    void pause(unsigned milliseconds) override;
    void setTitle(const std::string& title) override;

  private:
    explicit TerminalConsole(std::unique_ptr<TerminalState> state);
    std::unique_ptr<TerminalState> state_;
};

// Restores the terminal from a signal handler: only async-signal-safe calls.
void restoreTerminalAfterSignal();
