#pragma once

// Line pointers, shared by heap pages and U pages: one little-endian uint32 per item,
//
//   bits  0-14  lp_off    byte offset of the item from the page start
//   bits 15-16  lp_flags  0 unused, 1 normal, 2 redirect, 3 dead
//   bits 17-31  lp_len    byte length of the item
//
// in an array from the end of the page header up to pd_lower (lower on U pages).

#include <cstdint>
#include <cstring>
#include <vector>

#include "storage/page_damage.h"

namespace vorn {

constexpr uint32_t kLinePointerSize = 4;
constexpr uint32_t kLpNormal = 1;

// A never-written page: PostgreSQL extends relations with zeroed blocks, which are no damage.
inline bool isAllZeroPage(const uint8_t* page, uint32_t size) {
    return page[0] == 0 && std::memcmp(page, page + 1, size - 1) == 0;
}

// Copies the line pointers between `header` and `lower` (both already checked to lie inside
// the page, header <= lower); returns their number.
inline uint32_t copyLinePointers(const uint8_t* page, uint32_t header, uint32_t lower,
                                 std::vector<uint32_t>& items) {
    const uint32_t count = (lower - header) / kLinePointerSize;
    items.resize(count);
    if (count > 0)
        std::memcpy(items.data(), page + header, size_t(count) * kLinePointerSize);
    return count;
}

struct PageItem {
    const uint8_t* start = nullptr;
    uint32_t offset = 0;
    uint32_t length = 0;
};

// The item behind line pointer `raw` (number `item`, from 1) when it is a normal one of at
// least `minLength` bytes lying between the header and the end of the page; damage is
// noted. Unused, redirect and dead pointers are no tuples and are skipped silently.
inline bool locateItem(const uint8_t* page, uint32_t blockSize, uint32_t header, uint32_t raw,
                       uint32_t item, uint32_t minLength, DamageNotes& notes, PageItem& out) {
    const uint32_t offset = raw & 0x7FFF;
    const uint32_t flags = (raw >> 15) & 0x3;
    const uint32_t length = raw >> 17;
    if (flags != kLpNormal)
        return false;
    if (length < minLength) {
        notes.rejectTuple(item, "item length %u shorter than the tuple header %u", length,
                          minLength);
        return false;
    }
    if (offset < header || offset + length > blockSize) {
        notes.rejectTuple(item, "item at offset %u, length %u outside the page", offset, length);
        return false;
    }
    out = PageItem{page + offset, offset, length};
    return true;
}

}  // namespace vorn
