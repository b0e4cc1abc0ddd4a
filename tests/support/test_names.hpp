#pragma once

// Readable names for parameterised cases, in the letters, digits and underscores gtest allows.

#include <cstddef>
#include <string>
#include <string_view>

// The case's index (which keeps the names unique), then `description` in words: letters and
// digits as they are, signs that tell cases apart as words ("minus", "point", ...), each word
// after an underscore; white space and other characters only separate words.
std::string testCaseName(std::size_t index, std::string_view description);

// The same for a literal text whose white space matters: blanks, tabs, newlines and carriage
// returns are spelt out too ("blank", "tab", ...).
std::string literalCaseName(std::size_t index, std::string_view text);
