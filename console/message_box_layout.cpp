#include "console/message_box_layout.hpp"

#include <algorithm>

namespace {

constexpr int kTextIndent = 2;
constexpr int kSmallestWidth = 12;
const std::string kButton = "[ OK ]";

std::string padded(const std::string& text, int width) {
    std::string row = text.substr(0, static_cast<std::size_t>(std::max(width, 0)));
    row.resize(static_cast<std::size_t>(std::max(width, 0)), ' ');
    return row;
}

}  // namespace

std::vector<std::string> splitMessageText(const std::string& text) {
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            lines.emplace_back();
            ++i;
        } else {
            lines.back() += text[i];
        }
    }
    return lines;
}

MessageBoxLayout layoutMessageBox(int terminalColumns, int terminalRows, const std::string& title,
                                  const std::string& text) {
    MessageBoxLayout layout;
    const int columns = std::max(terminalColumns, 1);
    const int rows = std::max(terminalRows, 1);
    const std::vector<std::string> paragraphs = splitMessageText(text);

    int widest = static_cast<int>(title.size()) + 2;
    for (const std::string& line : paragraphs) {
        widest = std::max(widest, static_cast<int>(line.size()) + 2 * kTextIndent);
    }
    widest = std::max(widest, kSmallestWidth);
    layout.width = std::min(widest, columns);
    const int textWidth = std::max(layout.width - 2 * kTextIndent, 1);

    std::vector<std::string> lines;
    for (const std::string& paragraph : paragraphs) {
        if (paragraph.empty()) {
            lines.emplace_back();
        }
        for (std::size_t start = 0; start < paragraph.size(); start += textWidth) {
            lines.push_back(paragraph.substr(start, textWidth));
        }
    }

    // Title bar, blank, text, blank, button, blank. On a short terminal the blanks go first,
    // then the last text lines, then the title bar; the button always stays.
    const std::string indent(kTextIndent, ' ');
    const MessageBoxRow blank{padded("", layout.width), MessageBoxRowRole::Body};
    const MessageBoxRow titleBar{padded(" " + title, layout.width), MessageBoxRowRole::TitleBar};
    const int buttonColumn = std::max((layout.width - static_cast<int>(kButton.size())) / 2, 0);
    const MessageBoxRow button{padded(std::string(buttonColumn, ' ') + kButton, layout.width),
                               MessageBoxRowRole::Button};
    const int lineCount = static_cast<int>(lines.size());
    const int shownLines = std::clamp(rows - 2, 0, lineCount);
    const int spare = rows - 2 - shownLines;  // rows left for the three blanks
    if (rows >= 2) {
        layout.rows.push_back(titleBar);
    }
    if (spare >= 3) {
        layout.rows.push_back(blank);
    }
    for (int i = 0; i < shownLines; ++i) {
        layout.rows.push_back({padded(indent + lines[i], layout.width), MessageBoxRowRole::Body});
    }
    if (spare >= 1) {
        layout.rows.push_back(blank);
    }
    layout.rows.push_back(button);
    if (spare >= 2) {
        layout.rows.push_back(blank);
    }
    layout.top = std::max((rows - static_cast<int>(layout.rows.size())) / 2, 0);
    layout.left = std::max((columns - layout.width) / 2, 0);
    return layout;
}
