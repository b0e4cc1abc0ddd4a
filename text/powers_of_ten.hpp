#pragma once

// Powers of ten in extended precision. 10^0 to 10^7 come from an exact table; larger exponents
// combine that table with the binary powers 10^8, 10^16, 10^32, ..., 10^4096, lowest first.
// Exponents whose power exceeds the extended range give infinity.
long double powerOfTen(int exponent);

// value * 10^exponent for any exponent, dividing by the power when the exponent is negative and
// splitting powers that would leave the extended range.
long double scaleByPowerOfTen(long double value, long long exponent);
