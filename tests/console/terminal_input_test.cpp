#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "console/key_decoder.hpp"
#include "console/message_box_layout.hpp"
#include "console/terminal_glyphs.hpp"

namespace {

std::deque<KeyEvent> decode(const std::string& bytes, bool flush) {
    KeyDecoder decoder;
    std::deque<KeyEvent> keys;
    for (const char byte : bytes) {
        decodeKeyByte(decoder, static_cast<unsigned char>(byte), keys);
    }
    if (flush) {
        flushKeyDecoder(decoder, keys);
    }
    return keys;
}

std::string describe(const std::deque<KeyEvent>& keys) {
    std::string text;
    for (const KeyEvent& key : keys) {
        if (key.kind == KeyKind::Extended) {
            text += "<X>";
        } else {
            text += std::to_string(key.character) + ",";
        }
    }
    return text;
}

TEST(KeyDecoderTest, TurnsTerminalBytesIntoKeys) {
    const struct {
        const char* bytes;
        bool flush;
        const char* keys;
    } cases[] = {
        {"ab\r", false, "97,98,13,"},    {"\x7f\b", false, "8,8,"},
        {"\x03", false, "3,"},  // Ctrl+C is an ordinary character
        {"\x1b[A", false, "<X>"},        {"\x1b[1;5C", false, "<X>"},
        {"\x1b[15~x", false, "<X>120,"}, {"\x1bOP", false, "<X>"},
        {"\x1b", true, "27,"},           {"\x1b", false, ""},
        {"\x1bx", false, "<X>"},                                           // Alt with a letter
        {"\x1b[", true, "<X>"},          {"\xc3\xa9", false, "195,169,"},  // UTF-8 bytes stay bytes
        {"\x1b\x1b[B", false, "27,<X>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(decode(c.bytes, c.flush)), c.keys) << c.bytes;
    }
}

TEST(MessageBoxLayoutTest, BreaksAtBackslashNAndFitsAnyTerminal) {
    EXPECT_EQ(
        splitMessageText("          File not found.\\nPlease enter a valid filename"),
        (std::vector<std::string>{"          File not found.", "Please enter a valid filename"}));
    for (const int columns : {80, 40, 20, 10, 3}) {
        for (const int rows : {65, 25, 10, 4}) {
            const MessageBoxLayout box =
                layoutMessageBox(columns, rows, "  ERROR",
                                 "File duration is limited to 10 seconds. This file is too long ");
            ASSERT_FALSE(box.rows.empty());
            EXPECT_GE(box.left, 0);
            EXPECT_GE(box.top, 0);
            EXPECT_LE(box.left + box.width, columns);
            EXPECT_LE(box.top + static_cast<int>(box.rows.size()), rows);
            for (const MessageBoxRow& row : box.rows) {
                EXPECT_EQ(static_cast<int>(row.text.size()), box.width);
            }
        }
    }
    const MessageBoxLayout wide = layoutMessageBox(80, 65, "  ERROR", "short ");
    EXPECT_EQ(wide.rows.front().role, MessageBoxRowRole::TitleBar);
    EXPECT_NE(wide.rows.front().text.find("ERROR"), std::string::npos);
    int buttons = 0;
    for (const MessageBoxRow& row : wide.rows) {
        if (row.role == MessageBoxRowRole::Button) {
            ++buttons;
            EXPECT_NE(row.text.find("[ OK ]"), std::string::npos);
        }
    }
    EXPECT_EQ(buttons, 1);
    EXPECT_EQ(wide.rows[2].text.find("short "), 2u);
}

TEST(TerminalGlyphsTest, EveryByteTakesOneColumnAndColoursSwapRedAndBlue) {
    for (int byte = 0; byte < 256; ++byte) {
        const wchar_t glyph = glyphForByte(static_cast<unsigned char>(byte));
        EXPECT_GE(glyph, 32) << byte;
        EXPECT_NE(glyph, 127) << byte;
        if (byte >= 32 && byte < 127) {
            EXPECT_EQ(glyph, byte);
            EXPECT_EQ(asciiGlyphForByte(static_cast<unsigned char>(byte)), byte);
        }
    }
    const int expected[16] = {0, 4, 2, 6, 1, 5, 3, 7, 8, 12, 10, 14, 9, 13, 11, 15};
    for (int colour = 0; colour < 16; ++colour) {
        EXPECT_EQ(ansiColourForConsoleColour(colour), expected[colour]) << colour;
    }
}

}  // namespace
