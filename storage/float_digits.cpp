#include "storage/float_digits.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace vorn {

namespace {

// The binary layout of F: mantissa bits, exponent bias plus mantissa bits, digits that
// always round-trip.
template <typename F>
struct FloatTraits;
template <>
struct FloatTraits<double> {
    using Bits = uint64_t;
    static constexpr int kMantissaBits = 52;
    static constexpr int kExponentOffset = 1023 + 52;
    static constexpr int kMaxDigits = 17;
};
template <>
struct FloatTraits<float> {
    using Bits = uint32_t;
    static constexpr int kMantissaBits = 23;
    static constexpr int kExponentOffset = 127 + 23;
    static constexpr int kMaxDigits = 9;
};

// Scientific text of to_chars ("[-]d[.ddd]e(+|-)XX") as digits, trailing zeros dropped.
DecimalDigits parseScientific(const char* text, const char* end) {
    DecimalDigits d;
    const char* p = text;
    if (p < end && *p == '-')
        ++p;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.' && d.count < int(sizeof d.digits))
            d.digits[d.count++] = *p;
    if (p + 1 < end) {
        ++p;
        const bool negative = *p == '-';
        if (*p == '+' || *p == '-')
            ++p;
        int exponent = 0;
        for (; p < end; ++p)
            exponent = exponent * 10 + (*p - '0');
        d.exponent = negative ? -exponent : exponent;
    }
    while (d.count > 1 && d.digits[d.count - 1] == '0')
        --d.count;
    return d;
}

// True when D x 10^k equals N x 2^f exactly, N odd (below 2^56). With D = odd x 2^a both
// sides match when a + k == f and their odd parts agree: odd x 5^k == N for k >= 0,
// odd == N x 5^-k for k < 0. A power of five above N (or above D) rules equality out, so
// only k within +-24 needs the multiplication, which then fits 128 bits.
bool decimalEquals(uint64_t D, int k, uint64_t N, int f) {
    if (D == 0)
        return false;
    const int a = __builtin_ctzll(D);
    D >>= a;
    if (a + k != f)
        return false;
    const int q = k < 0 ? -k : k;
    if (q > 24)
        return false;
    unsigned __int128 fives = 1;
    for (int i = 0; i < q; ++i)
        fives *= 5;
    return k >= 0 ? (unsigned __int128)D * fives == N : (unsigned __int128)N * fives == D;
}

// Whether the digits lie exactly on a halfway point between `value` (> 0) and a neighbour.
template <typename F>
bool onHalfway(F value, const DecimalDigits& d) {
    using T = FloatTraits<F>;
    typename T::Bits bits;
    std::memcpy(&bits, &value, sizeof bits);
    const typename T::Bits fraction = bits & ((typename T::Bits(1) << T::kMantissaBits) - 1);
    // An odd mantissa: to_chars excluded the bounds itself.
    if (bits & 1)
        return false;
    const int biased = static_cast<int>(bits >> T::kMantissaBits);
    // value = M x 2^E
    const uint64_t M = biased == 0 ? fraction : fraction | (uint64_t(1) << T::kMantissaBits);
    const int E = (biased == 0 ? 1 : biased) - T::kExponentOffset;
    // A halfway point N x 2^f below 1 in its last place (f < 0) has an odd part N of at
    // least 2^(mantissa bits + 1) - 1, which times 5^-k must fit the at most kMaxDigits
    // digits: that leaves k >= -1 (float: -2), so f >= -2 and E >= -1 at the least, and
    // subnormals never. Below that (E < -2 kept as margin) no check is needed.
    if (biased == 0 || E < -3)
        return false;

    uint64_t D = 0;
    for (int i = 0; i < d.count; ++i)
        D = D * 10 + uint64_t(d.digits[i] - '0');
    const int k = d.exponent - (d.count - 1);

    // Above: (2M + 1) x 2^(E-1). Below: the same with 2M - 1, except at the bottom of a
    // binade, where the neighbour below is half as far: (4M - 1) x 2^(E-2).
    if (decimalEquals(D, k, 2 * M + 1, E - 1))
        return true;
    if (fraction == 0 && biased > 1)
        return decimalEquals(D, k, 4 * M - 1, E - 2);
    return decimalEquals(D, k, 2 * M - 1, E - 1);
}

template <typename F>
bool readsBack(F value, const char* text, const char* end) {
    F back = 0;
    const auto r = std::from_chars(text, end, back, std::chars_format::scientific);
    return r.ec == std::errc() && back == value;
}

// The digits of a value that is a decimal of few digits exactly: an integer, or an odd
// multiple of 2^-j (j <= 8) such as 0.5 or 12.375, that is N x 10^-j with N = odd x 5^j. A
// decimal with at most kExactDigits significant digits is (for double 15, float 7) farther
// than half a unit in the last place from every decimal of fewer digits, so those digits
// are the shortest ones and, being the value itself, the closest. False for other values.
template <typename F>
bool exactDigits(F value, DecimalDigits& d) {
    using T = FloatTraits<F>;
    constexpr uint64_t kLimit = std::is_same_v<F, double> ? 1000000000000000ull : 10000000ull;
    static constexpr uint64_t kFives[9] = {1, 5, 25, 125, 625, 3125, 15625, 78125, 390625};
    static constexpr uint64_t kBelow[9] = {
        kLimit / kFives[0], kLimit / kFives[1], kLimit / kFives[2],
        kLimit / kFives[3], kLimit / kFives[4], kLimit / kFives[5],
        kLimit / kFives[6], kLimit / kFives[7], kLimit / kFives[8]};
    typename T::Bits bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = static_cast<int>(bits >> T::kMantissaBits);
    if (biased == 0)
        return false;  // subnormal (zero is never asked for)
    uint64_t M = (bits & ((typename T::Bits(1) << T::kMantissaBits) - 1)) |
                 (uint64_t(1) << T::kMantissaBits);
    int E = biased - T::kExponentOffset;
    const int zeros = __builtin_ctzll(M);
    M >>= zeros;
    E += zeros;
    uint64_t N;
    int j = 0;
    if (E >= 0) {
        if (E >= 50 || M >= (kLimit >> E))
            return false;
        N = M << E;
    } else {
        j = -E;
        if (j > 8 || M >= kBelow[j])
            return false;
        N = M * kFives[j];
    }
    // The digits from the last, two at a time.
    static constexpr char kPairs[201] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char text[20];
    char* p = text + sizeof text;
    uint64_t rest = N;
    while (rest >= 100) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * (rest % 100), 2);
        rest /= 100;
    }
    if (rest >= 10) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * rest, 2);
    } else {
        *--p = static_cast<char>('0' + rest);
    }
    int n = static_cast<int>(text + sizeof text - p);
    d.exponent = n - 1 - j;
    while (n > 1 && p[n - 1] == '0')  // trailing zeros, only an integer has them
        --n;
    std::memcpy(d.digits, p, static_cast<size_t>(n));
    d.count = n;
    return true;
}

template <typename F>
DecimalDigits shortest(F value) {
    using T = FloatTraits<F>;
    value = std::fabs(value);
    if (DecimalDigits exact; exactDigits(value, exact))
        return exact;
    char text[48];
    const char* end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    DecimalDigits d = parseScientific(text, end);
    if (!onHalfway(value, d))
        return d;
    // One digit more at a time, correctly rounded, until strictly inside the interval; the
    // full digit count always is.
    for (int digits = d.count + 1; digits <= T::kMaxDigits; ++digits) {
        end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific,
                            digits - 1)
                  .ptr;
        DecimalDigits longer = parseScientific(text, end);
        if (readsBack(value, text, end) && !onHalfway(value, longer))
            return longer;
    }
    return d;
}

}  // namespace

DecimalDigits shortestDigits(double value) {
    return shortest(value);
}

DecimalDigits shortestDigits(float value) {
    return shortest(value);
}

}  // namespace vorn
