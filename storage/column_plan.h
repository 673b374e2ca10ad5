#pragma once

// How each column of a relation is read out of a tuple, decided once when a page reader is
// built: the attribute's kind and width, its alignment, and (per batch) where its rows go.
// The per-tuple loop then only switches over these small enums; no type OID is looked at
// while pages are read.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "storage/column_batch.h"
#include "storage/column_def.h"

namespace vorn {

enum class AttrKind : uint8_t {
    kFixed,    // `width` bytes
    kVarlena,  // 1-byte or 4-byte header, possibly compressed or an external TOAST pointer
    kCString,  // bytes up to and including a NUL
    kUnknown,  // a width the layout does not give: attributes from here on cannot be located
};

enum class AttrSink : uint8_t {
    kSlot,    // the column's fixed slot of the row, at most `stride` bytes
    kString,  // the row's string (by-reference column)
    kNone,    // a dropped column: stepped over, always NULL
};

// Heap pages align attributes as PostgreSQL does; U pages leave them unaligned except
// interval and timetz.
enum class PageFamily : uint8_t { kHeap, kU };

// Constant-size copies for the common widths compile to single moves.
inline void copySmall(uint8_t* dst, const uint8_t* src, uint32_t n) {
    switch (n) {
        case 0:
            return;
        case 1:
            *dst = *src;
            return;
        case 2:
            std::memcpy(dst, src, 2);
            return;
        case 4:
            std::memcpy(dst, src, 4);
            return;
        case 8:
            std::memcpy(dst, src, 8);
            return;
        default:
            std::memcpy(dst, src, n);
    }
}

struct ColumnPlan {
    AttrKind kind = AttrKind::kUnknown;
    uint8_t alignMask = 0;  // alignment - 1, counted from the tuple start
    bool dropped = false;
    int16_t attnum = 0;
    uint32_t width = 0;  // kFixed only
    bool hasMissing = false;
    std::string missingValue;  // stored form, for rows written before the column existed

    // Bound to a batch by bindPlans.
    AttrSink sink = AttrSink::kNone;
    uint32_t stride = 0;
    uint8_t* data = nullptr;
    int32_t* lengths = nullptr;
    uint8_t* nulls = nullptr;
    std::string* values = nullptr;

    // A fixed-width value whose width fits its slot, the common case: one copy, no switch.
    bool fixedInSlot() const { return sink == AttrSink::kSlot && width <= stride; }
    void storeFixedInSlot(uint32_t row, const uint8_t* src) {
        copySmall(data + size_t(row) * stride, src, width);
        nulls[row] = 0;
        lengths[row] = static_cast<int32_t>(width);
    }

    void setNull(uint32_t row) {
        nulls[row] = 1;
        lengths[row] = 0;
    }
    // Stores `n` bytes as the row's value; false (nothing stored) when they do not fit the
    // slot. A dropped column reads NULL whatever its bytes.
    bool store(uint32_t row, const uint8_t* src, uint32_t n) {
        switch (sink) {
            case AttrSink::kString:
                values[row].assign(reinterpret_cast<const char*>(src), n);
                break;
            case AttrSink::kSlot:
                if (n > stride)
                    return false;
                copySmall(data + size_t(row) * stride, src, n);
                break;
            case AttrSink::kNone:
                setNull(row);
                return true;
        }
        nulls[row] = 0;
        lengths[row] = static_cast<int32_t>(n);
        return true;
    }
};

std::vector<ColumnPlan> planColumns(const ColumnLayout& columns, PageFamily family);

// Points each plan at its column of `batch`. Throws BlockExcept when the batch was not built
// for this layout (a program error, not damage).
void bindPlans(std::vector<ColumnPlan>& plans, ColumnBatch& batch);

inline uint32_t alignUp(uint32_t pos, uint8_t mask) {
    return (pos + mask) & ~uint32_t{mask};
}

}  // namespace vorn
