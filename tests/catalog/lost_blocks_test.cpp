// A catalogue's lost blocks, from index and visibility map files written byte by byte: the
// indexes must agree before their entries count, a file that is no b-tree or no map is no
// evidence, and the warning names the file and the blocks.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalog/lost_blocks.h"
#include "storage/file_node_map.h"
#include "storage/storage_settings.h"
#include "tests/storage/support/index_page_builder.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

constexpr uint16_t kBlock = 8192;
constexpr uint32_t kHeap = 1259, kIndexA = 2662, kIndexB = 2663, kIndexC = 3455;

class FakeMap : public IFileNodeMap {
  public:
    std::unordered_map<uint32_t, uint32_t> nodes;
    uint32_t lookup(uint32_t oid) const override {
        const auto it = nodes.find(oid);
        return it == nodes.end() ? 0 : it->second;
    }
    int32_t magic() const override { return FileNodeMap::kMagic; }
    int32_t count() const override { return static_cast<int32_t>(nodes.size()); }
};

class LostBlocksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        serverVersion = {18, 0};
        blockSize = kBlock;
        // A heap of 7 blocks; what is in them does not matter here.
        writeFileBytes(path(kHeap), Bytes(size_t{7} * kBlock, 0));
        files_.directory = dir_.path();
        files_.heapFileNode = kHeap;
        files_.indexFileNodes = {kIndexA, kIndexB, kIndexC};
    }
    void TearDown() override {
        serverVersion = savedVersion_;
        blockSize = savedBlockSize_;
    }
    std::string path(uint32_t node, const std::string& fork = "") const {
        return dir_.path() + "/" + std::to_string(node) + fork;
    }
    // An index of a meta page and one leaf per TID list.
    void writeIndex(uint32_t node, const std::vector<std::vector<Tid>>& leaves) const {
        std::vector<Bytes> pages = {btreeMetaPage(kBlock, 4)};
        for (const std::vector<Tid>& tids : leaves) {
            BtreePageBuilder leaf(kBlock);
            for (const Tid& tid : tids)
                leaf.add(indexTuple(tid));
            pages.push_back(leaf.build());
        }
        writeFileBytes(path(node), joinPages(pages));
    }
    LostBlocks find() const { return findLostBlocks(files_, heapFileBlocks(files_)); }

    TempDir dir_;
    CatalogFiles files_;
    ServerVersion savedVersion_ = serverVersion;
    uint16_t savedBlockSize_ = blockSize;
};

const std::vector<Tid> kInside = {{0, 1}, {3, 4}, {6, 20}};
const std::vector<Tid> kPast = {{7, 1}, {7, 2}, {9, 5}};

TEST_F(LostBlocksTest, IndexesAndMapThatAgreeWithTheFileSayNothing) {
    writeIndex(kIndexA, {kInside});
    writeIndex(kIndexB, {kInside});
    writeIndex(kIndexC, {kInside});
    writeFileBytes(path(kHeap, "_vm"), visibilityMapPage(kBlock, {0, 6}, 2));
    const LostBlocks lost = find();
    EXPECT_EQ(lost.fileBlocks, 7u);
    EXPECT_FALSE(lost.any());
}

TEST_F(LostBlocksTest, EntriesPastTheEndCountWhereTwoIndexesAgree) {
    const struct Case {
        const char* name;
        std::vector<std::vector<Tid>> a, b, c;  // empty: the index file is missing
        uint64_t rows;
        uint32_t first, last;
    } cases[] = {
        {"all three", {kInside, kPast}, {kPast, kInside}, {kPast}, 3, 7, 9},
        // One index alone (a damaged one, say) does not raise the alarm.
        {"one of three", {kInside, kPast}, {kInside}, {kInside}, 0, 0, 0},
        {"two of three",
         {kInside, {{7, 2}, {8, 1}}},
         {kInside, {{7, 2}, {8, 1}}},
         {kInside},
         2,
         7,
         8},
        // Only one index readable: its word is all there is.
        {"the only readable index", {kInside, kPast}, {}, {}, 3, 7, 9},
        // An entry repeated on two pages of one index is one row, and does not agree with
        // itself.
        {"repeated in one index", {{{8, 3}}, {{8, 3}}}, {kInside}, {kInside}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [node, leaves] :
             {std::pair{kIndexA, c.a}, std::pair{kIndexB, c.b}, std::pair{kIndexC, c.c}}) {
            std::filesystem::remove(path(node));
            if (!leaves.empty())
                writeIndex(node, leaves);
        }
        const LostBlocks lost = find();
        EXPECT_EQ(lost.indexRows, c.rows);
        EXPECT_EQ(lost.firstIndexBlock, c.first);
        EXPECT_EQ(lost.lastIndexBlock, c.last);
        EXPECT_FALSE(lost.lastMarkedBlock.has_value());
    }
}

// A file that is not a b-tree (block 0 no meta page, a meta page elsewhere, another block
// size) is no evidence, even when it is the only index.
TEST_F(LostBlocksTest, AFileThatIsNoBtreeIsNoEvidence) {
    BtreePageBuilder leaf(kBlock);
    for (const Tid& tid : kPast)
        leaf.add(indexTuple(tid));
    const Bytes pastLeaf = leaf.build();
    const struct Case {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"no meta page", joinPages({pastLeaf, pastLeaf})},
        {"a second meta page",
         joinPages({btreeMetaPage(kBlock, 4), pastLeaf, btreeMetaPage(kBlock, 4)})},
        {"meta page of a newer version", joinPages({btreeMetaPage(kBlock, 5), pastLeaf})},
        {"empty", Bytes{}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFileBytes(path(kIndexA), c.bytes);
        EXPECT_FALSE(find().any());
    }
    // The same leaf behind a meta page is evidence.
    writeFileBytes(path(kIndexA), joinPages({btreeMetaPage(kBlock, 4), pastLeaf}));
    EXPECT_EQ(find().indexRows, 3u);
}

TEST_F(LostBlocksTest, TheVisibilityMapMarksBlocksPastTheEnd) {
    const uint32_t perPage = (kBlock - 24) * 4;
    const struct Case {
        const char* name;
        std::vector<Bytes> pages;
        std::optional<uint64_t> last;
    } cases[] = {
        {"block 12 marked", {visibilityMapPage(kBlock, {2, 12}, 2)}, 12},
        {"block 7, the first past the end", {visibilityMapPage(kBlock, {7}, 2)}, 7},
        {"second map page",
         {visibilityMapPage(kBlock, {1}, 2), visibilityMapPage(kBlock, {3}, 2)},
         perPage + 3},
        {"second map page empty",
         {visibilityMapPage(kBlock, {1}, 2), Bytes(kBlock, 0)},
         std::nullopt},
        // A page that is no map page marks nothing, also where its bytes look like bits.
        {"garbage page", {Bytes(kBlock, 0x5a)}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFileBytes(path(kHeap, "_vm"), joinPages(c.pages));
        EXPECT_EQ(find().lastMarkedBlock, c.last);
    }
    // Before 9.6 one bit a block: the byte that marks block 12 at two bits marks 24.
    serverVersion = {9, 5};
    writeFileBytes(path(kHeap, "_vm"), visibilityMapPage(kBlock, {12}, 2));
    EXPECT_EQ(find().lastMarkedBlock, 24u);
}

TEST_F(LostBlocksTest, TheWarningNamesTheFileAndTheBlocks) {
    LostBlocks lost;
    lost.fileBlocks = 7;
    lost.indexRows = 23;
    lost.firstIndexBlock = 7;
    lost.lastIndexBlock = 13;
    lost.lastMarkedBlock = 13;
    EXPECT_EQ(lostBlocksText("pg_class of database vorn (oid 16384)", "/d/base/16384/1259", lost),
              "pg_class of database vorn (oid 16384) lost blocks: \"/d/base/16384/1259\" holds "
              "7 blocks, but its indexes point at 23 rows in blocks 7 to 13 and its visibility "
              "map marks blocks up to 13; what the lost blocks held is not in the dictionary");
    lost.fileBlocks = 1;
    lost.indexRows = 1;
    lost.lastIndexBlock = 7;
    lost.lastMarkedBlock.reset();
    EXPECT_EQ(lostBlocksText("pg_database", "/d/global/1262", lost),
              "pg_database lost blocks: \"/d/global/1262\" holds 1 block, but its indexes point "
              "at 1 row in block 7; what the lost blocks held is not in the dictionary");
    lost.indexRows = 0;
    lost.lastMarkedBlock = 9;
    EXPECT_EQ(lostBlocksText("pg_namespace of database x (oid 5)", "/p", lost),
              "pg_namespace of database x (oid 5) lost blocks: \"/p\" holds 1 block, but its "
              "visibility map marks blocks up to 9; what the lost blocks held is not in the "
              "dictionary");
}

// The indexes' files: the relation map first, then the pg_class row, then the OID.
TEST_F(LostBlocksTest, IndexFileNodesComeFromTheMapThenPgClassThenTheOid) {
    FakeMap map;
    map.nodes = {{kIndexA, 50001}};
    const std::unordered_map<uint32_t, uint32_t> classNodes = {{kIndexA, 0}, {kIndexB, 50002}};
    EXPECT_EQ(catalogFiles(CatalogKind::kClass, "/d", kHeap, &map, classNodes).indexFileNodes,
              (std::vector<uint32_t>{50001, 50002, kIndexC}));
    EXPECT_EQ(catalogFiles(CatalogKind::kClass, "/d", kHeap, nullptr, classNodes).indexFileNodes,
              (std::vector<uint32_t>{kIndexA, 50002, kIndexC}));
    EXPECT_EQ(
        catalogFiles(CatalogKind::kNamespace, "/d", 2615, nullptr, {{2684, 60000}}).indexFileNodes,
        (std::vector<uint32_t>{60000, 2685}));
    // pg_class_tblspc_relfilenode_index came with 9.4.
    serverVersion = {9, 3};
    EXPECT_EQ(catalogIndexOids(CatalogKind::kClass, serverVersion),
              (std::vector<uint32_t>{kIndexA, kIndexB}));
    EXPECT_EQ(catalogIndexOids(CatalogKind::kDatabase, serverVersion),
              (std::vector<uint32_t>{2671, 2672}));
    EXPECT_EQ(catalogIndexOids(CatalogKind::kAttribute, serverVersion),
              (std::vector<uint32_t>{2658, 2659}));
}

}  // namespace
}  // namespace vorn::test
