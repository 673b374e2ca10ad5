// numeric, printed as the server's numeric_out does: the integer part, then exactly
// "display scale" digits after the point.
//
// The stored header is read as numeric_header.h describes. Groups before the first or after
// the last stored one are zero.

#include "storage/byte_reader.h"
#include "storage/numeric_header.h"
#include "storage/value_text.h"
#include "storage/value_text_digits.h"

namespace vorn {

namespace {

constexpr int kGroupDigits = 4;
constexpr int kGroupMax = 9999;

bool appendSpecial(uint16_t header, TextBuffer& out) {
    switch (header) {
        case numeric::kNaN:
            out.append("NaN", 3);
            return true;
        case numeric::kPlusInfinity:
            out.append("Infinity", 8);
            return true;
        case numeric::kMinusInfinity:
            out.append("-Infinity", 9);
            return true;
        default:
            return false;
    }
}

}  // namespace

bool outputNumeric(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < numeric::kShortHeaderSize)
        return false;
    // A special value is its header alone: what follows it is not looked at.
    const uint16_t header = loadLE<uint16_t>(value);
    if (isNumericSpecial(header))
        return appendSpecial(header, out);

    NumericHeader h;
    if (!parseNumericHeader(value, length, h))
        return false;
    const bool negative = h.sign == numeric::kNegative;
    const int scale = h.dscale;
    const int weight = h.weight;
    const uint8_t* digitBytes = value + h.digitsAt;
    const int groups = static_cast<int>(h.ndigits);
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
