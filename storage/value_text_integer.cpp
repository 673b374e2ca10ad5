// Integer-valued outputs: int2, int4, int8, oid, xid, tinyint and money, and the digit
// formatters the date and time outputs share.

#include <charconv>

#include "storage/byte_reader.h"
#include "storage/value_text.h"
#include "storage/value_text_digits.h"

namespace vorn {

namespace {

constexpr size_t kInt64TextMax = 20;  // "-9223372036854775808"

template <typename T>
bool appendInteger(T value, TextBuffer& out) {
    char* at = out.ensure(kInt64TextMax);
    out.advanceTo(std::to_chars(at, at + kInt64TextMax, value).ptr);
    return true;
}

size_t decimalLength(uint64_t value) {
    size_t n = 1;
    while (value >= 10) {
        value /= 10;
        ++n;
    }
    return n;
}

}  // namespace

size_t formatUInt32(uint32_t value, char* dest) {
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
    return n;
}

char* formatZeroPadded(char* dest, uint64_t value, int width) {
    const size_t n = decimalLength(value);
    for (size_t pad = n; pad < static_cast<size_t>(width < 0 ? 0 : width); ++pad)
        *dest++ = '0';
    char* p = dest + n;
    while (value >= 100) {
        p -= 2;
        digits::put2(p, static_cast<uint32_t>(value % 100));
        value /= 100;
    }
    if (value >= 10)
        digits::put2(p - 2, static_cast<uint32_t>(value));
    else
        p[-1] = static_cast<char>('0' + value);
    return dest + n;
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
