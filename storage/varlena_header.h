#pragma once

// The header of a varlena, a variable-length attribute, as PostgreSQL stores it in a tuple
// (little-endian, as written on x86-64). The low bits of the first byte tell the form:
//
//   first byte       form                          header   total size, header included
//   0x01             external TOAST pointer        2        by the tag in byte 1, below
//   odd, not 0x01    1-byte header                 1        byte >> 1 (1 .. 127)
//   even, & 3 == 0   4-byte header, plain          4        uint32 >> 2
//   even, & 3 == 2   4-byte header, compressed     4        uint32 >> 2
//
//   1-byte header     +-------------------+-----------------------------------------+
//                     | total << 1 | 1    | value                                   |
//                     +-------------------+-----------------------------------------+
//   4-byte header     +-------------------------------------+-----------------------+
//                     | total << 2 | 00 (plain) 10 (compr.) | value or, compressed, |
//                     +-------------------------------------+ tcinfo and stream     |
//   external pointer  +------+-----+----------------------------------------------+
//                     | 0x01 | tag | tag 18 (on disk): 16 bytes; 1, 2, 3: 8 bytes  |
//                     +------+-----+----------------------------------------------+
//
// 0x01 is the one odd byte that is no 1-byte header: a 1-byte header of total 0 cannot be.
// The 4 bytes of tcinfo after a compressed header are part of the value as far as the
// header goes (the value reader checks that they are there); the fields of an external
// pointer are read by ValueBuffer::fetchExternal. Tags 1, 2 and 3 (indirect and expanded
// values) point into a backend's memory: their size is known, their bytes say nothing on
// disk.
//
// Nothing here reads past `left` bytes, however the bytes claim otherwise. The hot path of
// the tuple decoder inlines readVarlenaHeader and keeps only the two forms it reads in place.

#include <cstdint>

#include "storage/byte_reader.h"

namespace vorn {

enum class VarlenaForm : uint8_t { kShort, kPlain, kCompressed, kExternal };

enum class VarlenaCheck : uint8_t {
    kOk,
    kCut,          // the header itself passes the end (the tag byte, the 4-byte word)
    kUnknownTag,   // an external pointer whose tag gives no size
    kBelowHeader,  // a total smaller than the header it is in
    kPastEnd,      // a total past the end
};

struct VarlenaHeader {
    VarlenaForm form = VarlenaForm::kShort;
    VarlenaCheck check = VarlenaCheck::kCut;
    uint8_t headerSize = 0;  // bytes before the value: 1, 4, or 2 (0x01 and the tag)
    uint8_t tag = 0;         // of an external pointer
    uint32_t total = 0;      // as the header gives it (0 where kCut or kUnknownTag)

    bool ok() const { return check == VarlenaCheck::kOk; }
    // The two forms whose value bytes follow the header as they are.
    bool inPlace() const {
        return ok() && (form == VarlenaForm::kShort || form == VarlenaForm::kPlain);
    }
    uint32_t valueSize() const { return total - headerSize; }
};

namespace varlena {
constexpr uint8_t kExternalByte = 0x01;
constexpr uint8_t kShortHeaderSize = 1;
constexpr uint8_t kLongHeaderSize = 4;
constexpr uint8_t kExternalHeaderSize = 1 + 1;  // 0x01, tag
constexpr uint8_t kTagOnDisk = 18;
// va_rawsize, va_extinfo, va_valueid and va_toastrelid, 4 bytes each.
constexpr uint32_t kOnDiskPointerSize = kExternalHeaderSize + 4 * 4;
// A pointer into memory.
constexpr uint32_t kMemoryPointerSize = kExternalHeaderSize + 8;

// The size of an external pointer by its tag, header included; 0 for a tag without one.
inline uint32_t externalPointerSize(uint8_t tag) {
    if (tag == kTagOnDisk)
        return kOnDiskPointerSize;
    return tag >= 1 && tag <= 3 ? kMemoryPointerSize : 0;
}
}  // namespace varlena

// The header of the varlena at `p`, of which `left` bytes are there.
inline VarlenaHeader readVarlenaHeader(const uint8_t* p, uint32_t left) {
    VarlenaHeader h;
    if (left == 0)
        return h;
    const uint8_t first = p[0];
    uint32_t header = 0;
    if (first == varlena::kExternalByte) {
        h.form = VarlenaForm::kExternal;
        h.headerSize = varlena::kExternalHeaderSize;
        if (left < varlena::kExternalHeaderSize)
            return h;
        h.tag = p[1];
        h.total = varlena::externalPointerSize(h.tag);
        if (h.total == 0) {
            h.check = VarlenaCheck::kUnknownTag;
            return h;
        }
        header = varlena::kExternalHeaderSize;
    } else if (first & 1) {
        h.form = VarlenaForm::kShort;
        h.headerSize = varlena::kShortHeaderSize;
        h.total = first >> 1;
        header = varlena::kShortHeaderSize;
    } else {
        h.form = (first & 3) == 0 ? VarlenaForm::kPlain : VarlenaForm::kCompressed;
        h.headerSize = varlena::kLongHeaderSize;
        if (left < varlena::kLongHeaderSize)
            return h;
        h.total = loadLE<uint32_t>(p) >> 2;
        header = varlena::kLongHeaderSize;
    }
    if (h.total < header)
        h.check = VarlenaCheck::kBelowHeader;
    else if (h.total > left)
        h.check = VarlenaCheck::kPastEnd;
    else
        h.check = VarlenaCheck::kOk;
    return h;
}

// Zero bytes in front of a varlena on a U page, which aligns nothing by attalign: a zero byte
// is fill unless it starts a 4-byte header whose total is plausible (not 0, not past the end).
// The fill's length; `left` when every byte is fill.
inline uint32_t varlenaZeroFill(const uint8_t* p, uint32_t left) {
    uint32_t fill = 0;
    while (fill < left && p[fill] == 0) {
        const VarlenaHeader h = readVarlenaHeader(p + fill, left - fill);
        if (h.check != VarlenaCheck::kCut && h.total != 0 && h.total <= left - fill)
            break;
        ++fill;
    }
    return fill;
}

}  // namespace vorn
