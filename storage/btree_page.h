#pragma once

// B-tree index pages as PostgreSQL's nbtree writes them (little-endian), read only for the
// heap TIDs of their leaf entries: every row version of a table has an entry in each of its
// b-tree indexes, so an entry pointing at a block the table's file does not have is a row
// that was there. Nothing else of the index (keys, tree links) is interpreted.
//
// Page (the layout version 4 page header of heap pages, bufpage.h):
//
//   0           24         pd_lower           pd_upper           pd_special     block size
//   +-----------+----------+------------------+------------------+---------------+
//   | header    | line ptrs|   free space     | index tuples     | opaque (16)   |
//   +-----------+----------+------------------+------------------+---------------+
//   header: 12 pd_lower, 14 pd_upper, 16 pd_special, 18 pd_pagesize_version (as heap pages)
//
// Special space, BTPageOpaqueData, MAXALIGNed to 16 bytes at the end of every page (the
// same from 9.0 to 18):
//
//   +0   4  btpo_prev     left sibling, 0 when leftmost
//   +4   4  btpo_next     right sibling, 0 when rightmost
//   +8   4  btpo_level    0 on leaf pages (before 14 an xid on deleted pages)
//   +12  2  btpo_flags    0x01 leaf, 0x02 root, 0x04 deleted, 0x08 meta, 0x10 half-dead,
//                         0x20 split end, 0x40 has garbage, 0x80 incomplete split (from 9.4),
//                         0x100 has a full xid (deleted pages, from 14)
//   +14  2  btpo_cycleid  vacuum cycle, at most 0xFF7F: other index types put their own
//                         marks (0xFF80 and up) in these two bytes
//
// Block 0 is the meta page (flag 0x08): btm_magic 0x053162 at byte 24, btm_version after it
// (2 up to 10, 3 in 11, 4 from 12; an index keeps the version it was built with).
//
// Index tuple (itup.h), at a MAXALIGNed offset, its line pointer's length equal to its size:
//
//   0  2  bi_hi      t_tid: block number bi_hi << 16 | bi_lo,
//   2  2  bi_lo             then the item number in the block (1 based)
//   4  2  ip_posid
//   6  2  t_info     bits 0-12 the tuple's size, 13 "t_tid holds something else" (from 11),
//                    14 variable-width keys, 15 null keys
//   8     key values
//
// On a leaf page that is not the rightmost of its level, item 1 is the high key: a bound
// for the page's keys, no entry. Entries start at item 2 there, at item 1 on the rightmost.
// From 11 a tuple with t_info bit 13 is a pivot (a high key; its t_tid offset counts its
// attributes), unless its ip_posid has bit 0x2000 (from 13): a posting list tuple of
// deduplicated entries, whose t_tid block number is the byte offset inside the tuple of an
// array of (ip_posid & 0x0FFF) heap TIDs, 6 bytes each (bi_hi, bi_lo, ip_posid), ascending.
//
// Deleted and half-dead pages hold no live entries; internal pages point at index pages.

#include <cstdint>
#include <vector>

#include "storage/byte_reader.h"
#include "storage/storage_settings.h"

namespace vorn {

namespace btree {
constexpr uint32_t kPageHeaderSize = 24;
constexpr uint32_t kPdLower = 12;
constexpr uint32_t kPdUpper = kPdLower + 2;
constexpr uint32_t kPdSpecial = kPdUpper + 2;
constexpr uint32_t kPdPageSizeVersion = kPdSpecial + 2;
constexpr uint8_t kPageLayoutVersion = 4;

constexpr uint32_t kSpecialSize = 4 + 4 + 4 + 2 + 2;  // 16, already MAXALIGNed
constexpr uint32_t kBtpoNext = 4;
constexpr uint32_t kBtpoLevel = kBtpoNext + 4;
constexpr uint32_t kBtpoFlags = kBtpoLevel + 4;
constexpr uint32_t kBtpoCycleId = kBtpoFlags + 2;
constexpr uint16_t kMaxCycleId = 0xFF7F;

constexpr uint16_t kLeaf = 0x0001;
constexpr uint16_t kDeleted = 0x0004;
constexpr uint16_t kMeta = 0x0008;
constexpr uint16_t kHalfDead = 0x0010;

constexpr uint32_t kMetaMagicOffset = kPageHeaderSize;
constexpr uint32_t kMetaVersionOffset = kMetaMagicOffset + 4;
constexpr uint32_t kMetaMagic = 0x053162;
constexpr uint32_t kMinMetaVersion = 2;

constexpr uint32_t kTidSize = 2 + 2 + 2;
constexpr uint32_t kTInfo = kTidSize;              // 6
constexpr uint32_t kTupleHeaderSize = kTInfo + 2;  // 8
constexpr uint16_t kTupleSizeMask = 0x1FFF;
constexpr uint16_t kAltTid = 0x2000;      // INDEX_AM_RESERVED_BIT
constexpr uint16_t kPostingBit = 0x2000;  // in ip_posid of an alternative t_tid
constexpr uint16_t kPostingCountMask = 0x0FFF;

constexpr uint32_t kHighKeyItem = 1;
}  // namespace btree

// A heap tuple's address: block number and line pointer (from 1).
struct HeapTid {
    uint32_t block = 0;
    uint16_t item = 0;
};

// What a server version writes into b-tree pages; one table from version to format.
struct BtreeFormat {
    bool known = false;           // the reader knows this version's pages
    uint16_t flags = 0;           // the btpo_flags bits the version defines
    uint32_t maxMetaVersion = 0;  // the newest btm_version it writes
    bool altTid = false;          // t_info bit 13 marks pivot tuples (from 11)
    bool postingLists = false;    // deduplicated entries (from 13)
};
BtreeFormat btreeFormat(ServerVersion version);

enum class BtreePageKind {
    kNew,      // all zero: an extension never written
    kMeta,     // a valid meta page
    kLeaf,     // a live leaf page, its entries read
    kOther,    // internal, deleted or half-dead: no entries of its own
    kDamaged,  // header or special space not what the server writes: nothing read
};

struct BtreePageResult {
    BtreePageKind kind = BtreePageKind::kDamaged;
    uint32_t entries = 0;          // heap TIDs read on a leaf page, at any block
    uint32_t entriesRejected = 0;  // leaf items whose line pointer or tuple failed a check
};

class BtreePageReader {
  public:
    BtreePageReader(ServerVersion version, uint32_t blockSize);

    const BtreeFormat& format() const { return format_; }
    // `page` holds one block. Appends to `tids` the heap TIDs of a live leaf page's entries
    // whose block is at least `fromBlock`; reads nothing from a page that fails a check.
    BtreePageResult read(const ByteReader& page, uint32_t fromBlock,
                         std::vector<HeapTid>& tids) const;

  private:
    bool metaPageValid(const ByteReader& page) const;
    // The entries of one leaf item; false when it fails a check (nothing appended).
    bool readEntry(const ByteReader& page, uint32_t linePointer, uint32_t upper, uint32_t special,
                   uint32_t fromBlock, std::vector<HeapTid>& tids, uint32_t& entries) const;
    bool tidValid(uint32_t block, uint16_t item) const;

    BtreeFormat format_;
    uint32_t blockSize_;
    uint16_t maxHeapItems_;  // MaxHeapTuplesPerPage of the block size
};

}  // namespace vorn
