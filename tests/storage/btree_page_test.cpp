// The b-tree and visibility map page readers over pages written byte by byte: the entries a
// leaf page yields across the versions' formats (high key, pivots, posting lists), the pages
// that yield none (meta, internal, deleted, half-dead, new), and damage that must yield
// nothing rather than made-up TIDs.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "storage/btree_page.h"
#include "storage/visibility_map_page.h"
#include "tests/storage/support/index_page_builder.h"

namespace vorn::test {
namespace {

constexpr uint16_t kBlock = 8192;
constexpr ServerVersion kV93{9, 3}, kV96{9, 6}, kV10{10, 0}, kV11{11, 0}, kV12{12, 0}, kV13{13, 0},
    kV14{14, 0}, kV15{15, 0}, kV18{18, 0};

struct Read {
    BtreePageKind kind;
    std::vector<std::string> tids;  // "block.item"
    uint32_t entries = 0;
    uint32_t rejected = 0;
};

Read readPage(const Bytes& page, ServerVersion version, uint32_t fromBlock = 0,
              uint16_t blockSize = kBlock) {
    const BtreePageReader reader(version, blockSize);
    std::vector<HeapTid> tids;
    const BtreePageResult r = reader.read(ByteReader(page.data(), page.size()), fromBlock, tids);
    Read out{r.kind, {}, r.entries, r.entriesRejected};
    for (const HeapTid& t : tids)
        out.tids.push_back(std::to_string(t.block) + "." + std::to_string(t.item));
    return out;
}

using Tids = std::vector<std::string>;

TEST(BtreePage, LeafEntriesAcrossTheFormats) {
    // Not the rightmost page: item 1 is the high key, whatever it holds.
    const Bytes withHighKey = BtreePageBuilder(kBlock)
                                  .next(7)
                                  .add(indexTuple({900, 9}))
                                  .add(indexTuple({3, 1}))
                                  .add(indexTuple({12, 40}))
                                  .build();
    // The rightmost page has no high key: item 1 is an entry.
    const Bytes rightmost =
        BtreePageBuilder(kBlock).add(indexTuple({5, 2})).add(indexTuple({6, 3})).build();
    // From 11 the high key is a pivot tuple; from 13 entries may be posting lists.
    const Bytes posting = BtreePageBuilder(kBlock)
                              .next(4)
                              .add(pivotTuple())
                              .add(postingTuple({{2, 1}, {2, 5}, {30, 1}}))
                              .add(indexTuple({31, 2}))
                              .build();
    // Killed (dead) items still point at their row versions, unused ones at nothing; a
    // redirect is not what an index holds.
    const Bytes deadItems = BtreePageBuilder(kBlock)
                                .add(indexTuple({8, 1}), 3)
                                .add(indexTuple({8, 2}), 0)
                                .add(indexTuple({8, 3}), 2)
                                .add(indexTuple({8, 4}))
                                .build();
    const struct Case {
        const char* name;
        const Bytes* page;
        ServerVersion version;
        uint32_t fromBlock;
        Tids tids;
        uint32_t entries;
        uint32_t rejected;
    } cases[] = {
        {"high key skipped", &withHighKey, kV10, 0, {"3.1", "12.40"}, 2, 0},
        {"high key skipped, 9.3", &withHighKey, kV93, 0, {"3.1", "12.40"}, 2, 0},
        {"only TIDs from a block on", &withHighKey, kV18, 10, {"12.40"}, 2, 0},
        {"rightmost", &rightmost, kV12, 0, {"5.2", "6.3"}, 2, 0},
        {"posting list", &posting, kV13, 0, {"2.1", "2.5", "30.1", "31.2"}, 4, 0},
        {"posting list, from block 3", &posting, kV18, 3, {"30.1", "31.2"}, 4, 0},
        // Before 13 no tuple on a leaf but the high key has the bit: such a tuple is damage.
        {"posting list before 13", &posting, kV12, 0, {"31.2"}, 1, 1},
        {"dead, unused, redirect", &deadItems, kV15, 0, {"8.1", "8.4"}, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Read r = readPage(*c.page, c.version, c.fromBlock);
        EXPECT_EQ(r.kind, BtreePageKind::kLeaf);
        EXPECT_EQ(r.tids, c.tids);
        EXPECT_EQ(r.entries, c.entries);
        EXPECT_EQ(r.rejected, c.rejected);
    }
}

TEST(BtreePage, WhatEachKindOfPageYields) {
    const Bytes leafItems = BtreePageBuilder(kBlock).add(indexTuple({1, 1})).build();
    auto withFlags = [&](uint16_t flags) {
        BtreePageBuilder b(kBlock, flags);
        b.add(indexTuple({1, 1}));
        return b.build();
    };
    const struct Case {
        const char* name;
        Bytes page;
        ServerVersion version;
        BtreePageKind kind;
    } cases[] = {
        {"all zero", Bytes(kBlock, 0), kV18, BtreePageKind::kNew},
        {"meta", btreeMetaPage(kBlock, 4), kV18, BtreePageKind::kMeta},
        {"meta of version 2 read by 18", btreeMetaPage(kBlock, 2), kV18, BtreePageKind::kMeta},
        {"internal", withFlags(btree_flags::kRoot), kV18, BtreePageKind::kOther},
        {"deleted", withFlags(btree_flags::kLeaf | btree_flags::kDeleted), kV13,
         BtreePageKind::kOther},
        {"deleted with a full xid", withFlags(btree_flags::kDeleted | btree_flags::kHasFullXid),
         kV14, BtreePageKind::kOther},
        {"half-dead", withFlags(btree_flags::kLeaf | btree_flags::kHalfDead), kV10,
         BtreePageKind::kOther},
        {"incomplete split, 9.6", withFlags(btree_flags::kLeaf | btree_flags::kIncompleteSplit),
         kV96, BtreePageKind::kLeaf},
        // Damage: nothing read.
        {"meta of a newer version", btreeMetaPage(kBlock, 4), kV11, BtreePageKind::kDamaged},
        {"meta with a wrong magic", btreeMetaPage(kBlock, 4, 0x053163), kV18,
         BtreePageKind::kDamaged},
        {"flag 0x80 before 9.4", withFlags(btree_flags::kLeaf | btree_flags::kIncompleteSplit),
         kV93, BtreePageKind::kDamaged},
        {"flag 0x100 before 14", withFlags(btree_flags::kDeleted | btree_flags::kHasFullXid), kV13,
         BtreePageKind::kDamaged},
        {"unknown flag", withFlags(btree_flags::kLeaf | 0x0400), kV18, BtreePageKind::kDamaged},
        {"another index type's mark", BtreePageBuilder(kBlock).cycleId(0xFF81).build(), kV18,
         BtreePageKind::kDamaged},
        {"leaf above level 0", BtreePageBuilder(kBlock).level(1).build(), kV18,
         BtreePageKind::kDamaged},
        {"a version the reader does not know", leafItems, ServerVersion{19, 0},
         BtreePageKind::kDamaged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Read r = readPage(c.page, c.version);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.tids, c.kind == BtreePageKind::kLeaf ? Tids{"1.1"} : Tids{});
    }
}

// A page header or special space that is not what the server writes, and tuples that are not
// where or what their line pointers say, give no TIDs.
TEST(BtreePage, DamageYieldsNothing) {
    const Bytes good = BtreePageBuilder(kBlock)
                           .add(indexTuple({4, 1}))
                           .add(indexTuple({4, 2}))
                           .add(postingTuple({{5, 1}, {5, 2}}))
                           .build();
    ASSERT_EQ(readPage(good, kV18).tids, (Tids{"4.1", "4.2", "5.1", "5.2"}));
    const uint16_t upper = getU16(good, 14);
    const uint32_t item1 = getU32(good, 24);
    const uint32_t item2 = getU32(good, 28);
    const uint32_t item3 = getU32(good, 32);
    const uint16_t off2 = item2 & 0x7FFF;
    const uint16_t off3 = item3 & 0x7FFF;

    const struct Case {
        const char* name;
        size_t at;
        uint32_t value;
        int width;  // 2 or 4
        bool pageRejected;
        Tids tids;
    } cases[] = {
        {"special space moved", 16, kBlock - 24, 2, true, {}},
        {"special space at the end", 16, kBlock, 2, true, {}},
        {"lower below the header", 12, 20, 2, true, {}},
        {"lower above upper", 12, upper + 8u, 2, true, {}},
        {"other page size", 18, 4096 | 4, 2, true, {}},
        {"other layout version", 18, kBlock | 5, 2, true, {}},
        {"item outside the tuples", 24, linePointer(16, 1, 16), 4, false, {"4.2", "5.1", "5.2"}},
        {"item past the special space",
         24,
         linePointer(kBlock - 16, 1, 16),
         4,
         false,
         {"4.2", "5.1", "5.2"}},
        {"item not aligned",
         24,
         linePointer((item1 & 0x7FFF) + 4u, 1, 16),
         4,
         false,
         {"4.2", "5.1", "5.2"}},
        {"t_info size differs", off2 + 6u, 24, 2, false, {"4.1", "5.1", "5.2"}},
        {"item 0 in a heap TID", off2 + 4u, 0, 2, false, {"4.1", "5.1", "5.2"}},
        {"item beyond a heap page", off2 + 4u, 400, 2, false, {"4.1", "5.1", "5.2"}},
        {"invalid block", off2, 0xFFFFFFFF, 4, false, {"4.1", "5.1", "5.2"}},
        {"posting list past the tuple", off3 + 2u, 64, 2, false, {"4.1", "4.2"}},
        {"posting list not sorted", off3 + 16u + 6 + 4, 1, 2, false, {"4.1", "4.2"}},
        {"posting count of 1", off3 + 4u, 0x2001, 2, false, {"4.1", "4.2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes page = good;
        if (c.width == 2)
            setU16(page, c.at, static_cast<uint16_t>(c.value));
        else
            setU32(page, c.at, c.value);
        const Read r = readPage(page, kV18);
        EXPECT_EQ(r.kind == BtreePageKind::kDamaged, c.pageRejected);
        EXPECT_EQ(r.tids, c.tids);
    }
}

TEST(BtreePage, OtherBlockSizes) {
    for (const uint16_t size : {uint16_t{2048}, uint16_t{32768}}) {
        SCOPED_TRACE(size);
        const Bytes page = BtreePageBuilder(size).add(indexTuple({77, 3})).build();
        EXPECT_EQ(readPage(page, kV18, 0, size).tids, (Tids{"77.3"}));
        // A page of one size read as another is no page.
        EXPECT_EQ(readPage(page, kV18, 0, size == 2048 ? 4096 : 16384).kind,
                  BtreePageKind::kDamaged);
    }
    // Heap pages of 2 kB hold at most 72 items: item 100 is no heap TID there.
    const Bytes small = BtreePageBuilder(2048).add(indexTuple({1, 100})).build();
    EXPECT_TRUE(readPage(small, kV18, 0, 2048).tids.empty());
}

TEST(VisibilityMapPage, MarkedBlocks) {
    const struct Case {
        const char* name;
        Bytes page;
        ServerVersion version;
        bool valid;
        std::optional<uint32_t> last;
    } cases[] = {
        {"two bits a block", visibilityMapPage(kBlock, {0, 3, 13}, 2), kV10, true, 13},
        {"one bit a block before 9.6", visibilityMapPage(kBlock, {0, 3, 13}, 1), kV93, true, 13},
        {"last block of the page", visibilityMapPage(kBlock, {(kBlock - 24) * 4 - 1}, 2), kV18,
         true, (kBlock - 24) * 4 - 1},
        {"no bit", visibilityMapPage(kBlock, {}, 2), kV18, true, std::nullopt},
        {"all zero", Bytes(kBlock, 0), kV18, true, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const VisibilityMapPageReader reader(c.version, kBlock);
        const VisibilityMapPageResult r = reader.read(ByteReader(c.page.data(), c.page.size()));
        EXPECT_EQ(r.valid, c.valid);
        EXPECT_EQ(r.lastMarked, c.last);
    }
    // The all-frozen bit alone marks a block too.
    Bytes frozen = visibilityMapPage(kBlock, {}, 2);
    frozen[24 + 2] = 0x02 << 4;  // block 2 * 4 + 2
    const VisibilityMapPageReader reader(kV18, kBlock);
    EXPECT_EQ(reader.read(ByteReader(frozen.data(), frozen.size())).lastMarked, 10u);
    EXPECT_EQ(reader.heapBlocksPerPage(), (kBlock - 24u) * 4);
    EXPECT_EQ(VisibilityMapPageReader(kV93, kBlock).heapBlocksPerPage(), (kBlock - 24u) * 8);
}

TEST(VisibilityMapPage, APageThatIsNoMapPageMarksNothing) {
    const Bytes good = visibilityMapPage(kBlock, {40}, 2);
    const struct Case {
        const char* name;
        size_t at;
        uint16_t value;
    } cases[] = {
        {"special space", 16, kBlock - 16},     {"page size", 18, 4096 | 4},
        {"layout version", 18, kBlock | 2},     {"upper below lower", 14, 16},
        {"upper past special", 14, kBlock + 8},
    };
    const VisibilityMapPageReader reader(kV18, kBlock);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes page = good;
        setU16(page, c.at, c.value);
        const VisibilityMapPageResult r = reader.read(ByteReader(page.data(), page.size()));
        EXPECT_FALSE(r.valid);
        EXPECT_FALSE(r.lastMarked.has_value());
    }
    // A page shorter than a block is not read.
    EXPECT_FALSE(reader.read(ByteReader(good.data(), good.size() - 1)).valid);
}

}  // namespace
}  // namespace vorn::test
