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

void encodeBinaryNumeric(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    // The special values send the display scale and weight of their header bits
    // (+Infinity and -Infinity a display scale of 32, as the server does). More groups than
    // the int16 count can say is no stored numeric either.
    NumericHeader h;
    if (!parseNumericHeader(value, length, h) || h.ndigits > UINT16_MAX)
        return out.appendNull();
    const uint32_t ndigits = h.ndigits;

    const size_t start = out.size();
    const size_t bodySize = kFixedPart + 2 * size_t(ndigits);
    uint8_t* p = out.ensure(4 + bodySize);
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
    out.advance(4 + bodySize);
    if (worst > kMaxDigit) {
        out.truncate(start);
        out.appendNull();
    }
}

}  // namespace vorn
