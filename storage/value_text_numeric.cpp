// numeric, printed as the server's numeric_out does: the integer part, then exactly
// "display scale" digits after the point.
//
// Stored form (little-endian, varlena header removed):
//
//   short:   uint16 header          1 0 s d d d d d d w w w w w w w
//                                   bit 15 set (below 0xC000): s sign (bit 13), d display
//                                   scale (bits 7-12), w weight (bits 0-6, 7-bit two's
//                                   complement)
//            digits from byte 2
//   long:    uint16 sign_dscale     bits 15-14: 00 positive, 01 negative; bits 0-13 scale
//            int16 weight
//            digits from byte 4
//   special: uint16 header only     0xC000 NaN, 0xD000 Infinity, 0xF000 -Infinity
//
// Digits are int16 groups of four decimal digits (0..9999), most significant first; the
// first group is worth 10000^weight. Groups before the first or after the last stored one
// are zero.

#include "storage/byte_reader.h"
#include "storage/value_text.h"
#include "storage/value_text_digits.h"

namespace vorn {

namespace {

constexpr uint16_t kSpecialMask = 0xC000;
constexpr uint16_t kNaN = 0xC000, kPlusInfinity = 0xD000, kMinusInfinity = 0xF000;
constexpr uint16_t kShort = 0x8000;
constexpr uint16_t kShortNegative = 0x2000;
constexpr uint16_t kShortScaleMask = 0x1F80;
constexpr int kShortScaleShift = 7;
constexpr uint16_t kShortWeightSign = 0x0040;
constexpr uint16_t kShortWeightMask = 0x003F;
constexpr uint16_t kLongSignMask = 0xC000;
constexpr uint16_t kLongNegative = 0x4000;
constexpr uint16_t kLongScaleMask = 0x3FFF;
constexpr uint32_t kShortHeaderSize = 2;
constexpr uint32_t kLongHeaderSize = 2 + 2;
constexpr int kGroupDigits = 4;
constexpr int kGroupMax = 9999;

bool appendSpecial(uint16_t header, TextBuffer& out) {
    switch (header) {
        case kNaN:
            out.append("NaN", 3);
            return true;
        case kPlusInfinity:
            out.append("Infinity", 8);
            return true;
        case kMinusInfinity:
            out.append("-Infinity", 9);
            return true;
        default:
            return false;
    }
}

}  // namespace

bool outputNumeric(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < kShortHeaderSize)
        return false;
    const uint16_t header = loadLE<uint16_t>(value);
    if ((header & kSpecialMask) == kSpecialMask)
        return appendSpecial(header, out);

    bool negative;
    int scale, weight;
    uint32_t headerSize;
    if (header & kShort) {
        headerSize = kShortHeaderSize;
        negative = (header & kShortNegative) != 0;
        scale = (header & kShortScaleMask) >> kShortScaleShift;
        weight = (header & kShortWeightSign) ? int(header & kShortWeightMask) - 64
                                             : int(header & kShortWeightMask);
    } else {
        if (length < kLongHeaderSize)
            return false;
        headerSize = kLongHeaderSize;
        negative = (header & kLongSignMask) == kLongNegative;
        scale = header & kLongScaleMask;
        weight = loadLE<int16_t>(value + 2);
    }
    // An odd byte would be half a digit group: the length does not fit the header.
    if ((length - headerSize) % 2 != 0)
        return false;
    const uint8_t* digitBytes = value + headerSize;
    const int groups = static_cast<int>((length - headerSize) / 2);
    for (int g = 0; g < groups; ++g) {
        const int16_t group = loadLE<int16_t>(digitBytes + 2 * g);
        if (group < 0 || group > kGroupMax)
            return false;
    }
    const auto groupAt = [&](int g) -> uint32_t {
        return g >= 0 && g < groups ? uint32_t(loadLE<int16_t>(digitBytes + 2 * g)) : 0;
    };

    // Sign, integer groups (at least one character), point, the scale rounded up to whole
    // groups.
    const size_t integerChars = weight < 0 ? 1 : size_t(weight + 1) * kGroupDigits;
    char* const start = out.ensure(1 + integerChars + 1 + size_t(scale) + kGroupDigits);
    char* p = start;
    if (negative)
        *p++ = '-';
    int g;
    if (weight < 0) {
        g = weight + 1;
        *p++ = '0';
    } else {
        // The first group without leading zeros, the rest in full.
        p += formatUInt32(groupAt(0), p);
        for (g = 1; g <= weight; ++g)
            p = digits::put4(p, groupAt(g));
    }
    if (scale > 0) {
        *p++ = '.';
        char* const end = p + scale;
        for (int written = 0; written < scale; written += kGroupDigits, ++g)
            p = digits::put4(p, groupAt(g));
        p = end;  // the last group cut to the scale
    }
    out.advanceTo(p);
    return true;
}

}  // namespace vorn
