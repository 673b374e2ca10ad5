// float4 and float8 as PostgreSQL 12 and later print them (extra_float_digits above 0): the
// shortest decimal digits that read back to the same value (float_digits.h), in fixed
// notation when the decimal exponent e of the first digit is -4 <= e < 6 (float4) or < 15
// (float8), otherwise as d[.ddd]e(+|-)XX with at least two exponent digits; "NaN",
// "Infinity", "-Infinity", "-0".

#include <cmath>
#include <cstring>

#include "storage/byte_reader.h"
#include "storage/float_digits.h"
#include "storage/value_text.h"
#include "storage/value_text_digits.h"

namespace vorn {

namespace {

// At most: sign, "0.", three zeros (e = -4) and 17 digits; sign, 17 digits, point and
// "e-308".
constexpr size_t kFloatTextMax = 32;
constexpr int kFixedFromExponent = -4;
constexpr int kFloat4FixedBelow = 6, kFloat8FixedBelow = 15;

char* putScientific(char* p, const DecimalDigits& d) {
    *p++ = d.digits[0];
    if (d.count > 1) {
        *p++ = '.';
        std::memcpy(p, d.digits + 1, size_t(d.count - 1));
        p += d.count - 1;
    }
    *p++ = 'e';
    *p++ = d.exponent < 0 ? '-' : '+';
    const uint32_t e = static_cast<uint32_t>(d.exponent < 0 ? -d.exponent : d.exponent);
    if (e >= 100)
        *p++ = static_cast<char>('0' + e / 100);
    return digits::put2(p, e % 100);
}

char* putFixed(char* p, const DecimalDigits& d) {
    if (d.exponent < 0) {
        *p++ = '0';
        *p++ = '.';
        for (int i = -1; i > d.exponent; --i)
            *p++ = '0';
        std::memcpy(p, d.digits, size_t(d.count));
        return p + d.count;
    }
    const int integerDigits = d.exponent + 1;
    for (int i = 0; i < integerDigits; ++i)
        *p++ = i < d.count ? d.digits[i] : '0';
    if (d.count > integerDigits) {
        *p++ = '.';
        std::memcpy(p, d.digits + integerDigits, size_t(d.count - integerDigits));
        p += d.count - integerDigits;
    }
    return p;
}

template <typename F>
bool appendFloat(F v, int fixedBelow, TextBuffer& out) {
    if (std::isnan(v)) {
        out.append("NaN", 3);
        return true;
    }
    if (std::isinf(v)) {
        if (v < 0)
            out.append("-Infinity", 9);
        else
            out.append("Infinity", 8);
        return true;
    }
    char* const start = out.ensure(kFloatTextMax);
    char* p = start;
    if (std::signbit(v))
        *p++ = '-';
    if (v == 0) {
        *p++ = '0';
    } else {
        const DecimalDigits d = shortestDigits(v);
        p = d.exponent >= kFixedFromExponent && d.exponent < fixedBelow ? putFixed(p, d)
                                                                        : putScientific(p, d);
    }
    out.advanceTo(p);
    return true;
}

}  // namespace

bool outputFloat4(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    return length >= 4 && appendFloat(loadLE<float>(value), kFloat4FixedBelow, out);
}

bool outputFloat8(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    return length >= 8 && appendFloat(loadLE<double>(value), kFloat8FixedBelow, out);
}

}  // namespace vorn
