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

// How a value is stored, decided by bindPlans from the kind, the width and the sink: the
// decoder's one switch per attribute goes over these, and the common widths are copied with
// sizes known at compile time.
enum class StoreOp : uint8_t {
    kFixed1,  // a fixed width of 1, 2, 4 or 8 bytes into a slot that holds it
    kFixed2,
    kFixed4,
    kFixed8,
    kFixedN,         // any other fixed width into a slot that holds it
    kFixedOther,     // a fixed width the slot cannot hold, or a by-reference or dropped column
    kVarlenaString,  // a varlena into the row's string
    kVarlenaSlot,    // a varlena into the column's slot
    kVarlenaSkip,    // a dropped varlena column: stepped over unread
    kCString,
    kUnknown,
};

// Copies `n` bytes that do not overlap: up to 32 bytes with a pair of (overlapping) moves of
// a constant size, without a call.
inline void copyBytes(uint8_t* dst, const uint8_t* src, uint32_t n) {
    if (n > 32) {
        std::memcpy(dst, src, n);
    } else if (n >= 16) {
        std::memcpy(dst, src, 16);
        std::memcpy(dst + n - 16, src + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// A string set to `n` bytes: the capacity a row's string has kept from earlier batches is
// reused, and a value as long as the last one is copied without a call into the library.
inline void assignBytes(std::string& s, const uint8_t* src, uint32_t n) {
    if (s.size() != n)
        s.resize(n);
    copyBytes(reinterpret_cast<uint8_t*>(s.data()), src, n);
}

struct ColumnPlan {
    // What the per-tuple loop reads, together at the front.
    StoreOp op = StoreOp::kUnknown;  // set by bindPlans
    uint8_t alignMask = 0;           // alignment - 1, counted from the tuple start
    AttrKind kind = AttrKind::kUnknown;
    AttrSink sink = AttrSink::kNone;  // bound to a batch by bindPlans, as what follows
    uint32_t width = 0;               // kFixed only
    uint32_t stride = 0;
    uint8_t* data = nullptr;
    int32_t* lengths = nullptr;
    uint8_t* nulls = nullptr;
    std::string* values = nullptr;

    bool dropped = false;
    int16_t attnum = 0;
    bool hasMissing = false;
    std::string missingValue;  // stored form, for rows written before the column existed

    // A fixed width of N bytes into a slot known to hold it.
    // The stores below take the row arrays before writing: a byte store may alias the plan,
    // and would make the compiler load them again after each write.
    template <uint32_t N>
    void storeFixed(uint32_t row, const uint8_t* src) {
        uint8_t* const slot = data + size_t(row) * stride;
        uint8_t* const isNull = nulls;
        int32_t* const length = lengths;
        std::memcpy(slot, src, N);
        isNull[row] = 0;
        length[row] = static_cast<int32_t>(N);
    }
    void storeString(uint32_t row, const uint8_t* src, uint32_t n) {
        uint8_t* const isNull = nulls;
        int32_t* const length = lengths;
        assignBytes(values[row], src, n);
        isNull[row] = 0;
        length[row] = static_cast<int32_t>(n);
    }
    // False (nothing stored) when the bytes do not fit the slot.
    bool storeSlot(uint32_t row, const uint8_t* src, uint32_t n) {
        if (n > stride)
            return false;
        uint8_t* const slot = data + size_t(row) * stride;
        uint8_t* const isNull = nulls;
        int32_t* const length = lengths;
        copyBytes(slot, src, n);
        isNull[row] = 0;
        length[row] = static_cast<int32_t>(n);
        return true;
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
                storeString(row, src, n);
                return true;
            case AttrSink::kSlot:
                return storeSlot(row, src, n);
            case AttrSink::kNone:
                setNull(row);
                return true;
        }
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
