#pragma once

// The header of a stored numeric (little-endian, varlena header removed), read once for the
// text output and the COPY binary encoder:
//
//   short form (bit 15 set, bit 14 clear), uint16 header:
//     bit 13 sign (1 negative), bits 7-12 display scale, bit 6 weight sign, bits 0-5 weight
//     (7-bit two's complement); digits from byte 2
//   special values (bits 15 and 14 set), uint16 header: 0xC000 NaN, 0xD000 +Infinity,
//     0xF000 -Infinity (from 14; NaN only before); their display scale and weight come from
//     the short form's bits, as the server reads them
//   long form (bit 15 clear), uint16 sign and display scale, int16 weight:
//     bits 14-15 sign (0x0000 +, 0x4000 -), bits 0-13 display scale; digits from byte 4
//   digits: int16 base-10000 groups (0..9999), most significant first; the first is worth
//     10000^weight

#include <cstdint>

#include "storage/byte_reader.h"

namespace vorn {

namespace numeric {

constexpr uint16_t kSignMask = 0xC000;
constexpr uint16_t kShort = 0x8000;
constexpr uint16_t kSpecial = 0xC000;
constexpr uint16_t kPositive = 0x0000, kNegative = 0x4000;
constexpr uint16_t kNaN = 0xC000, kPlusInfinity = 0xD000, kMinusInfinity = 0xF000;
constexpr uint16_t kSpecialSignMask = 0xF000;
constexpr uint16_t kShortNegative = 0x2000;
constexpr uint16_t kShortScaleMask = 0x1F80;
constexpr int kShortScaleShift = 7;
constexpr uint16_t kShortWeightSign = 0x0040;
constexpr uint16_t kShortWeightMask = 0x003F;
constexpr uint16_t kLongScaleMask = 0x3FFF;
constexpr uint32_t kShortHeaderSize = 2;
constexpr uint32_t kLongHeaderSize = 2 + 2;

}  // namespace numeric

struct NumericHeader {
    uint16_t header = 0;  // the first uint16 as stored
    // The server's sign word: numeric::kPositive or kNegative, or for a special value the
    // header's top four bits (kNaN, kPlusInfinity or kMinusInfinity).
    uint16_t sign = 0;
    uint16_t dscale = 0;
    int16_t weight = 0;
    uint32_t digitsAt = 0;  // offset of the first digit group
    uint32_t ndigits = 0;   // digit groups after the header
};

// True for the header of NaN, +Infinity or -Infinity (and of damaged ones: bits 15 and 14
// set, whatever the rest).
inline bool isNumericSpecial(uint16_t header) {
    return (header & numeric::kSignMask) == numeric::kSpecial;
}

// Reads the header of a stored numeric of `length` bytes at `value` into `out`; the digits
// are not looked at. False when the bytes cannot be one: shorter than their header, a special
// header with another sign, or an odd number of bytes after the header (half a digit group).
inline bool parseNumericHeader(const uint8_t* value, uint32_t length, NumericHeader& out) {
    using namespace numeric;
    if (length < kShortHeaderSize)
        return false;
    const uint16_t header = loadLE<uint16_t>(value);
    out.header = header;
    if (header & kShort) {
        if (isNumericSpecial(header)) {
            out.sign = header & kSpecialSignMask;
            if (out.sign != kNaN && out.sign != kPlusInfinity && out.sign != kMinusInfinity)
                return false;
        } else {
            out.sign = (header & kShortNegative) ? kNegative : kPositive;
        }
        out.dscale = (header & kShortScaleMask) >> kShortScaleShift;
        out.weight =
            static_cast<int16_t>((header & kShortWeightSign) ? int(header & kShortWeightMask) - 64
                                                             : int(header & kShortWeightMask));
        out.digitsAt = kShortHeaderSize;
    } else {
        if (length < kLongHeaderSize)
            return false;
        out.sign = header & kSignMask;
        out.dscale = header & kLongScaleMask;
        out.weight = loadLE<int16_t>(value + 2);
        out.digitsAt = kLongHeaderSize;
    }
    const uint32_t digitBytes = length - out.digitsAt;
    if (digitBytes % 2 != 0)
        return false;
    out.ndigits = digitBytes / 2;
    return true;
}

}  // namespace vorn
