#include "console/console_screen.hpp"

namespace {

ScreenBuffer& buffer(ConsoleScreen& screen) {
    return screen.device->screen;
}

void moveToNextRow(ConsoleScreen& screen) {
    ScreenBuffer& buf = buffer(screen);
    buf.cursorColumn = 1;
    if (buf.cursorRow < buf.height) {
        ++buf.cursorRow;
    } else {
        screen.pendingWrap = true;
    }
}

void eraseLastCharacter(ConsoleScreen& screen) {
    ScreenBuffer& buf = buffer(screen);
    if (screen.pendingWrap) {
        screen.pendingWrap = false;
        buf.cursorRow = buf.height;
        buf.cursorColumn = buf.width;
    } else if (buf.cursorColumn > 1) {
        --buf.cursorColumn;
    } else if (buf.cursorRow > 1) {
        --buf.cursorRow;
        buf.cursorColumn = buf.width;
    }
    writeRowSegment(buf, buf.cursorRow, buf.cursorColumn, " ", currentAttribute(screen));
}

bool countsAsKey(const KeyEvent& key) {
    return key.kind == KeyKind::Character || key.kind == KeyKind::Extended;
}

}  // namespace

unsigned char currentAttribute(const ConsoleScreen& screen) {
    return static_cast<unsigned char>(screen.background * 16 + screen.foreground);
}

void printText(ConsoleScreen& screen, std::string_view text) {
    ScreenBuffer& buf = buffer(screen);
    while (!text.empty()) {
        if (screen.pendingWrap) {
            scrollScreenUp(buf, currentAttribute(screen));
            screen.pendingWrap = false;
        }
        const int written =
            writeRowSegment(buf, buf.cursorRow, buf.cursorColumn, text, currentAttribute(screen));
        text.remove_prefix(written);
        buf.cursorColumn += written;
        if (buf.cursorColumn > buf.width) {
            moveToNextRow(screen);
        }
    }
    presentScreen(*screen.device);
}

void endLine(ConsoleScreen& screen) {
    ScreenBuffer& buf = buffer(screen);
    if (buf.cursorRow < buf.height) {
        ++buf.cursorRow;
    } else {
        scrollScreenUp(buf, currentAttribute(screen));
        if (screen.pendingWrap) {
            scrollScreenUp(buf, currentAttribute(screen));
        }
    }
    screen.pendingWrap = false;
    buf.cursorColumn = 1;
    presentScreen(*screen.device);
}

void printNumber(ConsoleScreen& screen, long double value, NumberForm form) {
    printText(screen,
              formatNumber(value, form == NumberForm::Short ? kShortFormDigits : kLongFormDigits));
}

void locate(ConsoleScreen& screen, int row, int column) {
    ScreenBuffer& buf = buffer(screen);
    if (row >= 1 && row <= buf.height) {
        buf.cursorRow = row;
    }
    if (column >= 1 && column <= buf.width) {
        buf.cursorColumn = column;
    }
    screen.pendingWrap = false;
}

int cursorRow(const ConsoleScreen& screen) {
    return screen.device->screen.cursorRow;
}

void setColours(ConsoleScreen& screen, int foreground, int background) {
    if (foreground >= 0 && foreground < 16) {
        screen.foreground = foreground;
    }
    if (background >= 0 && background < 16) {
        screen.background = background;
    }
}

void clearScreen(ConsoleScreen& screen) {
    ScreenBuffer& buf = buffer(screen);
    fillScreen(buf, ' ', currentAttribute(screen));
    buf.cursorRow = 1;
    buf.cursorColumn = 1;
    screen.pendingWrap = false;
    presentScreen(*screen.device);
}

void setCursorVisible(ConsoleScreen& screen, bool visible) {
    buffer(screen).cursorVisible = visible;
    presentScreen(*screen.device);
}

std::string readLine(ConsoleScreen& screen) {
    const bool wasHidden = !buffer(screen).cursorVisible;
    if (wasHidden) {
        setCursorVisible(screen, true);
    }
    presentScreen(*screen.device);
    std::string text;
    for (;;) {
        const KeyEvent key = peekKeyEvent(*screen.device);
        dropKeyEvent(*screen.device);
        if (key.kind != KeyKind::Character) {
            continue;
        }
        const unsigned char c = key.character;
        if (c == 13) {
            endLine(screen);
            break;
        }
        if (c == 8) {
            if (!text.empty()) {
                eraseLastCharacter(screen);
                text.pop_back();
                presentScreen(*screen.device);
            }
            continue;
        }
        if (c < 32 || text.size() >= kTypedLineLimit) {
            continue;
        }
        text += static_cast<char>(c);
        printText(screen, std::string_view(&text.back(), 1));
    }
    if (wasHidden) {
        setCursorVisible(screen, false);
    }
    return text;
}

void waitForKey(ConsoleScreen& screen) {
    presentScreen(*screen.device);
    for (;;) {
        if (countsAsKey(peekKeyEvent(*screen.device))) {
            return;
        }
        dropKeyEvent(*screen.device);
    }
}
