#include "text/number_parse.hpp"

#include <cmath>
#include <cstdint>

#include "text/powers_of_ten.hpp"

namespace {

constexpr int kSignificantDigits = 18;
constexpr int kExponentCap = 9999;
constexpr long long kOverflowScale = 4933;

int digitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

// "&H1F", "&B101", "&O17", "&Q17" or "&17": the digits after the prefix in their base.
long double parseBasedInteger(std::string_view text, std::size_t i) {
    int base = 8;
    if (i < text.size()) {
        const char letter = text[i];
        if (letter == 'H' || letter == 'h') {
            base = 16;
            ++i;
        } else if (letter == 'B' || letter == 'b') {
            base = 2;
            ++i;
        } else if (letter == 'O' || letter == 'o' || letter == 'Q' || letter == 'q') {
            base = 8;
            ++i;
        }
    }
    long double value = 0;
    for (; i < text.size() && digitValue(text[i]) < base; ++i) {
        value = value * base + digitValue(text[i]);
    }
    return value;
}

}  // namespace

long double parseNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) {
        ++i;
    }
    if (i < text.size() && text[i] == '&') {
        return parseBasedInteger(text, i + 1);
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    std::uint64_t mantissa = 0;
    int digitsUsed = 0;
    long long pointPosition = 0;  // the value is 0.d1d2d3... times 10^pointPosition
    bool sawDigit = false;
    bool started = false;  // past the leading zeros
    bool afterPoint = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !afterPoint) {
            afterPoint = true;
            continue;
        }
        if (c < '0' || c > '9') {
            break;
        }
        sawDigit = true;
        if (!started && c == '0') {
            if (afterPoint) {
                --pointPosition;
            }
            continue;
        }
        started = true;
        if (digitsUsed < kSignificantDigits) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++digitsUsed;
        }
        if (!afterPoint) {
            ++pointPosition;
        }
    }

    long long exponent = 0;
    if (sawDigit && i < text.size() &&
        (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
        ++i;
        bool negativeExponent = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negativeExponent = text[i] == '-';
            ++i;
        }
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            exponent = exponent * 10 + (text[i] - '0');
            if (exponent > kExponentCap) {
                exponent = kExponentCap;
            }
        }
        if (negativeExponent) {
            exponent = -exponent;
        }
    }

    const long double sign = negative ? -1.0L : 1.0L;
    if (!sawDigit || mantissa == 0) {
        return sign * 0.0L;
    }
    const long long scale = pointPosition + exponent;
    if (scale >= kOverflowScale) {
        return sign * 0x1p127L;
    }
    if (scale <= -kOverflowScale) {
        return 0.0L;
    }
    const long double magnitude =
        scaleByPowerOfTen(static_cast<long double>(mantissa), scale - digitsUsed);
    return negative ? -magnitude : magnitude;
}
