// Integer-valued outputs: int2, int4, int8, oid, xid, tinyint and money, and the digit
// formatters the date and time outputs share.

#include <charconv>
#include <type_traits>

#include "storage/byte_reader.h"
#include "storage/value_text.h"
#include "storage/value_text_digits.h"

namespace vorn {

namespace {

constexpr size_t kInt64TextMax = 20;  // "-9223372036854775808"

size_t decimalLength(uint64_t value) {
    // From the bit length an estimate that is exact or one too high, corrected by one
    // comparison with the power of ten.
    static constexpr uint64_t kPowers[20] = {1ull,
                                             10ull,
                                             100ull,
                                             1000ull,
                                             10000ull,
                                             100000ull,
                                             1000000ull,
                                             10000000ull,
                                             100000000ull,
                                             1000000000ull,
                                             10000000000ull,
                                             100000000000ull,
                                             1000000000000ull,
                                             10000000000000ull,
                                             100000000000000ull,
                                             1000000000000000ull,
                                             10000000000000000ull,
                                             100000000000000000ull,
                                             1000000000000000000ull,
                                             10000000000000000000ull};
    const int bits = 64 - __builtin_clzll(value | 1);
    const size_t estimate = static_cast<size_t>((bits * 1233) >> 12) + 1;
    return estimate - (estimate > 1 && value < kPowers[estimate - 1]);
}

// The digits of `value`, two at a time from the end, in 32-bit arithmetic; the end.
char* putDecimal32(char* dest, uint32_t value) {
    const size_t n = decimalLength(value);
    char* p = dest + n;
    while (value >= 100) {
        p -= 2;
        digits::put2(p, value % 100);
        value /= 100;
    }
    if (value >= 10)
        digits::put2(p - 2, value);
    else
        p[-1] = static_cast<char>('0' + value);
    return dest + n;
}

// Eight digits of `value` (below 10^8), leading zeros kept.
char* put8(char* dest, uint32_t value) {
    digits::put4(dest, value / 10000);
    digits::put4(dest + 4, value % 10000);
    return dest + 8;
}

// The digits of `value`; the end of the text.
char* putDecimal(char* dest, uint64_t value) {
    constexpr uint64_t kEight = 100000000;
    if (value < kEight)
        return putDecimal32(dest, static_cast<uint32_t>(value));
    const uint64_t high = value / kEight;
    const auto low = static_cast<uint32_t>(value % kEight);
    if (high < kEight)
        return put8(putDecimal32(dest, static_cast<uint32_t>(high)), low);
    // Above 10^16: at most four digits more.
    char* p = putDecimal32(dest, static_cast<uint32_t>(high / kEight));
    return put8(put8(p, static_cast<uint32_t>(high % kEight)), low);
}

template <typename T>
bool appendInteger(T value, TextBuffer& out) {
    char* p = out.ensure(kInt64TextMax);
    uint64_t magnitude;
    if constexpr (std::is_signed_v<T>) {
        // The magnitude in unsigned arithmetic, so that the minimum has one too.
        magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        if (value < 0)
            *p++ = '-';
    } else {
        magnitude = value;
    }
    out.advanceTo(putDecimal(p, magnitude));
    return true;
}

}  // namespace

size_t formatUInt32(uint32_t value, char* dest) {
    return static_cast<size_t>(putDecimal(dest, value) - dest);
}

char* formatZeroPadded(char* dest, uint64_t value, int width) {
    const size_t n = decimalLength(value);
    for (size_t pad = n; pad < static_cast<size_t>(width < 0 ? 0 : width); ++pad)
        *dest++ = '0';
    return putDecimal(dest, value);
}

bool outputInt2(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    return length >= 2 && appendInteger(loadLE<int16_t>(value), out);
}

bool outputInt4(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    return length >= 4 && appendInteger(loadLE<int32_t>(value), out);
}

bool outputInt8(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    return length >= 8 && appendInteger(loadLE<int64_t>(value), out);
}

bool outputOid(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    return length >= 4 && appendInteger(loadLE<uint32_t>(value), out);
}

bool outputXid(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length >= 8)
        return appendInteger(loadLE<uint64_t>(value), out);
    return length >= 4 && appendInteger(loadLE<uint32_t>(value), out);
}

bool outputTinyint(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    return length >= 1 && appendInteger(static_cast<int>(static_cast<int8_t>(value[0])), out);
}

// Exact from the integer: a float would lose cents above 2^53 hundredths.
bool outputMoney(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < 8)
        return false;
    const int64_t cents = loadLE<int64_t>(value);
    // The magnitude in unsigned arithmetic, so that INT64_MIN has one too.
    const uint64_t magnitude = cents < 0 ? 0 - static_cast<uint64_t>(cents) : cents;
    char* at = out.ensure(kInt64TextMax + 4);
    char* p = at;
    if (cents < 0)
        *p++ = '-';
    p = std::to_chars(p, at + kInt64TextMax + 4, magnitude / 100).ptr;
    *p++ = '.';
    p = digits::put2(p, static_cast<uint32_t>(magnitude % 100));
    out.advanceTo(p);
    return true;
}

}  // namespace vorn
