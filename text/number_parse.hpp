#pragma once

#include <string_view>

// The one rule by which text becomes a number, for typed answers and coefficient values alike.
// Leading blanks, tabs and line feeds are skipped; "&H", "&B", "&O"/"&Q" or "&" with digits give
// an integer in base 16, 2 or 8; otherwise an optional sign, digits with at most one point and an
// optional exponent (E, e, D or d). Reading stops at the first character that does not fit, and
// text without a leading number is 0. It never fails and never reads past the text.
long double parseNumber(std::string_view text);
