#pragma once

#include <string>
#include <string_view>

#include "console/console_device.hpp"
#include "text/number_format.hpp"

inline constexpr std::size_t kTypedLineLimit = 10000;

// The text layer: text and numbers at a cursor in chosen colours, line ends, scrolling, cursor
// placement, and simple line input. Rows and columns count from 1.
struct ConsoleScreen {
    ConsoleDevice* device = nullptr;
    int foreground = 7;
    int background = 0;
    bool pendingWrap = false;  // the last cell of the bottom row has just been written
};

unsigned char currentAttribute(const ConsoleScreen& screen);

void printText(ConsoleScreen& screen, std::string_view text);
void endLine(ConsoleScreen& screen);
void printNumber(ConsoleScreen& screen, long double value, NumberForm form);
void locate(ConsoleScreen& screen, int row, int column);
int cursorRow(const ConsoleScreen& screen);
void setColours(ConsoleScreen& screen, int foreground, int background);
void clearScreen(ConsoleScreen& screen);
void setCursorVisible(ConsoleScreen& screen, bool visible);

// Reads one typed line: printable bytes are kept and echoed, Backspace removes the last one,
// other control characters and extended keys are dropped, Enter ends the line.
std::string readLine(ConsoleScreen& screen);

// Waits for a key that produces a character or an extended key; the key stays queued.
void waitForKey(ConsoleScreen& screen);
