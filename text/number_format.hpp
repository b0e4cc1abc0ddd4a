#pragma once

#include <string>

// The two number forms of the screen: 7 and 15 significant digits.
enum class NumberForm { Short, Long };

inline constexpr int kShortFormDigits = 7;
inline constexpr int kLongFormDigits = 15;

// Number to text: a blank or "-" first, at most `digits` significant digits, no zero before the
// decimal point, exponent form only when the digits do not fit, and one trailing blank.
std::string formatNumber(long double value, int digits);

// value rounded to `places` decimals (capped at 18): value * 10^places rounded to the nearest
// integer, ties to even, divided by 10^places, all in extended precision.
long double roundToDecimals(long double value, int places);
