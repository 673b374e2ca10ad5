// The page readers of both layouts (see page_layout.h): one scan of a page's line pointers
// and tuples, with what differs between heap and U pages in two small format traits.
//
// Every tuple passes the same gate before anything is decided on it: its line pointer lies
// inside the page and its header is exactly what the server writes (heap: t_hoff; U: the data
// offset). Only then is it asked whether it is a row (heap pages: hint bits and the commit
// log), and only a row must store no more attributes than the relation has and is decoded,
// which checks that its attributes end exactly at its end. A tuple that fails is counted
// and never written.

#include <cstring>

#include "storage/byte_reader.h"
#include "storage/chunk_data.h"
#include "storage/line_pointer.h"
#include "storage/page_damage.h"
#include "storage/page_layout.h"
#include "storage/page_reader.h"
#include "storage/storage_settings.h"
#include "storage/tuple_decoder.h"
#include "storage/tuple_visibility.h"

namespace vorn {

namespace {

constexpr uint32_t kPrefetchAhead = 8;  // tuples
constexpr uint32_t kChunkAttributes = 3;
constexpr uint32_t kChunkIdsSize = 4 + 4;

inline uint32_t bitmapBytes(uint32_t natts) {
    return (natts + 7) / 8;
}

// What a format calls the header fields the shared checks name in their messages.
struct FieldNames {
    const char* lower;
    const char* upper;
    const char* end;  // where the tuple space ends
};
constexpr FieldNames kHeapNames{"pd_lower", "pd_upper", "pd_special"};
constexpr FieldNames kUNames{"lower", "upper", "the block size"};

// The version byte and page size shared by both headers; false (page noted) when wrong, or
// when the page is new: upper 0 on an all-zero page.
bool checkSizeVersion(const uint8_t* page, uint32_t blockSize, uint32_t upper, uint16_t sizeVersion,
                      uint32_t versionA, uint32_t versionB, const FieldNames& names,
                      PageReport& report, DamageNotes& notes) {
    if (upper == 0) {
        if (isAllZeroPage(page, blockSize))
            report.empty = true;
        else
            notes.rejectPage("%s 0 on a page that is not all zero", names.upper);
        return false;
    }
    const uint32_t version = sizeVersion & 0xFF;
    const uint32_t pageSize = sizeVersion & 0xFF00;
    if (version != versionA && version != versionB) {
        notes.rejectPage("layout version %u, expected %u or %u", version, versionA, versionB);
        return false;
    }
    if (pageSize != blockSize) {
        notes.rejectPage("page size %u in the header, expected %u", pageSize, blockSize);
        return false;
    }
    return true;
}

// The order header end <= lower <= upper <= end of the tuple space <= block size, which every
// page the server writes keeps; each bound keeps the line-pointer copy inside the page.
uint32_t checkBoundsAndCopy(const uint8_t* page, uint32_t header, uint32_t lower, uint32_t upper,
                            uint32_t end, uint32_t blockSize, const FieldNames& names,
                            std::vector<uint32_t>& items, DamageNotes& notes) {
    if (lower < header) {
        notes.rejectPage("%s %u below the header end %u", names.lower, lower, header);
        return 0;
    }
    if (lower > upper) {
        notes.rejectPage("%s %u above %s %u", names.lower, lower, names.upper, upper);
        return 0;
    }
    if (upper > end) {
        notes.rejectPage("%s %u %s %s %u", names.upper, upper,
                         end == blockSize ? "beyond" : "above", names.end, end);
        return 0;
    }
    if (end > blockSize) {
        notes.rejectPage("%s %u beyond the block size %u", names.end, end, blockSize);
        return 0;
    }
    return copyLinePointers(page, header, lower, items);
}

struct HeapFormat {
    static constexpr PageFamily kFamily = PageFamily::kHeap;
    static constexpr uint32_t kMinTuple = heap::kTupleHeaderSize;

    // What one page tells every tuple on it.
    struct PageState {
        bool allVisible = false;
        TupleVisibility* visibility = nullptr;
    };

    static uint32_t headerEnd(const uint8_t* page) {
        return pageLayoutVersion(page) == 6 ? heap::kHeaderSizeV6 : heap::kHeaderSizeV4;
    }

    static uint32_t load(const uint8_t* page, uint32_t blockSize, std::vector<uint32_t>& items,
                         PageReport& report, DamageNotes& notes) {
        using namespace heap;
        items.clear();
        const uint32_t upper = loadLE<uint16_t>(page + kPdUpper);
        if (!checkSizeVersion(page, blockSize, upper, loadLE<uint16_t>(page + kPdPageSizeVersion),
                              4, 6, kHeapNames, report, notes))
            return 0;
        return checkBoundsAndCopy(page, headerEnd(page), loadLE<uint16_t>(page + kPdLower), upper,
                                  loadLE<uint16_t>(page + kPdSpecial), blockSize, kHeapNames, items,
                                  notes);
    }

    static PageState pageState(const uint8_t* page, TupleVisibility* visibility) {
        return {(loadLE<uint16_t>(page + heap::kPdFlags) & heap::kPdAllVisible) != 0, visibility};
    }

    // t_hoff is exactly MAXALIGN(header + null bitmap + oid), and inside the item.
    static bool readHeader(const PageItem& heap, uint32_t item, DamageNotes& notes,
                           TupleView& view) {
        using namespace vorn::heap;
        const uint16_t infomask = loadLE<uint16_t>(heap.start + kTInfomask);
        const uint32_t natts = loadLE<uint16_t>(heap.start + kTInfomask2) & kNattsMask;
        const uint32_t hoff = heap.start[kTHoff];
        const bool hasNulls = infomask & kHasNull;
        const bool hasOid = infomask & kHasOid;
        const uint32_t expected = alignUp(
            kTupleHeaderSize + (hasNulls ? bitmapBytes(natts) : 0) + (hasOid ? kOidSize : 0),
            kMaxAlign - 1);
        if (hoff != expected) {
            notes.rejectTuple(item,
                              "t_hoff %u, expected %u (header, null bitmap of %u attributes%s)",
                              hoff, expected, natts, hasOid ? ", oid" : "");
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
        view.oid = hasOid ? loadLE<uint32_t>(heap.start + hoff - kOidSize) : 0;
        return true;
    }

    static bool isRow(const PageItem& heap, PageState& state, PageReport& report,
                      uint8_t& committed) {
        return state.visibility->isRow(heap.start, state.allVisible, report, committed);
    }

    // chunk_id and chunk_seq are 4-aligned after t_hoff, chunk_data's 4-byte header too.
    static std::optional<ChunkData> chunkData(const PageItem& heap, const TupleView& view,
                                              uint32_t& idPos) {
        idPos = alignUp(view.dataOffset, 3);
        if (idPos + kChunkIdsSize > heap.length)
            return std::nullopt;
        return readChunkData(heap.start, heap.length, alignUp(idPos + kChunkIdsSize, 3));
    }
};

struct UFormat {
    static constexpr PageFamily kFamily = PageFamily::kU;
    static constexpr uint32_t kMinTuple = upage::kTupleHeaderSize;

    struct PageState {};

    static uint32_t headerEnd(const uint8_t* page) {
        return upage::kFixedHeaderSize +
               upage::kSlotSize * uint32_t{loadLE<uint16_t>(page + upage::kSlotCount)};
    }

    // header + slots <= lower <= upper <= block size, in 32 bits so that a large slot count
    // cannot wrap around.
    static uint32_t load(const uint8_t* page, uint32_t blockSize, std::vector<uint32_t>& items,
                         PageReport& report, DamageNotes& notes) {
        using namespace upage;
        items.clear();
        const uint32_t upper = loadLE<uint16_t>(page + kUpper);
        if (!checkSizeVersion(page, blockSize, upper, loadLE<uint16_t>(page + kPageSizeVersion), 7,
                              9, kUNames, report, notes))
            return 0;
        return checkBoundsAndCopy(page, headerEnd(page), loadLE<uint16_t>(page + kLower), upper,
                                  blockSize, blockSize, kUNames, items, notes);
    }

    static PageState pageState(const uint8_t*, TupleVisibility*) { return {}; }

    // The data offset follows the null bitmap, at most MAXALIGNed, and lies inside the item.
    static bool readHeader(const PageItem& u, uint32_t item, DamageNotes& notes, TupleView& view) {
        using namespace upage;
        const bool hasNulls = loadLE<uint16_t>(u.start + kTFlags) & kHasNull;
        const uint32_t natts = loadLE<uint16_t>(u.start + kTNatts) & kNattsMask;
        const uint32_t dataOffset = u.start[kTDataOffset];
        const uint32_t minimum = kTupleHeaderSize + (hasNulls ? bitmapBytes(natts) : 0);
        const uint32_t maximum = alignUp(minimum, kMaxAlign - 1);
        if (dataOffset < minimum || dataOffset > maximum) {
            notes.rejectTuple(item,
                              "data offset %u, expected %u to %u (header, null bitmap of %u "
                              "attributes)",
                              dataOffset, minimum, maximum, natts);
            return false;
        }
        if (dataOffset > u.length) {
            notes.rejectTuple(item, "data offset %u beyond the tuple length %u", dataOffset,
                              u.length);
            return false;
        }
        view.start = u.start;
        view.length = u.length;
        view.dataOffset = dataOffset;
        view.natts = natts;
        view.nullBitmap = hasNulls ? u.start + kTupleHeaderSize : nullptr;
        view.item = item;
        view.oid = 0;
        return true;
    }

    // U tuples carry no visibility this reader interprets, and no commit hints: every row
    // counts as committed.
    static bool isRow(const PageItem&, PageState&, PageReport&, uint8_t& committed) {
        committed = 1;
        return true;
    }

    // chunk_id and chunk_seq unaligned at the data offset, then chunk_data, whose 4-byte
    // header sits on a 4-byte boundary from the tuple start after zero fill.
    static std::optional<ChunkData> chunkData(const PageItem& u, const TupleView& view,
                                              uint32_t& idPos) {
        idPos = view.dataOffset;
        if (idPos + kChunkIdsSize > u.length)
            return std::nullopt;
        uint32_t pos = idPos + kChunkIdsSize;
        while (pos < u.length && (pos & 3) != 0 && u.start[pos] == 0)
            ++pos;
        return readChunkData(u.start, u.length, pos);
    }
};

// The gate every tuple passes before anything is decided on it: a normal line pointer inside
// the page and a header as the server writes it.
template <typename Format>
bool admitTuple(const uint8_t* page, uint32_t blockSize, uint32_t header, uint32_t raw,
                uint32_t item, DamageNotes& notes, PageItem& tuple, TupleView& view) {
    if (!locateItem(page, blockSize, header, raw, item, Format::kMinTuple, notes, tuple))
        return false;
    return Format::readHeader(tuple, item, notes, view);
}

// A row stores no more attributes than the relation has (when that is known). Asked only of
// rows: a version a rolled-back ADD COLUMN left behind has more, and is no row and no damage.
bool fitsRelation(const TupleView& view, uint32_t attributeCount, DamageNotes& notes) {
    if (attributeCount == 0 || view.natts <= attributeCount)
        return true;
    notes.rejectTuple(view.item, "%u attributes stored, the relation has %u", view.natts,
                      attributeCount);
    return false;
}

// Decodes the rows of a page from line pointer `nextItem` on; see TableBlock::readTuples.
template <typename Format>
uint32_t scanRows(const uint8_t* page, uint16_t blockSize, const std::vector<uint32_t>& items,
                  TupleDecoder& decoder, bool oidColumn, TupleVisibility* visibility,
                  ColumnBatch& batch, uint32_t& nextItem, PageReport& report, DamageNotes& notes) {
    const auto itemCount = static_cast<uint32_t>(items.size());
    if (nextItem >= itemCount)
        return 0;
    decoder.bind(batch);
    typename Format::PageState state = Format::pageState(page, visibility);
    const uint32_t header = Format::headerEnd(page);
    const uint32_t firstColumn = oidColumn ? 1 : 0;
    const uint32_t attributes = decoder.attributeCount();
    const uint64_t valueLimit = batchValueLimit;

    uint32_t rows = 0;
    const uint32_t* const lp = items.data();
    while (nextItem < itemCount && rows < kBatchRows && decoder.valueBytes() < valueLimit) {
        const uint32_t item = ++nextItem;  // line pointers are numbered from 1
        if (item + kPrefetchAhead <= itemCount) {
            // The tuples of a freshly read page are not in the cache yet: ask for one a few
            // items ahead while this one is decoded (a hint only; the offset is masked into
            // the page).
            const uint8_t* ahead =
                page + (lp[item + kPrefetchAhead - 1] & 0x7FFF & (blockSize - 1));
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + 64);
        }
        PageItem tuple;
        TupleView view;
        if (!admitTuple<Format>(page, blockSize, header, lp[item - 1], item, notes, tuple, view))
            continue;
        uint8_t committed = 0;
        if (!Format::isRow(tuple, state, report, committed) ||
            !fitsRelation(view, attributes, notes))
            continue;
        if (oidColumn) {
            uint8_t bytes[4];
            std::memcpy(bytes, &view.oid, sizeof bytes);
            ColumnPlan& plan = decoder.plan(0);
            if (!plan.store(rows, bytes, sizeof bytes)) {
                notes.valueUnreadable();
                plan.setNull(rows);
            }
        }
        if (decoder.decode(view, firstColumn, rows, notes)) {
            if (batch.committed)
                batch.committed[rows] = committed;
            ++rows;
        }
    }
    return rows;
}

// Lists the chunk tuples of a TOAST page that pass the gate and are rows.
template <typename Format>
uint32_t scanChunks(const uint8_t* page, uint16_t blockSize, const std::vector<uint32_t>& items,
                    TupleVisibility* visibility, std::vector<ToastChunkRef>& chunks,
                    PageReport& report, DamageNotes& notes) {
    chunks.clear();
    if (items.empty())
        return 0;
    typename Format::PageState state = Format::pageState(page, visibility);
    const uint32_t header = Format::headerEnd(page);
    for (uint32_t item = 1; item <= items.size(); ++item) {
        PageItem tuple;
        TupleView view;
        if (!admitTuple<Format>(page, blockSize, header, items[item - 1], item, notes, tuple, view))
            continue;
        uint8_t committed = 0;
        if (!Format::isRow(tuple, state, report, committed))
            continue;
        if (view.natts != kChunkAttributes) {
            notes.rejectTuple(item, "chunk tuple with %u attributes, expected %u", view.natts,
                              kChunkAttributes);
            continue;
        }
        if (view.nullBitmap != nullptr && (view.nullBitmap[0] & 0x7) != 0x7) {
            notes.rejectTuple(item, "chunk tuple with a NULL column");
            continue;
        }
        uint32_t idPos = 0;
        const std::optional<ChunkData> data = Format::chunkData(tuple, view, idPos);
        if (!data || data->offset + data->length != tuple.length) {
            notes.rejectTuple(item, "chunk data after offset %u does not end at the tuple end %u",
                              idPos + kChunkIdsSize, tuple.length);
            continue;
        }
        ToastChunkRef chunk;
        chunk.chunkId = loadLE<uint32_t>(tuple.start + idPos);
        chunk.chunkSeq = loadLE<int32_t>(tuple.start + idPos + 4);
        chunk.lpOff = static_cast<uint16_t>(tuple.offset);
        chunk.dataOffset = static_cast<uint16_t>(tuple.offset + data->offset);
        chunk.dataLength = static_cast<uint16_t>(data->length);
        chunks.push_back(chunk);
    }
    return static_cast<uint32_t>(chunks.size());
}

bool hasOidColumn(const ColumnLayout& columns) {
    return !columns.empty() && columns[0].attnum == -2 &&
           std::memcmp(columns[0].attname, "oid", 4) == 0;
}

}  // namespace

// ---- TableBlock ------------------------------------------------------------------------------

struct TableBlock::Impl {
    Impl(const ColumnLayout& columns, ToastFetcher* toast, CommitLog* commitLog)
        : decoder(columns, HeapFormat::kFamily, toast),
          oidColumn(hasOidColumn(columns)),
          visibility(commitLog) {}

    TupleDecoder decoder;
    bool oidColumn;  // column 0 is the system column oid, taken from the tuple header
    TupleVisibility visibility;
    std::vector<uint32_t> items;
};

TableBlock::TableBlock(const ColumnLayout& columns, ToastFetcher* toast, CommitLog* commitLog)
    : impl_(std::make_unique<Impl>(columns, toast, commitLog)) {}

TableBlock::~TableBlock() = default;

void TableBlock::loadPage() {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    itemCount_ = HeapFormat::load(page_, blockSize_, impl_->items, report_, notes);
}

uint32_t TableBlock::readTuples(ColumnBatch& batch, uint32_t& nextItem) {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    return scanRows<HeapFormat>(page_, blockSize_, impl_->items, impl_->decoder, impl_->oidColumn,
                                &impl_->visibility, batch, nextItem, report_, notes);
}

uint64_t TableBlock::batchValueBytes() const {
    return impl_->decoder.valueBytes();
}

// ---- ToastBlock ------------------------------------------------------------------------------

ToastBlock::ToastBlock(CommitLog* commitLog) : commitLog_(commitLog) {}
ToastBlock::~ToastBlock() = default;

void ToastBlock::loadPage() {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    itemCount_ = HeapFormat::load(page_, blockSize_, linePointers_, report_, notes);
}

uint32_t ToastBlock::collectChunks(std::vector<ToastChunkRef>& chunks) {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    TupleVisibility visibility(commitLog_);
    return scanChunks<HeapFormat>(page_, blockSize_, linePointers_, &visibility, chunks, report_,
                                  notes);
}

// ---- UTableBlock -----------------------------------------------------------------------------

struct UTableBlock::Impl {
    Impl(const ColumnLayout& columns, ToastFetcher* toast)
        : decoder(columns, UFormat::kFamily, toast) {}

    TupleDecoder decoder;
    std::vector<uint32_t> items;
};

UTableBlock::UTableBlock(const ColumnLayout& columns, ToastFetcher* toast)
    : impl_(std::make_unique<Impl>(columns, toast)) {}

UTableBlock::~UTableBlock() = default;

void UTableBlock::loadPage() {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    itemCount_ = UFormat::load(page_, blockSize_, impl_->items, report_, notes);
}

uint32_t UTableBlock::readTuples(ColumnBatch& batch, uint32_t& nextItem) {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    return scanRows<UFormat>(page_, blockSize_, impl_->items, impl_->decoder, false, nullptr, batch,
                             nextItem, report_, notes);
}

uint64_t UTableBlock::batchValueBytes() const {
    return impl_->decoder.valueBytes();
}

// ---- UToastBlock -----------------------------------------------------------------------------

UToastBlock::UToastBlock() = default;
UToastBlock::~UToastBlock() = default;

void UToastBlock::loadPage() {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    itemCount_ = UFormat::load(page_, blockSize_, linePointers_, report_, notes);
}

uint32_t UToastBlock::collectChunks(std::vector<ToastChunkRef>& chunks) {
    DamageNotes notes(report_, reasonText_, sizeof reasonText_);
    return scanChunks<UFormat>(page_, blockSize_, linePointers_, nullptr, chunks, report_, notes);
}

}  // namespace vorn
