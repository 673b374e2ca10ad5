#include "storage/tuple_decoder.h"

#include <algorithm>
#include <cstring>

#include "storage/byte_reader.h"

namespace vorn {

namespace {

// Varlena first bytes (little-endian): 0x01 an external TOAST pointer with its tag in the
// next byte; any other odd byte a 1-byte header holding the total size (header included) in
// its upper 7 bits; an even byte the first of a 4-byte header whose low two bits are 00
// (plain) or 10 (compressed) and whose upper 30 bits hold the total size.
constexpr uint8_t kExternalHeader = 0x01;
constexpr uint32_t kShortHeaderSize = 1;
constexpr uint32_t kLongHeaderSize = 4;

// Size of an external pointer by its tag: indirect (1) and expanded (2, 3) pointers are 2
// bytes of header plus a memory pointer, on-disk (18) pointers 2 plus 16 bytes of
// va_rawsize, va_extinfo, va_valueid and va_toastrelid.
uint32_t externalPointerSize(uint8_t tag) {
    switch (tag) {
        case 1:
        case 2:
        case 3:
            return 2 + 8;
        case 18:
            return 2 + 16;
        default:
            return 0;
    }
}

// Bytes the varlena at `p` occupies (fill included), without reading its value: how dropped
// columns are stepped over, so that their old values are neither decompressed nor fetched.
// 0 when it does not fit in `left` bytes.
uint32_t varlenaStep(const uint8_t* p, uint32_t left, bool skipZeroFill) {
    uint32_t fill = 0;
    if (skipZeroFill) {
        // A zero byte starts a 4-byte header only when the size it gives is plausible.
        while (fill < left && p[fill] == 0) {
            if (left - fill >= kLongHeaderSize) {
                const uint32_t total = loadLE<uint32_t>(p + fill) >> 2;
                if (total != 0 && total <= left - fill)
                    break;
            }
            ++fill;
        }
    }
    if (fill >= left)
        return 0;
    const uint8_t* v = p + fill;
    const uint32_t room = left - fill;
    uint32_t total = 0;
    if (v[0] == kExternalHeader)
        total = room >= 2 ? externalPointerSize(v[1]) : 0;
    else if (v[0] & 1)
        total = v[0] >> 1;
    else if (room >= kLongHeaderSize)
        total = loadLE<uint32_t>(v) >> 2;
    if (total == 0 || total > room || (!(v[0] & 1) && total < kLongHeaderSize))
        return 0;
    return fill + total;
}

bool isNull(const uint8_t* bitmap, uint32_t attribute) {
    return bitmap != nullptr && !(bitmap[attribute >> 3] & (1u << (attribute & 7)));
}

}  // namespace

TupleDecoder::TupleDecoder(const ColumnLayout& columns, PageFamily family, ToastFetcher* toast)
    : plans_(planColumns(columns, family)), family_(family), values_(toast) {}

bool TupleDecoder::decode(const TupleView& tuple, uint32_t firstColumn, uint32_t row,
                          DamageNotes& notes) {
    const uint32_t columns = static_cast<uint32_t>(plans_.size());
    const uint32_t stored =
        firstColumn < columns ? std::min(tuple.natts, columns - firstColumn) : 0;
    const uint8_t* const base = tuple.start;
    const uint32_t end = tuple.length;
    uint32_t pos = tuple.dataOffset;

    for (uint32_t a = 0; a < stored; ++a) {
        ColumnPlan& plan = plans_[firstColumn + a];
        if (isNull(tuple.nullBitmap, a)) {
            plan.setNull(row);
            continue;
        }
        switch (plan.kind) {
            case AttrKind::kFixed: {
                pos = alignUp(pos, plan.alignMask);
                if (pos > end || plan.width > end - pos) {
                    notes.rejectTuple(tuple.item,
                                      "attribute %d: %u bytes at offset %u pass the tuple end %u",
                                      plan.attnum, plan.width, pos, end);
                    return false;
                }
                if (plan.fixedInSlot()) {
                    plan.storeFixedInSlot(row, base + pos);
                } else if (!plan.store(row, base + pos, plan.width)) {
                    notes.valueUnreadable();
                    plan.setNull(row);
                }
                pos += plan.width;
                break;
            }
            case AttrKind::kVarlena:
                if (!readVarlena(plan, tuple, pos, row, notes))
                    return false;
                break;
            case AttrKind::kCString: {
                pos = alignUp(pos, plan.alignMask);
                const void* nul = pos < end ? std::memchr(base + pos, 0, end - pos) : nullptr;
                if (nul == nullptr) {
                    notes.rejectTuple(tuple.item,
                                      "attribute %d: string at offset %u has no end before %u",
                                      plan.attnum, pos, end);
                    return false;
                }
                const auto n =
                    static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - (base + pos));
                if (!plan.store(row, base + pos, n)) {
                    notes.valueUnreadable();
                    plan.setNull(row);
                }
                pos += n + 1;
                break;
            }
            case AttrKind::kUnknown:
                // The layout gives no width: this value and every one after it cannot be
                // located. The row keeps what came before, the rest is NULL and counted.
                for (uint32_t b = a; b < stored; ++b) {
                    ColumnPlan& lost = plans_[firstColumn + b];
                    if (!isNull(tuple.nullBitmap, b) && lost.sink != AttrSink::kNone)
                        notes.valueUnreadable();
                    lost.setNull(row);
                }
                a = stored;
                break;
        }
    }
    if (firstColumn + stored < columns)
        fillTrailing(firstColumn + stored, row, notes);
    return true;
}

bool TupleDecoder::readVarlena(ColumnPlan& plan, const TupleView& tuple, uint32_t& pos,
                               uint32_t row, DamageNotes& notes) {
    const uint8_t* const base = tuple.start;
    const uint32_t end = tuple.length;
    const bool heap = family_ == PageFamily::kHeap;
    // On heap pages a varlena is aligned only when the byte where it would start unaligned
    // is zero: a nonzero byte is a 1-byte header or a TOAST pointer, which PostgreSQL never
    // aligns. U pages leave the zero fill to the value reader.
    if (heap && pos < end && base[pos] == 0)
        pos = alignUp(pos, plan.alignMask);
    if (pos >= end) {
        notes.rejectTuple(tuple.item, "attribute %d: no bytes left at offset %u of %u", plan.attnum,
                          pos, end);
        return false;
    }
    const uint8_t* const v = base + pos;
    const uint32_t left = end - pos;

    if (plan.sink == AttrSink::kNone) {
        const uint32_t size = varlenaStep(v, left, !heap);
        if (size == 0) {
            notes.rejectTuple(tuple.item,
                              "attribute %d: varlena at offset %u passes the tuple end %u",
                              plan.attnum, pos, end);
            return false;
        }
        plan.setNull(row);
        pos += size;
        return true;
    }

    // The forms nearly every value has on disk, read in place: a 1-byte header, or a plain
    // 4-byte header.
    uint32_t total = 0, header = 0;
    if ((v[0] & 1) && v[0] != kExternalHeader) {
        total = v[0] >> 1;
        header = kShortHeaderSize;
    } else if ((v[0] & 3) == 0 && left >= kLongHeaderSize) {
        total = loadLE<uint32_t>(v) >> 2;
        header = kLongHeaderSize;
    }
    if (header != 0 && total >= header && total <= left) {
        if (!plan.store(row, v + header, total - header)) {
            notes.valueUnreadable();
            plan.setNull(row);
        }
        pos += total;
        return true;
    }

    // Compressed, external, or damaged: the value reader decides.
    std::string& out = plan.sink == AttrSink::kString ? plan.values[row] : scratch_;
    const VarlenaRead read = values_.readVarlena(v, left, !heap, out);
    if (read.status == ValueStatus::kTruncated || read.consumed == 0 || read.consumed > left) {
        notes.rejectTuple(tuple.item, "attribute %d: varlena at offset %u passes the tuple end %u",
                          plan.attnum, pos, end);
        return false;
    }
    pos += read.consumed;
    switch (read.status) {
        case ValueStatus::kOk:
            if (plan.sink == AttrSink::kString) {
                plan.nulls[row] = 0;
                plan.lengths[row] = static_cast<int32_t>(out.size());
            } else if (!plan.store(row, reinterpret_cast<const uint8_t*>(out.data()),
                                   static_cast<uint32_t>(out.size()))) {
                notes.valueUnreadable();
                plan.setNull(row);
            }
            return true;
        case ValueStatus::kToastMissing:
        case ValueStatus::kNoToast:
            notes.toastValueMissing();
            break;
        default:
            notes.valueUnreadable();
            break;
    }
    plan.setNull(row);
    return true;
}

void TupleDecoder::fillTrailing(uint32_t fromColumn, uint32_t row, DamageNotes& notes) {
    for (uint32_t i = fromColumn; i < plans_.size(); ++i) {
        ColumnPlan& plan = plans_[i];
        if (!plan.hasMissing) {
            plan.setNull(row);
            continue;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(plan.missingValue.data());
        if (!plan.store(row, bytes, static_cast<uint32_t>(plan.missingValue.size()))) {
            notes.valueUnreadable();
            plan.setNull(row);
        }
    }
}

}  // namespace vorn
