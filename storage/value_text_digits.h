#pragma once

// Small helpers of the value text outputs: the "00".."99" digit-pair table and fixed-width
// digit writers. Callers make room first (TextBuffer::ensure or a stack array).

#include <cstdint>
#include <cstring>

namespace vorn::digits {

inline constexpr char kPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Two digits of `value` (0..99).
inline char* put2(char* dest, uint32_t value) {
    std::memcpy(dest, kPairs + 2 * value, 2);
    return dest + 2;
}

// Four digits of `value` (0..9999), leading zeros kept.
inline char* put4(char* dest, uint32_t value) {
    put2(dest, value / 100);
    put2(dest + 2, value % 100);
    return dest + 4;
}

// The fraction of a time: "." and the six digits of `microseconds` (1..999999) without
// trailing zeros; nothing for 0. At most 7 characters.
inline char* putFraction(char* dest, uint32_t microseconds) {
    if (microseconds == 0)
        return dest;
    char six[6];
    put2(six, microseconds / 10000);
    put2(six + 2, microseconds / 100 % 100);
    put2(six + 4, microseconds % 100);
    size_t n = 6;
    while (six[n - 1] == '0')
        --n;
    *dest++ = '.';
    std::memcpy(dest, six, n);
    return dest + n;
}

}  // namespace vorn::digits
