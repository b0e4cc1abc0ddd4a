#include "text/number_format.hpp"

#include <cmath>
#include <cstdint>

#include "text/powers_of_ten.hpp"

namespace {

constexpr std::uint64_t kEighteenDigits = 1000000000000000000ULL;  // 10^18

// |value| as an integer of 18 significant digits and the decimal exponent k of its first digit.
void leadingDigits(long double magnitude, std::uint64_t& digits, int& k) {
    int binaryExponent = 0;
    std::frexp(magnitude, &binaryExponent);
    binaryExponent -= 1;  // magnitude = m * 2^e2 with 1 <= m < 2
    k = (binaryExponent * 19728) >> 16;
    const long double scaled = scaleByPowerOfTen(magnitude, 17LL - k);
    const long double rounded = std::nearbyint(scaled);
    digits = rounded < 1.8e19L ? static_cast<std::uint64_t>(rounded) : 18000000000000000000ULL;
    if (digits >= kEighteenDigits) {
        std::uint64_t tenth = digits / 10;
        const std::uint64_t remainder = digits % 10;
        if (remainder > 5 || (remainder == 5 && (tenth & 1) != 0)) {
            ++tenth;
        }
        digits = tenth;
        k += 1;
    }
}

// Rounds the digit text to `count` digits by looking at digit count + 1 alone.
bool roundDigitText(std::string& text, int count) {
    const char next = text[count];
    text.resize(count);
    const bool odd = ((text[count - 1] - '0') & 1) != 0;
    if (next < '5' || (next == '5' && !odd)) {
        return false;
    }
    for (int i = count - 1; i >= 0; --i) {
        if (text[i] != '9') {
            ++text[i];
            return false;
        }
        text[i] = '0';
    }
    text[0] = '1';
    return true;
}

std::string exponentForm(const std::string& digits, int pointPosition) {
    std::string body(1, digits[0]);
    if (digits.size() > 1) {
        body += '.';
        body.append(digits, 1, std::string::npos);
    }
    const int exponent = pointPosition - 1;
    body += exponent >= 0 ? "E+" : "E-";
    body += std::to_string(exponent >= 0 ? exponent : -exponent);
    return body;
}

}  // namespace

std::string formatNumber(long double value, int digits) {
    if (std::isnan(value) || value == 0) {
        return " 0 ";
    }
    const bool negative = value < 0;
    std::string text;
    int pointPosition = 0;
    if (std::isinf(value)) {
        text.assign(digits, '9');
        pointPosition = 999;
    } else {
        std::uint64_t leading = 0;
        int k = 0;
        leadingDigits(std::fabs(value), leading, k);
        text = std::to_string(leading);
        if (static_cast<int>(text.size()) < digits + 1) {
            text.append(digits + 1 - text.size(), '0');
        }
        if (roundDigitText(text, digits)) {
            k += 1;
        }
        pointPosition = k + 1;
    }
    while (text.size() > 1 && text.back() == '0') {
        text.pop_back();
    }
    const int count = static_cast<int>(text.size());

    std::string body;
    if (pointPosition >= count && pointPosition <= digits) {
        body = text + std::string(pointPosition - count, '0');
    } else if (pointPosition > digits) {
        body = exponentForm(text, pointPosition);
    } else if (pointPosition < count && count - pointPosition <= digits) {
        if (pointPosition > 0) {
            body = text.substr(0, pointPosition) + "." + text.substr(pointPosition);
        } else {
            body = "." + std::string(-pointPosition, '0') + text;
        }
    } else {
        body = exponentForm(text, pointPosition);
    }
    return (negative ? "-" : " ") + body + " ";
}

long double roundToDecimals(long double value, int places) {
    if (places > 18) {
        places = 18;
    }
    if (places < 0) {
        places = 0;
    }
    const long double scale = powerOfTen(places);
    return std::nearbyint(value * scale) / scale;
}
