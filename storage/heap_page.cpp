// Heap pages (layout versions 4 and 6): TableBlock reads their tuples into a ColumnBatch,
// ToastBlock lists the chunks on a page of a TOAST relation.
//
// Page, little-endian:
//
//   0       8         10        12         14         16          18                20        24
//   +-------+---------+---------+----------+----------+-----------+-----------------+---------+
//   | LSN   | checksum| pd_flags| pd_lower | pd_upper | pd_special| pagesize|version| prune xid|
//   +-------+---------+---------+----------+----------+-----------+-----------------+---------+
//   | line pointers, 4 bytes each, up to pd_lower | free space | tuples from pd_upper |
//   | special space from pd_special (none on heap pages: pd_special = block size)        |
//
//   pd_flags 0x0004: every tuple on the page is visible to everyone.
//   pd_pagesize_version: high byte the page size / 256, low byte the layout version.
//   Version 6 pages have a 40-byte header: their line pointers start at byte 40.
//   A page whose pd_upper is 0 is new (never initialised) and must be all zero.
//
// Line pointer (uint32): bits 0-14 lp_off (tuple offset in the page), bits 15-16 lp_flags
// (0 unused, 1 normal, 2 redirect, 3 dead), bits 17-31 lp_len (tuple length).
//
// Tuple, MAXALIGNed in the page:
//
//   0      4       8       12      18           20          22      23
//   +------+-------+-------+-------+------------+-----------+-------+-------------+-----+------
//   | xmin | xmax  | cid   | ctid  | infomask2  | infomask  | t_hoff| null bitmap | oid | data
//   +------+-------+-------+-------+------------+-----------+-------+-------------+-----+------
//
//   infomask2 bits 0-10: attributes stored. The null bitmap (with infomask 0x0001) has a bit
//   per attribute, least significant first, set when the attribute has a value. The oid
//   (infomask 0x0008, before version 12) is the 4 bytes just before t_hoff, and t_hoff is
//   MAXALIGN(23 + bitmap + oid). Attributes follow at t_hoff, each aligned by its attalign.
//
// Without a commit log, visibility is judged from the hint bits alone (see isVisible).

#include <cstring>

#include "storage/byte_reader.h"
#include "storage/chunk_data.h"
#include "storage/line_pointer.h"
#include "storage/page_damage.h"
#include "storage/page_reader.h"
#include "storage/tuple_decoder.h"

namespace vorn {

namespace {

// Page header.
constexpr uint32_t kPdFlags = 8 + 2;
constexpr uint32_t kPdLower = kPdFlags + 2;
constexpr uint32_t kPdUpper = kPdLower + 2;
constexpr uint32_t kPdSpecial = kPdUpper + 2;
constexpr uint32_t kPdPageSizeVersion = kPdSpecial + 2;
constexpr uint32_t kHeaderSizeV4 = kPdPageSizeVersion + 2 + 4;  // 24
constexpr uint32_t kHeaderSizeV6 = 40;
constexpr uint16_t kPdAllVisible = 0x0004;
constexpr uint32_t kPrefetchAhead = 8;  // tuples

// Tuple header.
constexpr uint32_t kTXmin = 0;
constexpr uint32_t kTXmax = 4;
constexpr uint32_t kTInfomask2 = 4 + 4 + 4 + 6;  // 18
constexpr uint32_t kTInfomask = kTInfomask2 + 2;
constexpr uint32_t kTHoff = kTInfomask + 2;
constexpr uint32_t kTupleHeaderSize = kTHoff + 1;  // 23, the null bitmap follows
constexpr uint16_t kNattsMask = 0x07FF;

// t_infomask bits.
constexpr uint16_t kHasNull = 0x0001;
constexpr uint16_t kHasOid = 0x0008;  // HEAP_HASOID before version 12, never set after
constexpr uint16_t kXmaxKeyShareLock = 0x0010;
constexpr uint16_t kXmaxExclusiveLock = 0x0040;
constexpr uint16_t kXmaxLockOnly = 0x0080;
constexpr uint16_t kXminCommitted = 0x0100;
constexpr uint16_t kXminInvalid = 0x0200;
constexpr uint16_t kXminFrozen = kXminCommitted | kXminInvalid;
constexpr uint16_t kXmaxInvalid = 0x0800;
constexpr uint16_t kXmaxIsMulti = 0x1000;

// TOAST chunk tuple: chunk_id oid, chunk_seq int4, chunk_data bytea, each 4-aligned.
constexpr uint32_t kChunkAttributes = 3;
constexpr uint32_t kChunkIdsSize = 4 + 4;

uint32_t headerSize(uint8_t version) {
    return version == 6 ? kHeaderSizeV6 : kHeaderSizeV4;
}

// Checks the header and copies the line pointers; the item count, 0 when the page is new,
// empty or rejected. Each bound protects the next step: pd_lower inside the page keeps the
// line-pointer copy inside it, and the order header <= lower <= upper <= special <= block
// size is what every page PostgreSQL writes satisfies.
uint32_t loadHeapPage(const uint8_t* page, uint32_t blockSize, std::vector<uint32_t>& items,
                      DamageNotes& notes) {
    items.clear();
    const uint32_t upper = loadLE<uint16_t>(page + kPdUpper);
    if (upper == 0) {
        if (!isAllZeroPage(page, blockSize))
            notes.rejectPage("pd_upper 0 on a page that is not all zero");
        return 0;
    }
    const uint16_t sizeVersion = loadLE<uint16_t>(page + kPdPageSizeVersion);
    const uint32_t version = sizeVersion & 0xFF;
    const uint32_t pageSize = sizeVersion & 0xFF00;
    if (version != 4 && version != 6) {
        notes.rejectPage("layout version %u, expected 4 or 6", version);
        return 0;
    }
    if (pageSize != blockSize) {
        notes.rejectPage("page size %u in the header, expected %u", pageSize, blockSize);
        return 0;
    }
    const uint32_t header = headerSize(static_cast<uint8_t>(version));
    const uint32_t lower = loadLE<uint16_t>(page + kPdLower);
    const uint32_t special = loadLE<uint16_t>(page + kPdSpecial);
    if (lower < header) {
        notes.rejectPage("pd_lower %u below the header end %u", lower, header);
        return 0;
    }
    if (lower > upper) {
        notes.rejectPage("pd_lower %u above pd_upper %u", lower, upper);
        return 0;
    }
    if (upper > special) {
        notes.rejectPage("pd_upper %u above pd_special %u", upper, special);
        return 0;
    }
    if (special > blockSize) {
        notes.rejectPage("pd_special %u beyond the block size %u", special, blockSize);
        return 0;
    }
    return copyLinePointers(page, header, lower, items);
}

// Whether a tuple is a live row, from its hint bits and the page's all-visible flag.
bool isVisible(const uint8_t* tuple, bool allVisible) {
    const uint32_t xmin = loadLE<uint32_t>(tuple + kTXmin);
    const uint16_t infomask = loadLE<uint16_t>(tuple + kTInfomask);
    // A speculative insert that was killed (INSERT ... ON CONFLICT) has its xmin set to 0
    // and is no row; only the frozen hint (both xmin bits) would make such a tuple live.
    if (xmin == 0 && (infomask & kXminFrozen) != kXminFrozen)
        return false;
    if (allVisible)
        return true;
    if ((infomask & kXminFrozen) == kXminInvalid)  // inserter aborted
        return false;
    if ((infomask & kXmaxInvalid) || loadLE<uint32_t>(tuple + kTXmax) == 0)
        return true;
    // An xmax that only locks the row (FOR UPDATE, FOR KEY SHARE from foreign-key checks)
    // does not delete it; old servers marked an exclusive lock without the lock-only bit.
    const bool lockOnly =
        (infomask & kXmaxLockOnly) ||
        (infomask & (kXmaxIsMulti | kXmaxExclusiveLock | kXmaxKeyShareLock)) == kXmaxExclusiveLock;
    return lockOnly;
}

// Reads the header fields the attributes depend on and checks that the null bitmap and the
// oid lie before t_hoff and t_hoff inside the item.
inline bool readTupleHeader(const PageItem& heap, uint32_t item, DamageNotes& notes,
                            TupleView& view, bool& hasOid) {
    const uint16_t infomask = loadLE<uint16_t>(heap.start + kTInfomask);
    const uint32_t natts = loadLE<uint16_t>(heap.start + kTInfomask2) & kNattsMask;
    const uint32_t hoff = heap.start[kTHoff];
    const bool hasNulls = infomask & kHasNull;
    hasOid = infomask & kHasOid;
    const uint32_t minimum = kTupleHeaderSize + (hasNulls ? (natts + 7) / 8 : 0) + (hasOid ? 4 : 0);
    if (hoff < minimum) {
        notes.rejectTuple(item, "t_hoff %u below %u (header, null bitmap of %u attributes%s)", hoff,
                          minimum, natts, hasOid ? ", oid" : "");
        return false;
    }
    if (hoff > heap.length) {
        notes.rejectTuple(item, "t_hoff %u beyond the tuple length %u", hoff, heap.length);
        return false;
    }
    view.start = heap.start;
    view.length = heap.length;
    view.dataOffset = hoff;
    view.natts = natts;
    view.nullBitmap = hasNulls ? heap.start + kTupleHeaderSize : nullptr;
    view.item = item;
    return true;
}

bool hasOidColumn(const ColumnLayout& columns) {
    return !columns.empty() && columns[0].attnum == -2 &&
           std::memcmp(columns[0].attname, "oid", 4) == 0;
}

}  // namespace

// ---- TableBlock ------------------------------------------------------------------------------

struct TableBlock::Impl {
    Impl(const ColumnLayout& columns, ToastFetcher* toast)
        : decoder(columns, PageFamily::kHeap, toast), oidColumn(hasOidColumn(columns)) {}

    TupleDecoder decoder;
    bool oidColumn;  // column 0 is the system column oid, taken from the tuple header
    std::vector<uint32_t> items;
};

TableBlock::TableBlock(const ColumnLayout& columns, ToastFetcher* toast)
    : impl_(std::make_unique<Impl>(columns, toast)) {}

TableBlock::~TableBlock() = default;

void TableBlock::loadPage() {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    itemCount_ = loadHeapPage(page_, blockSize_, impl_->items, notes);
}

uint32_t TableBlock::readTuples(ColumnBatch& batch, uint32_t& nextItem) {
    if (nextItem >= itemCount_)
        return 0;
    TupleDecoder& decoder = impl_->decoder;
    decoder.bind(batch);
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    const bool allVisible = loadLE<uint16_t>(page_ + kPdFlags) & kPdAllVisible;
    const uint32_t header = headerSize(pageLayoutVersion(page_));
    const uint32_t firstColumn = impl_->oidColumn ? 1 : 0;

    uint32_t rows = 0;
    const uint32_t* const items = impl_->items.data();
    while (nextItem < itemCount_ && rows < kBatchRows) {
        const uint32_t item = ++nextItem;  // line pointers are numbered from 1
        if (item + kPrefetchAhead <= itemCount_) {
            // The tuples of a freshly read page are not in the cache yet: ask for one a few
            // items ahead while this one is decoded (a hint only; the offset is masked into
            // the page).
            const uint8_t* ahead =
                page_ + (items[item + kPrefetchAhead - 1] & 0x7FFF & (blockSize_ - 1));
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + 64);
        }
        PageItem heap;
        if (!locateItem(page_, blockSize_, header, items[item - 1], item, kTupleHeaderSize, notes,
                        heap))
            continue;
        if (!isVisible(heap.start, allVisible))
            continue;
        TupleView view;
        bool hasOid = false;
        if (!readTupleHeader(heap, item, notes, view, hasOid))
            continue;
        if (impl_->oidColumn) {
            const uint32_t oid = hasOid ? loadLE<uint32_t>(heap.start + view.dataOffset - 4) : 0;
            uint8_t bytes[4];
            std::memcpy(bytes, &oid, sizeof oid);
            ColumnPlan& plan = decoder.plan(0);
            if (!plan.store(rows, bytes, sizeof bytes)) {
                notes.valueUnreadable();
                plan.setNull(rows);
            }
        }
        if (decoder.decode(view, firstColumn, rows, notes)) {
            if (batch.committed)
                batch.committed[rows] =
                    allVisible || (loadLE<uint16_t>(heap.start + kTInfomask) & kXminCommitted);
            ++rows;
        }
    }
    return rows;
}

// ---- ToastBlock ------------------------------------------------------------------------------

ToastBlock::ToastBlock() = default;
ToastBlock::~ToastBlock() = default;

void ToastBlock::loadPage() {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    itemCount_ = loadHeapPage(page_, blockSize_, linePointers_, notes);
}

uint32_t ToastBlock::collectChunks(std::vector<ToastChunkRef>& chunks) {
    chunks.clear();
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    const bool allVisible = itemCount_ > 0 && (loadLE<uint16_t>(page_ + kPdFlags) & kPdAllVisible);
    const uint32_t header = itemCount_ > 0 ? headerSize(pageLayoutVersion(page_)) : 0;
    for (uint32_t item = 1; item <= itemCount_; ++item) {
        PageItem heap;
        if (!locateItem(page_, blockSize_, header, linePointers_[item - 1], item, kTupleHeaderSize,
                        notes, heap))
            continue;
        if (!isVisible(heap.start, allVisible))
            continue;
        TupleView view;
        bool hasOid = false;
        if (!readTupleHeader(heap, item, notes, view, hasOid))
            continue;
        if (view.natts < kChunkAttributes) {
            notes.rejectTuple(item, "chunk tuple with %u attributes, expected %u", view.natts,
                              kChunkAttributes);
            continue;
        }
        if (view.nullBitmap != nullptr && (view.nullBitmap[0] & 0x7) != 0x7) {
            notes.rejectTuple(item, "chunk tuple with a NULL column");
            continue;
        }
        const uint32_t idPos = alignUp(view.dataOffset, 3);
        const auto data =
            idPos + kChunkIdsSize <= heap.length
                ? readChunkData(heap.start, heap.length, alignUp(idPos + kChunkIdsSize, 3))
                : std::nullopt;
        if (!data) {
            notes.rejectTuple(item, "chunk data at offset %u passes the tuple end %u",
                              idPos + kChunkIdsSize, heap.length);
            continue;
        }
        ToastChunkRef chunk;
        chunk.chunkId = loadLE<uint32_t>(heap.start + idPos);
        chunk.chunkSeq = loadLE<int32_t>(heap.start + idPos + 4);
        chunk.lpOff = static_cast<uint16_t>(heap.offset);
        chunk.dataOffset = static_cast<uint16_t>(heap.offset + data->offset);
        chunk.dataLength = static_cast<uint16_t>(data->length);
        chunks.push_back(chunk);
    }
    return static_cast<uint32_t>(chunks.size());
}

}  // namespace vorn
