// U pages (layout versions 7 and 9), written by a PostgreSQL-derived server: UTableBlock
// reads their tuples into a ColumnBatch, UToastBlock lists the chunks on a page of a TOAST
// relation.
//
// Page, little-endian (fields not listed are not interpreted):
//
//   0      12       14       16   18                 20   22           24        56
//   +------+--------+--------+----+------------------+----+------------+---------+-----------
//   |      | lower  | upper  |    | pagesize|version |    | slot count |         | slots ...
//   +------+--------+--------+----+------------------+----+------------+---------+-----------
//   | slots: 16 bytes each | line pointers, 4 bytes each, up to lower | ... | tuples from upper
//
//   The header ends at 56 + 16 x slot count; the line pointers there have the heap layout
//   (lp_off bits 0-14, lp_flags 15-16, lp_len 17-31). There is no special-space field.
//
// Tuple (no alignment of its own):
//
//   0        6        8         10           11
//   +--------+--------+---------+------------+-------------+------
//   |        | flags  | natts   | data offset| null bitmap | data
//   +--------+--------+---------+------------+-------------+------
//
//   flags bit 0: null bitmap present (bit set = value present, least significant first).
//   natts bits 0-10: attributes stored. Fixed-width attributes are unaligned except
//   interval and timetz (8, from the tuple start); varlenas may have zero fill in front.
//
// U pages carry no visibility information this reader interprets: every normal line
// pointer is a row.

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
constexpr uint32_t kLower = 12;
constexpr uint32_t kUpper = kLower + 2;
constexpr uint32_t kPageSizeVersion = kUpper + 2 + 2;      // 18
constexpr uint32_t kSlotCount = kPageSizeVersion + 2 + 2;  // 22
constexpr uint32_t kFixedHeaderSize = 56;
constexpr uint32_t kSlotSize = 16;

// Tuple header.
constexpr uint32_t kTFlags = 6;
constexpr uint32_t kTNatts = kTFlags + 2;
constexpr uint32_t kTDataOffset = kTNatts + 2;
constexpr uint32_t kTupleHeaderSize = kTDataOffset + 1;  // 11, the null bitmap follows
constexpr uint16_t kHasNull = 0x0001;
constexpr uint16_t kNattsMask = 0x07FF;

// TOAST chunk tuple: chunk_id and chunk_seq unaligned at the data offset, then chunk_data,
// whose 4-byte header sits on a 4-byte boundary from the tuple start after zero fill.
constexpr uint32_t kChunkAttributes = 3;
constexpr uint32_t kChunkIdsSize = 4 + 4;

uint32_t headerEnd(const uint8_t* page) {
    return kFixedHeaderSize + kSlotSize * uint32_t{loadLE<uint16_t>(page + kSlotCount)};
}

// Checks the header and copies the line pointers; the item count, 0 when the page is new,
// empty or rejected. header + slots <= lower <= upper <= block size, in 32 bits so that a
// large slot count cannot wrap around.
uint32_t loadUPage(const uint8_t* page, uint32_t blockSize, std::vector<uint32_t>& items,
                   DamageNotes& notes) {
    items.clear();
    const uint32_t upper = loadLE<uint16_t>(page + kUpper);
    if (upper == 0) {
        if (!isAllZeroPage(page, blockSize))
            notes.rejectPage("upper 0 on a page that is not all zero");
        return 0;
    }
    const uint16_t sizeVersion = loadLE<uint16_t>(page + kPageSizeVersion);
    const uint32_t version = sizeVersion & 0xFF;
    const uint32_t pageSize = sizeVersion & 0xFF00;
    if (version != 7 && version != 9) {
        notes.rejectPage("layout version %u, expected 7 or 9", version);
        return 0;
    }
    if (pageSize != blockSize) {
        notes.rejectPage("page size %u in the header, expected %u", pageSize, blockSize);
        return 0;
    }
    const uint32_t header = headerEnd(page);
    const uint32_t lower = loadLE<uint16_t>(page + kLower);
    if (lower < header) {
        notes.rejectPage("lower %u below the header end %u", lower, header);
        return 0;
    }
    if (lower > upper) {
        notes.rejectPage("lower %u above upper %u", lower, upper);
        return 0;
    }
    if (upper > blockSize) {
        notes.rejectPage("upper %u beyond the block size %u", upper, blockSize);
        return 0;
    }
    return copyLinePointers(page, header, lower, items);
}

bool readTupleHeader(const PageItem& u, uint32_t item, DamageNotes& notes, TupleView& view) {
    const bool hasNulls = loadLE<uint16_t>(u.start + kTFlags) & kHasNull;
    const uint32_t natts = loadLE<uint16_t>(u.start + kTNatts) & kNattsMask;
    const uint32_t dataOffset = u.start[kTDataOffset];
    const uint32_t minimum = kTupleHeaderSize + (hasNulls ? (natts + 7) / 8 : 0);
    if (dataOffset < minimum) {
        notes.rejectTuple(item, "data offset %u below %u (header, null bitmap of %u attributes)",
                          dataOffset, minimum, natts);
        return false;
    }
    if (dataOffset > u.length) {
        notes.rejectTuple(item, "data offset %u beyond the tuple length %u", dataOffset, u.length);
        return false;
    }
    view.start = u.start;
    view.length = u.length;
    view.dataOffset = dataOffset;
    view.natts = natts;
    view.nullBitmap = hasNulls ? u.start + kTupleHeaderSize : nullptr;
    view.item = item;
    return true;
}

}  // namespace

// ---- UTableBlock -----------------------------------------------------------------------------

struct UTableBlock::Impl {
    Impl(const ColumnLayout& columns, ToastFetcher* toast)
        : decoder(columns, PageFamily::kU, toast) {}

    TupleDecoder decoder;
    std::vector<uint32_t> items;
};

UTableBlock::UTableBlock(const ColumnLayout& columns, ToastFetcher* toast)
    : impl_(std::make_unique<Impl>(columns, toast)) {}

UTableBlock::~UTableBlock() = default;

void UTableBlock::loadPage() {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    itemCount_ = loadUPage(page_, blockSize_, impl_->items, notes);
}

uint32_t UTableBlock::readTuples(ColumnBatch& batch, uint32_t& nextItem) {
    if (nextItem >= itemCount_)
        return 0;
    TupleDecoder& decoder = impl_->decoder;
    decoder.bind(batch);
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    const uint32_t header = headerEnd(page_);

    uint32_t rows = 0;
    while (nextItem < itemCount_ && rows < kBatchRows) {
        const uint32_t item = ++nextItem;
        PageItem u;
        if (!locateItem(page_, blockSize_, header, impl_->items[item - 1], item, kTupleHeaderSize,
                        notes, u))
            continue;
        TupleView view;
        if (!readTupleHeader(u, item, notes, view))
            continue;
        if (decoder.decode(view, 0, rows, notes)) {
            // U tuples carry no commit hints: every row read counts as committed.
            if (batch.committed)
                batch.committed[rows] = 1;
            ++rows;
        }
    }
    return rows;
}

// ---- UToastBlock -----------------------------------------------------------------------------

UToastBlock::UToastBlock() = default;
UToastBlock::~UToastBlock() = default;

void UToastBlock::loadPage() {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    itemCount_ = loadUPage(page_, blockSize_, linePointers_, notes);
}

uint32_t UToastBlock::collectChunks(std::vector<ToastChunkRef>& chunks) {
    chunks.clear();
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    const uint32_t header = itemCount_ > 0 ? headerEnd(page_) : 0;
    for (uint32_t item = 1; item <= itemCount_; ++item) {
        PageItem u;
        if (!locateItem(page_, blockSize_, header, linePointers_[item - 1], item, kTupleHeaderSize,
                        notes, u))
            continue;
        TupleView view;
        if (!readTupleHeader(u, item, notes, view))
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
        const uint32_t idPos = view.dataOffset;
        std::optional<ChunkData> data;
        if (idPos + kChunkIdsSize <= u.length) {
            uint32_t pos = idPos + kChunkIdsSize;
            while (pos < u.length && (pos & 3) != 0 && u.start[pos] == 0)
                ++pos;  // zero fill up to the 4-byte boundary of a 4-byte header
            data = readChunkData(u.start, u.length, pos);
        }
        if (!data) {
            notes.rejectTuple(item, "chunk data at offset %u passes the tuple end %u",
                              idPos + kChunkIdsSize, u.length);
            continue;
        }
        ToastChunkRef chunk;
        chunk.chunkId = loadLE<uint32_t>(u.start + idPos);
        chunk.chunkSeq = loadLE<int32_t>(u.start + idPos + 4);
        chunk.lpOff = static_cast<uint16_t>(u.offset);
        chunk.dataOffset = static_cast<uint16_t>(u.offset + data->offset);
        chunk.dataLength = static_cast<uint16_t>(data->length);
        chunks.push_back(chunk);
    }
    return static_cast<uint32_t>(chunks.size());
}

}  // namespace vorn
