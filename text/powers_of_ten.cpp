#include "text/powers_of_ten.hpp"

#include <limits>

namespace {

constexpr long double kSmallPowers[8] = {1.0L, 1e1L, 1e2L, 1e3L, 1e4L, 1e5L, 1e6L, 1e7L};
constexpr long double kBinaryPowers[10] = {1e8L,   1e16L,  1e32L,   1e64L,   1e128L,
                                           1e256L, 1e512L, 1e1024L, 1e2048L, 1e4096L};
constexpr int kLargestSafeStep = 4900;

}  // namespace

long double powerOfTen(int exponent) {
    if (exponent < 0) {
        return 1.0L / powerOfTen(-exponent);
    }
    long double power = kSmallPowers[exponent & 7];
    int rest = exponent >> 3;
    for (int bit = 0; rest != 0; ++bit, rest >>= 1) {
        if ((rest & 1) == 0) {
            continue;
        }
        if (bit >= 10) {
            return std::numeric_limits<long double>::infinity();
        }
        power *= kBinaryPowers[bit];
    }
    return power;
}

long double scaleByPowerOfTen(long double value, long long exponent) {
    while (exponent > kLargestSafeStep) {
        value *= powerOfTen(kLargestSafeStep);
        exponent -= kLargestSafeStep;
    }
    while (exponent < -kLargestSafeStep) {
        value /= powerOfTen(kLargestSafeStep);
        exponent += kLargestSafeStep;
    }
    if (exponent >= 0) {
        return value * powerOfTen(static_cast<int>(exponent));
    }
    return value / powerOfTen(static_cast<int>(-exponent));
}
