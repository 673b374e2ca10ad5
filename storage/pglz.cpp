// PostgreSQL's pglz decompression.
//
// A pglz stream is a sequence of groups: one control byte, then up to eight items, one per
// control bit, least significant bit first:
//
//   bit 0   a literal: one byte, copied as it is
//   bit 1   a tag: a back-reference into the output produced so far
//
//           byte 0      byte 1       [byte 2]
//           LLLL OOOO   oooo oooo    [extra length]
//           ^^^^ offset high nibble  (bits 4-7 of byte 0 are offset bits 8-11)
//
//           length = (byte 0 & 0x0F) + 3, offset = ((byte 0 & 0xF0) << 4) | byte 1;
//           length 18 means "18 + byte 2", so a match is 3..273 bytes and reaches up to
//           4095 bytes back.
//
// The stream has no end marker: decoding stops when the source or the room in the output is
// used up. A stream that ends early returns the bytes produced (the callers compare them with
// the raw size); one that still has bytes when the output is full is corrupt. A match may
// overlap the bytes it produces (offset < length): that repeats the last `offset` bytes, and
// the copy below keeps exactly those semantics by copying the run, doubling it each time.
//
// Unlike PostgreSQL, which reads a tag's bytes before it checks the source end, every tag is
// checked to lie inside the source before it is read, so a cut or hostile stream never reads
// past its end, never reaches before the start of the output and never writes past rawSize.

#include <cstring>

#include "storage/value_buffer.h"

namespace vorn {

namespace {

constexpr int32_t kTagBytes = 2;
constexpr int32_t kLongTagBytes = 3;
constexpr int32_t kMinMatch = 3;
constexpr int32_t kLongMatchCode = 18;  // (0x0F + 3): the length continues in a third byte

}  // namespace

int32_t pglzDecompress(const uint8_t* source, int32_t sourceLength, uint8_t* dest,
                       int32_t rawSize) {
    if (source == nullptr || dest == nullptr || sourceLength < 0 || rawSize < 0)
        return -1;
    int32_t sp = 0;  // next source byte
    int32_t dp = 0;  // next output byte

    while (sp < sourceLength && dp < rawSize) {
        uint8_t control = source[sp++];
        for (int bit = 0; bit < 8 && sp < sourceLength && dp < rawSize; ++bit, control >>= 1) {
            if ((control & 1) == 0) {
                dest[dp++] = source[sp++];
                continue;
            }
            if (sourceLength - sp < kTagBytes)
                return -1;
            const uint8_t first = source[sp];
            int32_t length = (first & 0x0F) + kMinMatch;
            int32_t offset = ((first & 0xF0) << 4) | source[sp + 1];
            sp += kTagBytes;
            if (length == kLongMatchCode) {
                if (sourceLength - (sp - kTagBytes) < kLongTagBytes)
                    return -1;
                length += source[sp++];
            }
            // Offset 0 would copy a byte onto itself; an offset beyond the bytes produced
            // would read before the output start.
            if (offset == 0 || offset > dp)
                return -1;
            if (length > rawSize - dp)
                length = rawSize - dp;
            // Overlapping match: the run of `offset` bytes is repeated; copying it and then
            // the doubled run keeps each memcpy free of overlap.
            while (offset < length) {
                std::memcpy(dest + dp, dest + dp - offset, offset);
                length -= offset;
                dp += offset;
                offset += offset;
            }
            std::memcpy(dest + dp, dest + dp - offset, length);
            dp += length;
        }
    }
    // Bytes left in the source once the output is full mean the stream or its raw size is
    // damaged; PostgreSQL refuses such a value as well.
    if (sp < sourceLength)
        return -1;
    return dp;
}

}  // namespace vorn
