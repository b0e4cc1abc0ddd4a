#pragma once

#include <string>
#include <vector>

enum class MessageBoxRowRole { TitleBar, Body, Button };

struct MessageBoxRow {
    std::string text;  // exactly `width` characters
    MessageBoxRowRole role = MessageBoxRowRole::Body;
};

// Where a message box stands on a terminal of the given size, and what each of its rows shows:
// the title bar, the text lines (broken at each backslash-n pair and wherever a line is wider
// than the box can be), and the OK button. It always fits the terminal, however small.
struct MessageBoxLayout {
    int top = 0;   // 0-based terminal row of the title bar
    int left = 0;  // 0-based terminal column
    int width = 0;
    std::vector<MessageBoxRow> rows;
};

std::vector<std::string> splitMessageText(const std::string& text);

MessageBoxLayout layoutMessageBox(int terminalColumns, int terminalRows, const std::string& title,
                                  const std::string& text);
