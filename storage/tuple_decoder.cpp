#include "storage/tuple_decoder.h"

#include <algorithm>
#include <cstring>

#include "storage/varlena_header.h"

namespace vorn {

namespace {

// Bytes the varlena at `p` occupies (fill included), without reading its value: how dropped
// columns are stepped over, so that their old values are neither decompressed nor fetched.
// 0 when it does not fit in `left` bytes.
uint32_t varlenaStep(const uint8_t* p, uint32_t left, bool skipZeroFill) {
    const uint32_t fill = skipZeroFill ? varlenaZeroFill(p, left) : 0;
    if (fill >= left)
        return 0;
    const VarlenaHeader header = readVarlenaHeader(p + fill, left - fill);
    return header.ok() ? fill + header.total : 0;
}

bool isNull(const uint8_t* bitmap, uint32_t attribute) {
    return bitmap != nullptr && !(bitmap[attribute >> 3] & (1u << (attribute & 7)));
}

// Where a fixed-width attribute of `width` bytes lies, aligned; false when it passes the
// tuple end.
inline bool placeFixed(uint32_t& pos, uint8_t alignMask, uint32_t width, uint32_t end) {
    pos = alignUp(pos, alignMask);
    return pos <= end && width <= end - pos;
}

[[gnu::cold, gnu::noinline]] bool rejectFixed(const TupleView& tuple, const ColumnPlan& plan,
                                              uint32_t width, uint32_t pos, DamageNotes& notes) {
    notes.rejectTuple(tuple.item, "attribute %d: %u bytes at offset %u pass the tuple end %u",
                      plan.attnum, width, pos, tuple.length);
    return false;
}

// The two forms nearly every varlena has on disk, read in place: a 1-byte header, or a plain
// 4-byte header, whose bytes lie inside the tuple. False for every other form (compressed,
// external, damaged), left to the value reader. On heap pages `pos` is aligned first where
// the byte there is zero, as TupleDecoder::readVarlena would.
template <PageFamily kFamily>
inline bool varlenaInPlace(const uint8_t* base, uint32_t end, uint32_t& pos, uint8_t alignMask,
                           const uint8_t*& bytes, uint32_t& size) {
    if constexpr (kFamily == PageFamily::kHeap) {
        if (pos < end && base[pos] == 0)
            pos = alignUp(pos, alignMask);
    }
    if (pos >= end)
        return false;
    const VarlenaHeader header = readVarlenaHeader(base + pos, end - pos);
    if (!header.inPlace())
        return false;
    bytes = base + pos + header.headerSize;
    size = header.valueSize();
    return true;
}

// A fixed-width value, placed, into its column by the plan's store.
inline void storeFixedValue(ColumnPlan& plan, uint32_t row, const uint8_t* src,
                            DamageNotes& notes) {
    switch (plan.op) {
        case StoreOp::kFixed1:
            plan.storeFixed<1>(row, src);
            return;
        case StoreOp::kFixed2:
            plan.storeFixed<2>(row, src);
            return;
        case StoreOp::kFixed4:
            plan.storeFixed<4>(row, src);
            return;
        case StoreOp::kFixed8:
            plan.storeFixed<8>(row, src);
            return;
        default:
            if (!plan.store(row, src, plan.width)) {
                notes.valueUnreadable();
                plan.setNull(row);
            }
            return;
    }
}

}  // namespace

TupleDecoder::TupleDecoder(const ColumnLayout& columns, PageFamily family, ToastFetcher* toast)
    : plans_(planColumns(columns, family)),
      columnCount_(static_cast<uint32_t>(plans_.size())),
      attributeCount_(static_cast<uint32_t>(std::count_if(
          columns.begin(), columns.end(), [](const ColumnDef& c) { return c.attnum > 0; }))),
      family_(family),
      values_(toast) {}

bool TupleDecoder::decode(const TupleView& tuple, uint32_t firstColumn, uint32_t row,
                          DamageNotes& notes) {
    if (family_ == PageFamily::kHeap) {
        return tuple.nullBitmap == nullptr
                   ? walk<PageFamily::kHeap, false>(tuple, firstColumn, row, notes)
                   : walk<PageFamily::kHeap, true>(tuple, firstColumn, row, notes);
    }
    return tuple.nullBitmap == nullptr ? walk<PageFamily::kU, false>(tuple, firstColumn, row, notes)
                                       : walk<PageFamily::kU, true>(tuple, firstColumn, row, notes);
}

template <PageFamily kFamily, bool kNulls>
bool TupleDecoder::walk(const TupleView& tuple, uint32_t firstColumn, uint32_t row,
                        DamageNotes& notes) {
    const uint32_t columns = columnCount_;
    const uint32_t stored =
        firstColumn < columns ? std::min(tuple.natts, columns - firstColumn) : 0;
    const uint8_t* const base = tuple.start;
    const uint32_t end = tuple.length;
    ColumnPlan* const plans = plans_.data() + (stored > 0 ? firstColumn : 0);
    uint32_t pos = tuple.dataOffset;
    uint32_t a = 0;
    // The slow paths get a copy of the position: its address never escapes the loop.
    const auto readSlow = [&](ColumnPlan& plan) {
        uint32_t at = pos;
        const bool read = readVarlena(plan, tuple, at, row, notes);
        pos = at;
        return read;
    };

    if constexpr (!kNulls) {
        if (stored > 0) {
            if (tuple.dataOffset != prefixHoff_ || firstColumn != prefixFirst_)
                planPrefix(tuple.dataOffset, firstColumn);
            const uint32_t k = std::min(prefixCount_, stored);
            if (k > 0) {
                const uint32_t* const offsets = prefixOffset_.data();
                const uint32_t last = offsets[k - 1] + plans[k - 1].width;
                if (last <= end) {
                    for (; a < k; ++a)
                        storeFixedValue(plans[a], row, base + offsets[a], notes);
                    pos = last;
                }
            }
        }
    }

    for (; a < stored; ++a) {
        ColumnPlan& plan = plans[a];
        if constexpr (kNulls) {
            if (!(tuple.nullBitmap[a >> 3] & (1u << (a & 7)))) {
                plan.setNull(row);
                continue;
            }
        }
        switch (plan.op) {
            case StoreOp::kFixed1:
                if (!placeFixed(pos, plan.alignMask, 1, end))
                    return rejectFixed(tuple, plan, 1, pos, notes);
                plan.storeFixed<1>(row, base + pos);
                pos += 1;
                break;
            case StoreOp::kFixed2:
                if (!placeFixed(pos, plan.alignMask, 2, end))
                    return rejectFixed(tuple, plan, 2, pos, notes);
                plan.storeFixed<2>(row, base + pos);
                pos += 2;
                break;
            case StoreOp::kFixed4:
                if (!placeFixed(pos, plan.alignMask, 4, end))
                    return rejectFixed(tuple, plan, 4, pos, notes);
                plan.storeFixed<4>(row, base + pos);
                pos += 4;
                break;
            case StoreOp::kFixed8:
                if (!placeFixed(pos, plan.alignMask, 8, end))
                    return rejectFixed(tuple, plan, 8, pos, notes);
                plan.storeFixed<8>(row, base + pos);
                pos += 8;
                break;
            case StoreOp::kFixedN:
            case StoreOp::kFixedOther:
                if (!placeFixed(pos, plan.alignMask, plan.width, end))
                    return rejectFixed(tuple, plan, plan.width, pos, notes);
                storeFixedValue(plan, row, base + pos, notes);
                pos += plan.width;
                break;
            case StoreOp::kVarlenaString: {
                const uint8_t* bytes = nullptr;
                uint32_t size = 0;
                if (varlenaInPlace<kFamily>(base, end, pos, plan.alignMask, bytes, size)) {
                    plan.storeString(row, bytes, size);
                    pos = static_cast<uint32_t>(bytes - base) + size;
                } else if (!readSlow(plan)) {
                    return false;
                }
                break;
            }
            case StoreOp::kVarlenaSlot: {
                const uint8_t* bytes = nullptr;
                uint32_t size = 0;
                if (varlenaInPlace<kFamily>(base, end, pos, plan.alignMask, bytes, size)) {
                    if (!plan.storeSlot(row, bytes, size)) {
                        notes.valueUnreadable();
                        plan.setNull(row);
                    }
                    pos = static_cast<uint32_t>(bytes - base) + size;
                } else if (!readSlow(plan)) {
                    return false;
                }
                break;
            }
            case StoreOp::kVarlenaSkip:
                if (!readSlow(plan))
                    return false;
                break;
            case StoreOp::kCString: {
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
            case StoreOp::kUnknown:
                loseRest(firstColumn, a, stored, tuple, row, notes);
                if (firstColumn + stored < columns)
                    fillTrailing(firstColumn + stored, row, notes);
                return true;  // where the attributes end cannot be known
        }
    }
    if (stored == tuple.natts && pos != end) {
        notes.rejectTuple(tuple.item, "%u attributes end at offset %u, the tuple at %u",
                          tuple.natts, pos, end);
        return false;
    }
    if (firstColumn + stored < columns)
        fillTrailing(firstColumn + stored, row, notes);
    return true;
}

// The layout gives attribute `from` no width: it and every one after it cannot be located.
// The row keeps what came before, the rest is NULL and counted.
void TupleDecoder::loseRest(uint32_t firstColumn, uint32_t from, uint32_t stored,
                            const TupleView& tuple, uint32_t row, DamageNotes& notes) {
    for (uint32_t b = from; b < stored; ++b) {
        ColumnPlan& lost = plans_[firstColumn + b];
        if (!isNull(tuple.nullBitmap, b) && lost.sink != AttrSink::kNone)
            notes.valueUnreadable();
        lost.setNull(row);
    }
}

void TupleDecoder::planPrefix(uint32_t dataOffset, uint32_t firstColumn) {
    // No tuple is longer than a page: offsets past that are never reached, nor overflow.
    constexpr uint32_t kLimit = 65536;
    prefixHoff_ = dataOffset;
    prefixFirst_ = firstColumn;
    prefixOffset_.clear();
    prefixCount_ = 0;
    uint32_t pos = std::min(dataOffset, kLimit);
    for (size_t i = firstColumn; i < plans_.size(); ++i) {
        const ColumnPlan& plan = plans_[i];
        if (plan.kind != AttrKind::kFixed)
            break;
        pos = alignUp(pos, plan.alignMask);
        if (pos > kLimit || plan.width > kLimit - pos)
            break;
        prefixOffset_.push_back(pos);
        pos += plan.width;
    }
    prefixCount_ = static_cast<uint32_t>(prefixOffset_.size());
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
    if (const VarlenaHeader header = readVarlenaHeader(v, left); header.inPlace()) {
        if (!plan.store(row, v + header.headerSize, header.valueSize())) {
            notes.valueUnreadable();
            plan.setNull(row);
        }
        pos += header.total;
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
            valueBytes_ += out.size();
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
