#include "tests/support/test_names.hpp"

namespace {

bool isPlain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The word that stands for a sign that tells cases apart.
const char* wordFor(char c) {
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
            return nullptr;
    }
}

}  // namespace

std::string testCaseName(std::size_t index, std::string_view description) {
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
        } else if (const char* word = joinsWords ? nullptr : wordFor(c)) {
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
