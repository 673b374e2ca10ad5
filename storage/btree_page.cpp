#include "storage/btree_page.h"

#include "storage/line_pointer.h"
#include "storage/page_layout.h"

namespace vorn {

namespace {

constexpr uint32_t kHeapTupleHeaderAligned = 24;  // MAXALIGN(23), SizeofHeapTupleHeader
constexpr uint32_t kLpDead = 3;
constexpr uint32_t kLpUnused = 0;

uint32_t tidBlock(const ByteReader& bytes, size_t at) {
    return uint32_t{*bytes.u16(at)} << 16 | *bytes.u16(at + 2);
}

}  // namespace

BtreeFormat btreeFormat(ServerVersion version) {
    BtreeFormat f;
    const int major = version.major;
    const int minor = version.minor;
    if (major < 9 || major > 18)
        return f;  // unknown: no evidence is taken from such pages
    f.known = true;
    // 0x80 came with 9.4, 0x100 with 14.
    f.flags = major >= 14 ? 0x01FF : (major > 9 || minor >= 4) ? 0x00FF : 0x007F;
    f.maxMetaVersion = major >= 12 ? 4 : major == 11 ? 3 : 2;
    f.altTid = major >= 11;
    f.postingLists = major >= 13;
    return f;
}

BtreePageReader::BtreePageReader(ServerVersion version, uint32_t blockSize)
    : format_(btreeFormat(version)),
      blockSize_(blockSize),
      maxHeapItems_(static_cast<uint16_t>(blockSize > btree::kPageHeaderSize
                                              ? (blockSize - btree::kPageHeaderSize) /
                                                    (kHeapTupleHeaderAligned + kLinePointerSize)
                                              : 0)) {}

bool BtreePageReader::tidValid(uint32_t block, uint16_t item) const {
    // 0xFFFFFFFF is InvalidBlockNumber; items count from 1 and a heap page of this block size
    // holds at most maxHeapItems_ of them.
    return block != 0xFFFFFFFFu && item >= 1 && item <= maxHeapItems_;
}

bool BtreePageReader::metaPageValid(const ByteReader& page) const {
    const std::optional<uint32_t> magic = page.u32(btree::kMetaMagicOffset);
    const std::optional<uint32_t> version = page.u32(btree::kMetaVersionOffset);
    return magic && version && *magic == btree::kMetaMagic && *version >= btree::kMinMetaVersion &&
           *version <= format_.maxMetaVersion;
}

BtreePageResult BtreePageReader::read(const ByteReader& page, uint32_t fromBlock,
                                      std::vector<HeapTid>& tids) const {
    BtreePageResult result;
    if (!format_.known || page.size() != blockSize_ || blockSize_ < btree::kPageHeaderSize)
        return result;
    if (isAllZeroPage(page.data(), blockSize_)) {
        result.kind = BtreePageKind::kNew;
        return result;
    }
    // The header decides where the line pointers, the tuples and the special space are:
    // header <= lower <= upper <= special, the special space exactly the b-tree's 16 bytes
    // at the end (any other size is another index type or damage).
    const uint16_t lower = *page.u16(btree::kPdLower);
    const uint16_t upper = *page.u16(btree::kPdUpper);
    const uint16_t special = *page.u16(btree::kPdSpecial);
    const uint16_t sizeVersion = *page.u16(btree::kPdPageSizeVersion);
    if ((sizeVersion & 0x00FF) != btree::kPageLayoutVersion ||
        (sizeVersion & 0xFF00) != (blockSize_ & 0xFF00) || lower < btree::kPageHeaderSize ||
        lower > upper || upper > special || special != blockSize_ - btree::kSpecialSize)
        return result;
    const ByteReader opaque = *page.sub(special, btree::kSpecialSize);
    const uint16_t flags = *opaque.u16(btree::kBtpoFlags);
    if ((flags & ~format_.flags) != 0 || *opaque.u16(btree::kBtpoCycleId) > btree::kMaxCycleId)
        return result;

    if ((flags & btree::kMeta) != 0) {
        if (metaPageValid(page))
            result.kind = BtreePageKind::kMeta;
        return result;
    }
    if ((flags & (btree::kDeleted | btree::kHalfDead)) != 0 || (flags & btree::kLeaf) == 0) {
        result.kind = BtreePageKind::kOther;
        return result;
    }
    if (*opaque.u32(btree::kBtpoLevel) != 0)
        return result;  // a leaf is level 0; anything else says the flags are wrong

    result.kind = BtreePageKind::kLeaf;
    const uint32_t items = (lower - btree::kPageHeaderSize) / kLinePointerSize;
    const bool rightmost = *opaque.u32(btree::kBtpoNext) == 0;
    for (uint32_t item = rightmost ? 1 : btree::kHighKeyItem + 1; item <= items; ++item) {
        const uint32_t raw = *page.u32(btree::kPageHeaderSize + (item - 1) * kLinePointerSize);
        const uint32_t lpFlags = (raw >> 15) & 0x3;
        // Unused pointers hold nothing. Dead ones are entries a scan found pointing at a dead
        // row version: the version is still in its heap block (VACUUM removes the entries
        // before the versions), so they count as normal ones do. Redirects are heap-only.
        if (lpFlags == kLpUnused)
            continue;
        if ((lpFlags != kLpNormal && lpFlags != kLpDead) ||
            !readEntry(page, raw, upper, special, fromBlock, tids, result.entries))
            ++result.entriesRejected;
    }
    return result;
}

bool BtreePageReader::readEntry(const ByteReader& page, uint32_t linePointer, uint32_t upper,
                                uint32_t special, uint32_t fromBlock, std::vector<HeapTid>& tids,
                                uint32_t& entries) const {
    const uint32_t offset = linePointer & 0x7FFF;
    const uint32_t length = linePointer >> 17;
    // Tuples lie MAXALIGNed between pd_upper and the special space, each exactly as long as
    // its t_info says: a tuple that is not where its pointer says gives no TIDs.
    if (offset < upper || offset % kMaxAlign != 0 || length < btree::kTupleHeaderSize ||
        offset + length > special)
        return false;
    const ByteReader tuple = *page.sub(offset, length);
    const uint16_t info = *tuple.u16(btree::kTInfo);
    if ((info & btree::kTupleSizeMask) != length)
        return false;
    const uint32_t block = tidBlock(tuple, 0);
    const uint16_t posid = *tuple.u16(4);

    if ((info & btree::kAltTid) == 0) {
        if (!tidValid(block, posid))
            return false;
        ++entries;
        if (block >= fromBlock)
            tids.push_back({block, posid});
        return true;
    }
    // Before 11 the bit is not used by b-trees; a pivot tuple is no entry, and a leaf holds
    // none but its high key.
    if (!format_.altTid || !format_.postingLists || (posid & btree::kPostingBit) == 0 ||
        (posid & ~(btree::kPostingBit | btree::kPostingCountMask)) != 0)
        return false;
    const uint32_t count = posid & btree::kPostingCountMask;
    const uint32_t listOffset = block;  // the t_tid block number of a posting list tuple
    if (count < 2 || listOffset < btree::kTupleHeaderSize || listOffset % kMaxAlign != 0 ||
        !tuple.has(listOffset, size_t{count} * btree::kTidSize))
        return false;
    // The list is checked whole before any TID is taken: ascending and each one valid.
    uint64_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = listOffset + size_t{i} * btree::kTidSize;
        const uint32_t heapBlock = tidBlock(tuple, at);
        const uint16_t heapItem = *tuple.u16(at + 4);
        const uint64_t key = uint64_t{heapBlock} << 16 | heapItem;
        if (!tidValid(heapBlock, heapItem) || (i > 0 && key <= previous))
            return false;
        previous = key;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = listOffset + size_t{i} * btree::kTidSize;
        const uint32_t heapBlock = tidBlock(tuple, at);
        if (heapBlock >= fromBlock)
            tids.push_back({heapBlock, *tuple.u16(at + 4)});
    }
    entries += count;
    return true;
}

}  // namespace vorn
