#include "console/screen_buffer.hpp"

#include <algorithm>

namespace {

ScreenCell* rowStart(ScreenBuffer& screen, int row) {
    return screen.cells.data() + static_cast<std::size_t>(row - 1) * screen.width;
}

}  // namespace

void resizeScreenBuffer(ScreenBuffer& screen, int width, int height, unsigned char attribute) {
    std::vector<ScreenCell> cells(static_cast<std::size_t>(width) * height,
                                  ScreenCell{' ', attribute});
    const int keepRows = std::min(height, screen.height);
    const int keepColumns = std::min(width, screen.width);
    for (int row = 1; row <= keepRows; ++row) {
        std::copy_n(rowStart(screen, row), keepColumns,
                    cells.data() + static_cast<std::size_t>(row - 1) * width);
    }
    screen.cells = std::move(cells);
    screen.width = width;
    screen.height = height;
    screen.cursorRow = std::clamp(screen.cursorRow, 1, height);
    screen.cursorColumn = std::clamp(screen.cursorColumn, 1, width);
}

int writeRowSegment(ScreenBuffer& screen, int row, int column, std::string_view text,
                    unsigned char attribute) {
    if (row < 1 || row > screen.height || column < 1 || column > screen.width) {
        return 0;
    }
    const int count = std::min(static_cast<int>(text.size()), screen.width - column + 1);
    ScreenCell* cell = rowStart(screen, row) + (column - 1);
    for (int i = 0; i < count; ++i) {
        cell[i] = ScreenCell{static_cast<unsigned char>(text[i]), attribute};
    }
    return count;
}

void scrollScreenUp(ScreenBuffer& screen, unsigned char attribute) {
    auto& cells = screen.cells;
    std::copy(cells.begin() + screen.width, cells.end(), cells.begin());
    std::fill(cells.end() - screen.width, cells.end(), ScreenCell{' ', attribute});
}

void fillScreen(ScreenBuffer& screen, unsigned char character, unsigned char attribute) {
    std::fill(screen.cells.begin(), screen.cells.end(), ScreenCell{character, attribute});
}

const ScreenCell& cellAt(const ScreenBuffer& screen, int row, int column) {
    return screen.cells[static_cast<std::size_t>(row - 1) * screen.width + (column - 1)];
}

std::string rowText(const ScreenBuffer& screen, int row) {
    std::string text;
    text.reserve(screen.width);
    for (int column = 1; column <= screen.width; ++column) {
        text += static_cast<char>(cellAt(screen, row, column).character);
    }
    return text;
}
