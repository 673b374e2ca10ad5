#pragma once

// The shortest decimal digits of a float or double as PostgreSQL (12 and later) finds them:
// the fewest significant digits whose value lies strictly inside the value's rounding
// interval (the halfway points to its neighbours excluded), the closest such to the value.
//
// std::to_chars finds the same digits except when the value's binary mantissa is even: it
// then also accepts a decimal lying exactly on a halfway point (a correctly rounding reader
// maps it back to the even value). The server's copy of the algorithm never accepts the
// bounds, so for those values (they are large integers, such as 2.1381375867702992e+16,
// where to_chars gives 2.138137586770299e+16) it prints one digit more. shortestDigits
// detects that case exactly, in integer arithmetic, and lengthens the digits.

#include <cstdint>

namespace vorn {

struct DecimalDigits {
    char digits[20] = {};  // significant digits, no trailing zeros: d1 d2 ... dn
    int count = 0;         // n, at most 17
    int exponent = 0;      // the value is d1.d2...dn x 10^exponent
};

// For a finite value other than zero; the sign is ignored.
DecimalDigits shortestDigits(double value);
DecimalDigits shortestDigits(float value);

}  // namespace vorn
