#pragma once

#include <string>
#include <string_view>
#include <vector>

// One character cell of the screen: an 8-bit character and a colour attribute
// (background * 16 + foreground, console palette).
struct ScreenCell {
    unsigned char character = ' ';
    unsigned char attribute = 0x07;
};

// The screen buffer is the truth of what the program shows; terminals only display it.
// Rows and columns count from 1.
struct ScreenBuffer {
    int width = 80;
    int height = 25;
    std::vector<ScreenCell> cells = std::vector<ScreenCell>(80 * 25);
    int cursorRow = 1;
    int cursorColumn = 1;
    bool cursorVisible = true;
};

void resizeScreenBuffer(ScreenBuffer& screen, int width, int height, unsigned char attribute);

// Writes as much of `text` as fits from (row, column) to the end of that row; returns the count.
int writeRowSegment(ScreenBuffer& screen, int row, int column, std::string_view text,
                    unsigned char attribute);

// The top row is lost, every other row moves up by one and the bottom row becomes blank.
void scrollScreenUp(ScreenBuffer& screen, unsigned char attribute);

void fillScreen(ScreenBuffer& screen, unsigned char character, unsigned char attribute);

const ScreenCell& cellAt(const ScreenBuffer& screen, int row, int column);

// The characters of one row, trailing blanks included.
std::string rowText(const ScreenBuffer& screen, int row);
