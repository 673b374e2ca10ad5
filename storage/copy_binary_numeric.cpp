// numeric in its send form, from the stored value (its header read as numeric_header.h
// describes).
//
// Send form (numeric_send), all big-endian: int16 ndigits, int16 weight, uint16 sign,
// int16 dscale, then the digits as int16. numeric_recv refuses a digit outside 0..9999 and
// any sign but the five there (+, -, NaN, +Infinity, -Infinity), so such bytes go out as
// NULL instead.

#include <cstdint>

#include "storage/byte_reader.h"
#include "storage/copy_binary_encode.h"
#include "storage/numeric_header.h"

namespace vorn {

namespace {

constexpr uint16_t kMaxDigit = 9999;
constexpr uint32_t kFixedPart = 2 + 2 + 2 + 2;  // ndigits, weight, sign, dscale

}  // namespace

size_t encodeNumericField(const uint8_t* value, uint32_t length, uint8_t* p) {
    // The special values send the display scale and weight of their header bits
    // (+Infinity and -Infinity a display scale of 32, as the server does). More groups than
    // the int16 count can say is no stored numeric either.
    NumericHeader h;
    if (!parseNumericHeader(value, length, h) || h.ndigits > UINT16_MAX)
        return 0;
    const uint32_t ndigits = h.ndigits;
    const size_t bodySize = kFixedPart + 2 * size_t(ndigits);
    storeBE32(p, static_cast<uint32_t>(bodySize));
    storeBE16(p + 4, static_cast<uint16_t>(ndigits));
    storeBE16(p + 6, static_cast<uint16_t>(h.weight));
    storeBE16(p + 8, h.sign);
    storeBE16(p + 10, h.dscale);
    uint8_t* digits = p + 12;
    const uint8_t* stored = value + h.digitsAt;
    uint16_t worst = 0;
    for (uint32_t i = 0; i < ndigits; ++i) {
        const uint16_t digit = loadLE<uint16_t>(stored + 2 * i);
        worst = digit > worst ? digit : worst;
        storeBE16(digits + 2 * i, digit);
    }
    return worst > kMaxDigit ? 0 : 4 + bodySize;
}

bool encodeBinaryNumeric(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    const size_t n = encodeNumericField(value, length, out.ensure(numericFieldBound(length)));
    if (n == 0)
        return false;
    out.advance(n);
    return true;
}

}  // namespace vorn
