#pragma once

// Test-only writer of b-tree index pages and visibility map pages, byte by byte, from
// PostgreSQL's nbtree.h, itup.h and visibilitymap.c. Shares no code with the readers.
//
// B-tree page: the 24-byte page header (pd_lower 12, pd_upper 14, pd_special 16,
// pd_pagesize_version 18 = block size | 4), line pointers from 24, index tuples from the end
// of the page downward, MAXALIGNed, and 16 bytes of special space at the end:
//
//   +0 btpo_prev  +4 btpo_next  +8 btpo_level  +12 btpo_flags  +14 btpo_cycleid
//
// Meta page (block 0): flags 0x08, btm_magic 0x053162 at 24, btm_version at 28.
//
// Index tuple: t_tid (bi_hi, bi_lo, ip_posid; 2 bytes each), t_info (size in bits 0-12,
// 0x2000 the alternative t_tid), key bytes, padded to 8. Posting list tuple (13+): t_info
// 0x2000, t_tid block = offset of the TID array, ip_posid = 0x2000 | count.
//
// Visibility map page: page header with pd_lower 24, pd_upper = pd_special = block size; map
// bytes from 24, `bitsPerBlock` bits per heap block, least significant first.

#include <cstdint>
#include <vector>

#include "tests/storage/support/page_builder.h"

namespace vorn::test {

struct Tid {
    uint32_t block = 0;
    uint16_t item = 0;
};

namespace btree_flags {
constexpr uint16_t kLeaf = 0x01;
constexpr uint16_t kRoot = 0x02;
constexpr uint16_t kDeleted = 0x04;
constexpr uint16_t kMeta = 0x08;
constexpr uint16_t kHalfDead = 0x10;
constexpr uint16_t kIncompleteSplit = 0x80;
constexpr uint16_t kHasFullXid = 0x100;
}  // namespace btree_flags

// A plain index tuple pointing at `tid`, with `keyBytes` of key; `infoBits` are or-ed into
// t_info (0x4000, 0x8000, or 0x2000 for damage).
Bytes indexTuple(Tid tid, size_t keyBytes = 4, uint16_t infoBits = 0);
// A pivot tuple of version 11 on: the alternative t_tid bit, ip_posid = attribute count.
Bytes pivotTuple(size_t keyBytes = 4, uint16_t attributes = 1);
// A posting list tuple of version 13 on holding `tids` (as given, sorted or not).
Bytes postingTuple(const std::vector<Tid>& tids, size_t keyBytes = 4);

class BtreePageBuilder {
  public:
    explicit BtreePageBuilder(uint16_t blockSize, uint16_t flags = btree_flags::kLeaf);

    BtreePageBuilder& prev(uint32_t v) {
        prev_ = v;
        return *this;
    }
    BtreePageBuilder& next(uint32_t v) {  // 0: the rightmost page of its level
        next_ = v;
        return *this;
    }
    BtreePageBuilder& level(uint32_t v) {
        level_ = v;
        return *this;
    }
    BtreePageBuilder& cycleId(uint16_t v) {
        cycleId_ = v;
        return *this;
    }
    // Places the tuple below the previous one and appends its line pointer.
    BtreePageBuilder& add(const Bytes& tuple, uint8_t lpFlags = 1);

    Bytes build() const;

  private:
    uint16_t blockSize_;
    uint16_t flags_;
    uint32_t prev_ = 0;
    uint32_t next_ = 0;
    uint32_t level_ = 0;
    uint16_t cycleId_ = 0;
    uint16_t upper_;
    std::vector<uint32_t> linePointers_;
    Bytes page_;
};

Bytes btreeMetaPage(uint16_t blockSize, uint32_t version, uint32_t magic = 0x053162);

// A map page marking the heap blocks `marked` (counted from the page's first).
Bytes visibilityMapPage(uint16_t blockSize, const std::vector<uint32_t>& marked,
                        uint32_t bitsPerBlock);

// Writes `bytes` to `path`, creating its folder.
void writeFileBytes(const std::string& path, const Bytes& bytes);
// The pages one after the other.
Bytes joinPages(const std::vector<Bytes>& pages);

}  // namespace vorn::test
