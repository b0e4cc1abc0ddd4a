#pragma once

#include <string>

#include "console/console_device.hpp"

// The real terminal: ncurses draws the screen buffer, keys are read raw from the terminal.
struct TerminalConsole;

// Takes over the terminal (raw keys, no echo, colours); nullptr with a reason when the program is
// not attached to a usable terminal.
TerminalConsole* openTerminal(std::string& reason);

// Gives the terminal back as it was found: modes, cursor, colours, title.
void closeTerminal(TerminalConsole* terminal);

// Restores the terminal from a signal handler: only async-signal-safe calls.
void restoreTerminalAfterSignal();

void terminalPresent(TerminalConsole& terminal, const ScreenBuffer& screen);
KeyEvent terminalPeekKey(TerminalConsole& terminal, const ScreenBuffer& screen);
void terminalDropKey(TerminalConsole& terminal);
void terminalMessageBox(TerminalConsole& terminal, const ScreenBuffer& screen,
                        const std::string& title, const std::string& text);
void terminalBeep(TerminalConsole& terminal);
void terminalSetTitle(TerminalConsole& terminal, const std::string& title);
