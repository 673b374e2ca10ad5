// numeric in its send form, from the stored value (varlena header removed, little-endian):
//
//   short form (header bit 15 set, bit 14 clear), 2-byte header:
//     bit 13 sign (1 negative), bits 7-12 display scale, bit 6 weight sign, bits 0-5 weight
//     (7-bit two's complement); digits from byte 2
//   special values, 2-byte header: 0xC000 NaN, 0xD000 +Infinity, 0xF000 -Infinity (from 14;
//     NaN only before), no digits; read through the short-form fields like the server does
//   long form (bit 15 clear), 4-byte header:
//     bits 14-15 sign (0x0000 +, 0x4000 -), bits 0-13 display scale, then int16 weight;
//     digits from byte 4
//   digits: uint16 base-10000 groups, most significant first
//
// Send form (numeric_send), all big-endian: int16 ndigits, int16 weight, uint16 sign,
// int16 dscale, then the digits as int16. numeric_recv refuses a digit outside 0..9999 and
// any sign but the five above, so such bytes go out as NULL instead.

#include <cstdint>

#include "storage/byte_reader.h"
#include "storage/copy_binary_encode.h"

namespace vorn {

namespace {

constexpr uint16_t kSignMask = 0xC000;
constexpr uint16_t kShort = 0x8000;
constexpr uint16_t kSpecial = 0xC000;
constexpr uint16_t kNegative = 0x4000;
constexpr uint16_t kNaN = 0xC000, kPlusInfinity = 0xD000, kMinusInfinity = 0xF000;
constexpr uint16_t kShortSign = 0x2000;
constexpr uint16_t kShortScaleMask = 0x1F80;
constexpr int kShortScaleShift = 7;
constexpr uint16_t kShortWeightSign = 0x0040;
constexpr uint16_t kShortWeightMask = 0x003F;
constexpr uint16_t kLongScaleMask = 0x3FFF;
constexpr uint16_t kMaxDigit = 9999;
constexpr uint32_t kFixedPart = 2 + 2 + 2 + 2;  // ndigits, weight, sign, dscale

}  // namespace

void encodeBinaryNumeric(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length < 2)
        return out.appendNull();
    const uint16_t header = loadLE<uint16_t>(value);
    uint16_t sign = 0, dscale = 0;
    uint16_t weight = 0;
    uint32_t digitsAt = 0;
    if (header & kShort) {
        // The short header, which the special values share: their weight and display scale
        // come from the same bits as a short value's (+Infinity and -Infinity send a display
        // scale of 32, as the server does).
        if ((header & kSignMask) == kSpecial) {
            sign = header & 0xF000;
            if (sign != kNaN && sign != kPlusInfinity && sign != kMinusInfinity)
                return out.appendNull();
        } else {
            sign = (header & kShortSign) ? kNegative : 0;
        }
        dscale = (header & kShortScaleMask) >> kShortScaleShift;
        weight = (header & kShortWeightSign) ? static_cast<uint16_t>(~kShortWeightMask) : 0;
        weight |= header & kShortWeightMask;
        digitsAt = 2;
    } else {
        if (length < 4)
            return out.appendNull();
        sign = header & kSignMask;
        dscale = header & kLongScaleMask;
        weight = loadLE<uint16_t>(value + 2);
        digitsAt = 4;
    }
    const uint32_t digitBytes = length - digitsAt;
    const uint32_t ndigits = digitBytes / 2;
    // An odd byte count or more groups than the int16 count can say is no stored numeric.
    if (digitBytes % 2 != 0 || ndigits > UINT16_MAX)
        return out.appendNull();

    const size_t start = out.size();
    const size_t bodySize = kFixedPart + 2 * size_t(ndigits);
    uint8_t* p = out.ensure(4 + bodySize);
    storeBE32(p, static_cast<uint32_t>(bodySize));
    storeBE16(p + 4, static_cast<uint16_t>(ndigits));
    storeBE16(p + 6, weight);
    storeBE16(p + 8, sign);
    storeBE16(p + 10, dscale);
    uint8_t* digits = p + 12;
    const uint8_t* stored = value + digitsAt;
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
