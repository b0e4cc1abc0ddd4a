#pragma once

// Readable names for parameterised cases, in the letters, digits and underscores gtest allows.

#include <cstddef>
#include <string>
#include <string_view>

// `description` with every run of other characters turned into one underscore, after the case's
// index (which keeps the names unique).
std::string testCaseName(std::size_t index, std::string_view description);
