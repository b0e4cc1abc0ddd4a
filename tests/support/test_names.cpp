#include "tests/support/test_names.hpp"

namespace {

bool isPlain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The word that stands for a sign that tells cases apart; white space only where it is spelt.
const char* wordFor(char c, bool spellBlanks) {
    switch (c) {
        case '-':
            return "minus";
        case '+':
            return "plus";
        case '.':
            return "point";
        case ',':
            return "comma";
        case '&':
            return "amp";
        default:
            break;
    }
    if (!spellBlanks) {
        return nullptr;
    }
    switch (c) {
        case ' ':
            return "blank";
        case '\t':
            return "tab";
        case '\n':
            return "newline";
        case '\r':
            return "return";
        default:
            return nullptr;
    }
}

std::string caseName(std::size_t index, std::string_view description, bool spellBlanks) {
    std::string name = std::to_string(index);
    bool inWord = false;
    for (std::size_t k = 0; k < description.size(); ++k) {
        const char c = description[k];
        const bool joinsWords = c == '-' && k + 1 < description.size() &&
                                ((description[k + 1] >= 'a' && description[k + 1] <= 'z') ||
                                 (description[k + 1] >= 'A' && description[k + 1] <= 'Z'));
        if (isPlain(c)) {
            if (!inWord) {
                name += '_';
            }
            name += c;
            inWord = true;
        } else if (const char* word = joinsWords ? nullptr : wordFor(c, spellBlanks)) {
            name += '_';
            name += word;
            inWord = false;
        } else {
            inWord = false;
        }
    }
    if (description.empty()) {
        name += "_empty";
    }
    return name;
}

}  // namespace

std::string testCaseName(std::size_t index, std::string_view description) {
    return caseName(index, description, false);
}

std::string literalCaseName(std::size_t index, std::string_view text) {
    return caseName(index, text, true);
}
