#include "console/console_screen.hpp"

#include <gtest/gtest.h>

#include <string>

#include "console/console_window.hpp"
#include "console/scripted_backend.hpp"

namespace {

// An in-memory console of the given size with its text layer.
struct Fixture {
    ScriptedConsole script;
    ConsoleDevice device;
    ConsoleScreen screen;

    Fixture(int width, int height) {
        device.backend = &script;
        resizeScreenBuffer(device.screen, width, height, 0x07);
        screen.device = &device;
    }
    std::string row(int r) const { return rowText(device.screen, r); }
    int column() const { return device.screen.cursorColumn; }
    int line() const { return device.screen.cursorRow; }
};

TEST(PrintTextTest, WritesRowByRowAndWrapsAtTheEnd) {
    Fixture f(10, 4);
    printText(f.screen, "abcdefghij");  // exactly fills row 1
    EXPECT_EQ(f.row(1), "abcdefghij");
    EXPECT_EQ(f.line(), 2);
    EXPECT_EQ(f.column(), 1);
    printText(f.screen, "klmnopqrstuv");
    EXPECT_EQ(f.row(2), "klmnopqrst");
    EXPECT_EQ(f.row(3), "uv        ");
    EXPECT_EQ(f.column(), 3);
    printText(f.screen, "");
    EXPECT_EQ(f.column(), 3);
}

TEST(PrintTextTest, FillingTheBottomRowScrollsOnlyWhenMoreComes) {
    Fixture f(4, 3);
    locate(f.screen, 1, 1);
    printText(f.screen, "top.");
    locate(f.screen, 3, 1);
    printText(f.screen, "last");
    EXPECT_EQ(f.row(1), "top.");  // nothing scrolled yet
    EXPECT_EQ(f.line(), 3);
    EXPECT_EQ(f.column(), 1);
    printText(f.screen, "x");
    EXPECT_EQ(f.row(1), "    ");
    EXPECT_EQ(f.row(2), "last");
    EXPECT_EQ(f.row(3), "x   ");
}

TEST(EndLineTest, ScrollsTwiceAfterAFullBottomRow) {
    Fixture f(4, 3);
    printText(f.screen, "one.");
    locate(f.screen, 3, 1);
    printText(f.screen, "last");
    endLine(f.screen);
    EXPECT_EQ(f.row(1), "last");
    EXPECT_EQ(f.row(2), "    ");
    EXPECT_EQ(f.row(3), "    ");
    EXPECT_EQ(f.line(), 3);
    endLine(f.screen);  // an ordinary end on the bottom row scrolls once
    EXPECT_EQ(f.row(2), "    ");
    EXPECT_EQ(f.row(1), "    ");
}

TEST(LocateTest, OutOfRangeKeepsThatCoordinate) {
    Fixture f(80, 25);
    locate(f.screen, 5, 10);
    const struct {
        int row, column, expectedRow, expectedColumn;
    } cases[] = {{7, 0, 7, 10}, {0, 20, 7, 20}, {26, 3, 7, 3},
                 {2, 81, 2, 3}, {-1, -1, 2, 3}, {25, 80, 25, 80}};
    for (const auto& c : cases) {
        locate(f.screen, c.row, c.column);
        EXPECT_EQ(f.line(), c.expectedRow);
        EXPECT_EQ(f.column(), c.expectedColumn);
    }
}

TEST(ColoursTest, LaterOutputBlanksAndScrolledRowsTakeTheColours) {
    Fixture f(4, 2);
    setColours(f.screen, 0, 15);
    clearScreen(f.screen);
    EXPECT_EQ(cellAt(f.device.screen, 2, 4).attribute, 0xF0);
    setColours(f.screen, 8, 16);  // 16 keeps the background
    printText(f.screen, "ab");
    EXPECT_EQ(cellAt(f.device.screen, 1, 1).attribute, 0xF8);
    EXPECT_EQ(cellAt(f.device.screen, 1, 3).attribute, 0xF0);
    setColours(f.screen, 1, 4);
    endLine(f.screen);
    endLine(f.screen);
    EXPECT_EQ(cellAt(f.device.screen, 2, 1).attribute, 0x41);
    EXPECT_EQ(cellAt(f.device.screen, 1, 1).attribute, 0xF0);  // the row that was 2 moved up
}

TEST(PrintNumberTest, PrintsTheFormattedText) {
    Fixture f(80, 5);
    printText(f.screen, "Sample rate ");
    printNumber(f.screen, 44100, NumberForm::Long);
    printText(f.screen, "Hz");
    EXPECT_EQ(f.row(1).substr(0, 21), "Sample rate  44100 Hz");
}

std::string typeLine(Fixture& f, const std::string& keys) {
    scriptText(f.script, keys);
    return readLine(f.screen);
}

TEST(ReadLineTest, EditsAndEchoes) {
    struct Case {
        const char* keys;
        const char* result;
        const char* echo;
    } cases[] = {
        {"\r", "", "          "},
        {"\b\bab\r", "ab", "ab        "},
        {"a\tb\x1b\x03"
         "c\r",
         "abc", "abc       "},
        {"abc\b\bx\r", "ax", "ax        "},
        {" 33 \r", " 33 ", " 33       "},
        {"\xe9t\xe9\r", "\xe9t\xe9", "\xe9t\xe9       "},
    };
    for (const Case& c : cases) {
        Fixture f(10, 4);
        EXPECT_EQ(typeLine(f, c.keys), c.result);
        EXPECT_EQ(f.row(1), c.echo);
        EXPECT_EQ(f.line(), 2);
        EXPECT_EQ(f.column(), 1);
    }
}

TEST(ReadLineTest, ExtendedKeysAndReleasesAreDropped) {
    Fixture f(10, 4);
    f.script.keys.push_back({KeyKind::Extended, 72});
    f.script.keys.push_back({KeyKind::Release, 'z'});
    f.script.keys.push_back({KeyKind::Modifier, 0});
    scriptText(f.script, "7\r");
    EXPECT_EQ(readLine(f.screen), "7");
}

TEST(ReadLineTest, BackspaceCrossesRowsAndThePendingWrap) {
    Fixture f(4, 2);
    locate(f.screen, 1, 3);
    EXPECT_EQ(typeLine(f, "abcdef\b\b\b\r"), "abc");
    EXPECT_EQ(f.row(1), "c   ");  // Enter on the bottom row scrolled once
    EXPECT_EQ(f.row(2), "    ");

    Fixture g(4, 3);
    locate(g.screen, 3, 1);
    scriptText(g.script, "wxyz\b");  // fills the bottom row, then takes the last one back
    scriptText(g.script, "q\r");
    EXPECT_EQ(readLine(g.screen), "wxyq");
    EXPECT_EQ(g.row(1), "wxyq");  // Enter after the full bottom row scrolls twice
    EXPECT_EQ(g.row(2), "    ");

    Fixture h(4, 3);
    locate(h.screen, 1, 3);
    // From column 1 of the second row back to the last column of the first.
    EXPECT_EQ(typeLine(h, "abc\b\bX\r"), "aX");
    EXPECT_EQ(h.row(1), "  aX");
    EXPECT_EQ(h.row(2), "    ");
}

TEST(ReadLineTest, KeepsTheFirstTenThousandCharacters) {
    Fixture f(80, 25);
    const std::string typed(10050, '7');
    EXPECT_EQ(typeLine(f, typed + "\r"), std::string(10000, '7'));
}

TEST(ReadLineTest, ShowsTheCursorOnlyWhileTyping) {
    Fixture f(10, 4);
    setCursorVisible(f.screen, false);
    scriptText(f.script, "x\r");
    readLine(f.screen);
    EXPECT_FALSE(f.device.screen.cursorVisible);
}

TEST(WaitForKeyTest, LeavesTheCountingKeyQueued) {
    Fixture f(10, 4);
    f.script.keys.push_back({KeyKind::Release, 'a'});
    f.script.keys.push_back({KeyKind::Modifier, 0});
    f.script.keys.push_back({KeyKind::Extended, 59});
    waitForKey(f.screen);
    ASSERT_EQ(f.script.keys.size(), 1u);
    EXPECT_EQ(f.script.keys.front().kind, KeyKind::Extended);
    EXPECT_THROW(readLine(f.screen), ScriptExhausted);
}

TEST(ConsoleWindowTest, DressesTheScreenAndRecordsBoxes) {
    Fixture f(80, 25);
    ConsoleTitle(f.device, "Cartrivex");
    Console80x(f.device, 65);
    EXPECT_EQ(f.device.screen.width, 80);
    EXPECT_EQ(f.device.screen.height, 65);
    scriptText(f.script, "x \r");  // 'x' does not dismiss, the blank does
    MessageBeep(f.device, 0);
    ConsoleMessageBox(f.device, "text", "title");
    ASSERT_EQ(f.script.keys.size(), 1u);
    EXPECT_EQ(f.script.events,
              (std::vector<std::string>{"title Cartrivex", "beep", "box title|text"}));
}

}  // namespace
