// The table unload loop over relations written by the page builder: segment files, read
// groups, damage counting and logging, TOAST wiring and a failing writer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/file_logger.h"
#include "base/progress.h"
#include "storage/data_file.h"
#include "storage/storage_settings.h"
#include "storage/table.h"
#include "tests/storage/support/capturing_writer.h"
#include "tests/storage/support/page_builder.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr uint32_t kDatabase = 5;
constexpr uint32_t kFileNode = 16384;
constexpr uint32_t kToastNode = 16390;

ColumnDef column(int16_t attnum, const char* name, uint32_t type, int32_t len, char align) {
    ColumnDef c;
    c.attnum = attnum;
    c.setName(name);
    c.atttypid = type;
    c.attlen = len;
    c.attalign = align;
    c.attbyval = len > 0 && len <= 8;
    return c;
}

// A progress bar that records the calls the unload makes.
class RecordingProgress : public IProgressBar {
  public:
    std::vector<std::string> calls;

    void begin(uint32_t total) override { calls.push_back("begin " + std::to_string(total)); }
    void setProgress(uint32_t cur) override { calls.push_back("set " + std::to_string(cur)); }
    void finish() override { calls.push_back("finish"); }
    void nop() override {}
    void setProgressText(uint32_t, const std::string&) override {}
    void finishWithMessage(const char*) override {}
    void beginPart(uint32_t, uint32_t, int32_t, int32_t) override {}
    void drawEmpty() override {}
    void update(uint32_t) override {}
    void updateNow(uint32_t) override {}
    void endPart() override {}
    void clearLine(bool) override {}
};

// Every test runs twice: with the reads ahead through io_uring (where the kernel allows it)
// and with synchronous reads, which must give the same rows, counts and log lines.
class TableUnloadTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        savedReadAhead_ = readAheadEnabled();
        setReadAhead(GetParam());
        savedDirectory_ = dataDirectory;
        savedBlockSize_ = blockSize;
        dataDirectory = dir_.path() + "/data";
        blockSize = 8192;
        unloadLog().open((dir_.path() + "/log").c_str());

        table_.dboid = kDatabase;
        table_.PgClass::oid = 16384;
        table_.relfilenode = kFileNode;
        table_.setRelname("t");
        table_.schemaNameOverride = "public";
        table_.setColumns({column(1, "id", 23, 4, 'i'), column(2, "v", 25, -1, 'i')});
    }
    void TearDown() override {
        dataDirectory = savedDirectory_;
        blockSize = savedBlockSize_;
        setReadAhead(savedReadAhead_);
    }

    std::string relationDir() const { return dataDirectory + "/base/" + std::to_string(kDatabase); }
    std::string segment(uint32_t n) const {
        return relationDir() + "/" + std::to_string(kFileNode) + (n ? "." + std::to_string(n) : "");
    }
    std::string logText() const { return dir_.readFile("log/unload_table.log"); }

    static Bytes row(int32_t id, const std::string& v) {
        return HeapTupleBuilder().fixed(le(id), 4).varlenaShort(bytesOf(v)).build();
    }
    // One page per entry of `ids`, holding one row each: (id, "r<id>").
    static std::vector<Bytes> onePagePerRow(int32_t first, int32_t count) {
        std::vector<Bytes> pages;
        for (int32_t id = first; id < first + count; ++id) {
            HeapPageBuilder page(8192);
            page.addTuple(row(id, "r" + std::to_string(id)));
            pages.push_back(page.build());
        }
        return pages;
    }
    static std::vector<int32_t> idsOf(const CapturingWriter& writer) {
        std::vector<int32_t> ids;
        for (const CapturedRow& r : writer.capturedRows()) {
            int32_t id = -1;
            if (r.at(0) && r[0]->size() == 4)
                std::memcpy(&id, r[0]->data(), 4);
            ids.push_back(id);
        }
        return ids;
    }
    static std::vector<int32_t> range(int32_t first, int32_t count) {
        std::vector<int32_t> out;
        for (int32_t i = first; i < first + count; ++i)
            out.push_back(i);
        return out;
    }

    TempDir dir_;
    PgTable table_;

  private:
    std::string savedDirectory_;
    uint16_t savedBlockSize_ = 8192;
    bool savedReadAhead_ = true;
};

INSTANTIATE_TEST_SUITE_P(Reads, TableUnloadTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ReadAhead" : "Synchronous";
                         });

// A relation with storage always has its first segment file, empty or not. Without it (a
// file deleted, a folder not copied, another cluster's data directory) the table fails with
// the path and the system's reason before the writer makes any output; only a relation with
// no storage (file node 0: a partitioned table) reads no file without a word.
TEST_P(TableUnloadTest, RelationWithoutItsFirstSegmentFailsBeforeTheWriterOpens) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string reason;
    };
    const std::string dir = relationDir();
    const std::vector<Case> cases = {
        {"no folder", [] {}, "directory \"" + dir + "\" cannot be read: No such file or directory"},
        {"no file", [&] { std::filesystem::create_directories(dir); },
         "file \"" + segment(0) + "\" cannot be read: No such file or directory"},
        {"only a later segment",
         [&] {
             writeRelation(dir, kFileNode, onePagePerRow(1, 2), 1);
             std::filesystem::remove(segment(0));
         },
         "file \"" + segment(0) + "\" cannot be read: No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir);
        c.arrange();
        CapturingWriter writer;
        const UnloadResult result = table_.unload(writer, nullptr);
        EXPECT_TRUE(result.failed);
        EXPECT_EQ(result.rows, 0u);
        EXPECT_FALSE(writer.opened());
        EXPECT_THAT(writer.messages(), HasSubstr(c.reason));
        EXPECT_THAT(logText(), HasSubstr(c.reason));
    }
}

// A pg_attribute row lost from the middle of a table shifts every attribute after it: the
// table is failed with the numbers it lacks instead of being unloaded as garbage.
TEST_P(TableUnloadTest, ALayoutWithAGapFailsTheTableBeforeAnyOutput) {
    writeRelation(relationDir(), kFileNode, onePagePerRow(1, 3));
    table_.relnatts = 4;
    table_.setColumns({column(1, "id", 23, 4, 'i'), column(3, "v", 25, -1, 'i')});
    EXPECT_EQ(table_.missingAttributes(),
              "the catalogue has no column for attribute numbers 2, 4 of the table's 4: its rows "
              "cannot be decoded");
    CapturingWriter writer;
    const UnloadResult result = table_.unload(writer, nullptr);
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.rows, 0u);
    EXPECT_FALSE(writer.opened());
    EXPECT_THAT(writer.messages(), HasSubstr("attribute numbers 2, 4 of the table's 4"));

    table_.setColumns({column(1, "id", 23, 4, 'i'), column(2, "v", 25, -1, 'i'),
                       column(3, "a", 23, 4, 'i'), column(4, "b", 23, 4, 'i')});
    EXPECT_EQ(table_.missingAttributes(), "");
}

TEST_P(TableUnloadTest, EmptyFirstSegmentAndNoStorageAreEmptyTables) {
    writeRelation(relationDir(), kFileNode, {});
    ASSERT_TRUE(std::filesystem::exists(segment(0)));
    for (const uint32_t fileNode : {kFileNode, 0u}) {
        SCOPED_TRACE(fileNode);
        table_.relfilenode = fileNode;
        CapturingWriter writer;
        RecordingProgress progress;
        const UnloadResult result = table_.unload(writer, &progress);
        EXPECT_EQ(result.rows, 0u);
        EXPECT_TRUE(result.complete()) << writer.messages();
        EXPECT_TRUE(writer.opened());
        EXPECT_TRUE(writer.finished());
        EXPECT_TRUE(writer.writeCalls().empty());
        EXPECT_EQ(writer.blocks(), 0u);
        EXPECT_THAT(progress.calls, ElementsAre("begin 100", "set 0", "finish"));
    }
}

TEST_P(TableUnloadTest, NeverWrittenPagesAreSteppedOverButCounted) {
    writeRelation(relationDir(), kFileNode, std::vector<Bytes>(3, Bytes(8192, 0)));
    CapturingWriter writer;
    const UnloadResult result = table_.unload(writer, nullptr);

    EXPECT_EQ(result.rows, 0u);
    EXPECT_EQ(result.damage.total(), 0u) << result.damage.summary();
    EXPECT_EQ(result.emptyPages, 3u);
    EXPECT_EQ(writer.blocks(), 3u);
    EXPECT_EQ(writer.bytes(), 3u * 8192);
    EXPECT_TRUE(writer.finished());
}

TEST_P(TableUnloadTest, ReadsInGroupsOfOneMebibyteAndReportsProgressPerGroup) {
    writeRelation(relationDir(), kFileNode, onePagePerRow(1, 130));
    CapturingWriter writer;
    RecordingProgress progress;
    const UnloadResult result = table_.unload(writer, &progress);

    EXPECT_THAT(writer.blockCalls(), ElementsAre(128u, 2u));
    EXPECT_EQ(result.rows, 130u);
    EXPECT_EQ(writer.rows(), 130u);
    EXPECT_EQ(idsOf(writer), range(1, 130));
    EXPECT_EQ(writer.writeCalls().size(), 130u);  // once per page with rows
    EXPECT_EQ(writer.capturedRows()[6][1], "r7");
    // Fewer than 100 blocks per percent: a report after every group.
    EXPECT_THAT(progress.calls, ElementsAre("begin 100", "set 0", "set 98", "set 100", "finish"));
}

// Several groups in several segments, with damaged pages at the end and the start of a group
// and a cut last block: every sound page's row comes back in order, each damaged page is
// counted and logged once, and the groups are those of a synchronous scan. Segment 0 is
// shorter than a full segment (1 GiB): the blocks it lacks were lost and are counted.
TEST_P(TableUnloadTest, GroupsAcrossSegmentsKeepTheirOrderAndTheirDamage) {
    constexpr int32_t kPages = 600;  // two segments of 300 blocks: groups of 128, 128 and 44
    std::vector<Bytes> pages = onePagePerRow(1, kPages);
    setU16(pages[127], 12, 8190);  // block 127 of segment 0, the last of its group
    setU8(pages[128], 18, 5);      // block 128, the first of the next
    setU16(pages[400], 12, 8190);  // block 100 of segment 1
    const std::vector<std::string> paths = writeRelation(relationDir(), kFileNode, pages, 300);
    ASSERT_EQ(paths.size(), 2u);
    {
        std::ofstream cut(paths[1], std::ios::binary | std::ios::app);
        cut << std::string(100, 'x');
    }
    CapturingWriter writer;
    const UnloadResult result = table_.unload(writer, nullptr);

    std::vector<int32_t> expected;
    for (int32_t id = 1; id <= kPages; ++id)
        if (id != 128 && id != 129 && id != 401)
            expected.push_back(id);
    EXPECT_EQ(idsOf(writer), expected);
    EXPECT_EQ(result.rows, expected.size());
    EXPECT_THAT(writer.blockCalls(), ElementsAre(128u, 128u, 44u, 128u, 128u, 44u));
    constexpr uint64_t kFullSegment = (uint64_t{1} << 30) / 8192;
    EXPECT_EQ(result.damage.pagesSkipped, 3u);
    EXPECT_EQ(result.damage.blocksUnreadable, 1u + (kFullSegment - 300));
    EXPECT_EQ(result.damage.total(), 3u + 1u + (kFullSegment - 300)) << result.damage.summary();
    EXPECT_FALSE(result.failed);
    const std::string log = logText();
    EXPECT_THAT(log, HasSubstr("file \"" + segment(0) +
                               "\" holds 300 blocks, but a segment before "
                               "the last holds 131072: blocks 300 to 131071 are missing"));
    EXPECT_THAT(log, HasSubstr("file \"" + segment(0) + "\" block 127: page skipped: "));
    EXPECT_THAT(log, HasSubstr("file \"" + segment(0) +
                               "\" block 128: page skipped: unknown page layout version 5"));
    EXPECT_THAT(log, HasSubstr("file \"" + segment(1) + "\" block 100: page skipped: "));
    EXPECT_THAT(log, HasSubstr("file \"" + segment(1) +
                               "\" ends in a partial block of 100 bytes after block 300"));

    // A writer that fails with reads still ahead ends the unload there.
    CapturingWriter failing;
    failing.failWriteCall = 200;
    const UnloadResult failed = table_.unload(failing, nullptr);
    EXPECT_TRUE(failed.failed);
    EXPECT_EQ(failed.rows, 0u);
    EXPECT_EQ(failing.writeCalls().size(), 200u);
    EXPECT_FALSE(failing.finished());
}

TEST_P(TableUnloadTest, TrailingPartialBlockIsNeverReadAndIsCountedAsLost) {
    std::vector<Bytes> pages = onePagePerRow(1, 2);
    pages.push_back(Bytes(pages[0].begin(), pages[0].begin() + 100));  // the head of a page
    writeRelation(relationDir(), kFileNode, pages);
    CapturingWriter writer;
    const UnloadResult result = table_.unload(writer, nullptr);

    EXPECT_EQ(idsOf(writer), range(1, 2));
    EXPECT_EQ(writer.blocks(), 2u);
    EXPECT_EQ(result.damage.blocksUnreadable, 1u);
    EXPECT_FALSE(result.failed);
    EXPECT_THAT(logText(), HasSubstr("ends in a partial block of 100 bytes after block 2"));
}

// A segment number missing before one that exists is a lost file with all its rows; the
// segments around it are still read.
TEST_P(TableUnloadTest, MissingOrUnreadableMiddleSegmentIsCountedAndTheNextIsRead) {
    struct Case {
        const char* name;
        void (*damage)(const std::string& path);
    };
    const Case cases[] = {
        {"missing", [](const std::string& p) { fs::remove(p); }},
        {"a directory",
         [](const std::string& p) {
             fs::remove(p);
             fs::create_directory(p);
         }},
        {"a dangling link",
         [](const std::string& p) {
             fs::remove(p);
             fs::create_symlink(p + ".gone", p);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(relationDir());
        writeRelation(relationDir(), kFileNode, onePagePerRow(1, 3), 1);
        c.damage(segment(1));
        CapturingWriter writer;
        const UnloadResult result = table_.unload(writer, nullptr);

        EXPECT_EQ(idsOf(writer), (std::vector<int32_t>{1, 3}));
        EXPECT_EQ(result.rows, 2u);
        EXPECT_EQ(result.damage.segmentsUnreadable, 1u);
        EXPECT_FALSE(result.failed);
        EXPECT_TRUE(writer.finished());
        EXPECT_THAT(writer.messages(), HasSubstr("1 segment unreadable"));
        EXPECT_THAT(logText(), HasSubstr("[obj#: 16384] table \"public\".\"t\" file \"" +
                                         segment(1) + "\" is missing (segment 2 exists)"));
    }
}

// Damaged pages and tuples are counted and logged with file, block and reason; the rows
// of the sound pages, and the sound rows of a damaged page, all come back.
TEST_P(TableUnloadTest, DamagedPagesAndTuplesAreCountedLoggedAndSteppedOver) {
    struct Case {
        const char* name;
        void (*damage)(Bytes& page);
        uint64_t UnloadDamage::*counter;
        std::vector<int32_t> ids;  // expected rows of the three pages, page 1 damaged
        const char* logged;
    };
    const Case cases[] = {
        {"page header",
         [](Bytes& p) { setU16(p, 12, 8190); },
         &UnloadDamage::pagesSkipped,
         {1, 3},
         "block 1: page skipped: "},
        {"layout version",
         [](Bytes& p) { setU8(p, 18, 5); },
         &UnloadDamage::pagesSkipped,
         {1, 3},
         "block 1: page skipped: unknown page layout version 5"},
        {"tuple",
         [](Bytes& p) {
             // A second tuple on the page whose text value is cut off by its line pointer.
             HeapPageBuilder page(8192);
             page.addTuple(row(20, "r20"));
             page.addTuple(HeapTupleBuilder().fixed(le(int32_t{21}), 4).natts(2).build());
             page.addTuple(row(22, "r22"));
             p = page.build();
         },
         &UnloadDamage::tuplesRejected,
         {1, 20, 22, 3},
         "block 1 item 2: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> pages = onePagePerRow(1, 3);
        c.damage(pages[1]);
        fs::remove_all(relationDir());
        writeRelation(relationDir(), kFileNode, pages);
        CapturingWriter writer;
        const UnloadResult result = table_.unload(writer, nullptr);

        EXPECT_EQ(idsOf(writer), c.ids);
        EXPECT_EQ(result.rows, c.ids.size());
        EXPECT_EQ(result.damage.*c.counter, 1u);
        EXPECT_EQ(result.damage.total(), 1u) << result.damage.summary();
        EXPECT_FALSE(result.failed);
        EXPECT_TRUE(writer.finished());
        EXPECT_THAT(writer.messages(), HasSubstr("Unload table \"public\".\"t\" incomplete: 1 "));
        EXPECT_THAT(logText(), HasSubstr("[obj#: 16384] table \"public\".\"t\" file \"" +
                                         segment(0) + "\" " + c.logged));
    }
}

TEST_P(TableUnloadTest, WriterFailuresEndTheUnloadAsFailed) {
    struct Case {
        const char* name;
        void (*arm)(CapturingWriter& w);
        const char* message;
        const char* logged;
        size_t writeCalls;
        bool finished;
    };
    const Case cases[] = {
        {"open", [](CapturingWriter& w) { w.failOpen = true; },
         "\nBegin unload table \"public\".\"t\" error: disk full",
         "[obj#: 16384] table \"public\".\"t\" begin unload error: disk full", 0, false},
        // finish would close the output as if the table were whole: it is not called.
        {"writeRows", [](CapturingWriter& w) { w.failWriteCall = 2; },
         "\nWrite rows of table \"public\".\"t\" error: disk full",
         "[obj#: 16384] table \"public\".\"t\" write rows error: disk full", 2, false},
        {"finish", [](CapturingWriter& w) { w.failFinish = true; },
         "\nFinish unload table \"public\".\"t\" error: disk full",
         "[obj#: 16384] table \"public\".\"t\" finish unload error: disk full", 3, false},
    };
    writeRelation(relationDir(), kFileNode, onePagePerRow(1, 3));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CapturingWriter writer;
        writer.failureText = "disk full";
        c.arm(writer);
        const UnloadResult result = table_.unload(writer, nullptr);

        EXPECT_TRUE(result.failed);
        EXPECT_EQ(result.rows, 0u);
        EXPECT_EQ(writer.messages(), c.message);
        EXPECT_EQ(writer.writeCalls().size(), c.writeCalls);
        EXPECT_EQ(writer.finished(), c.finished);
        EXPECT_THAT(logText(), HasSubstr(c.logged));
    }
}

TEST_P(TableUnloadTest, BlockSizeOutOfRangeFailsBeforeTheWriterOpens) {
    blockSize = 1024;
    CapturingWriter writer;
    const UnloadResult result = table_.unload(writer, nullptr);

    EXPECT_TRUE(result.failed);
    EXPECT_FALSE(writer.opened());
    EXPECT_EQ(writer.messages(),
              "\nBegin unload table \"public\".\"t\" error: block size [1024] must between 2048 "
              "and 32768");
}

// More rows than a batch holds on one 32 KiB page: the page is handed over in two batches.
TEST_P(TableUnloadTest, PageOfMoreRowsThanABatchIsHandedOverInTwoCalls) {
    blockSize = 32768;
    struct Case {
        const char* name;
        Bytes (*page)();
    };
    const Case cases[] = {
        {"heap page, 24-byte tuples of one NULL",
         [] {
             HeapPageBuilder page(32768);
             for (int i = 0; i < 1100; ++i)
                 page.addTuple(HeapTupleBuilder().null().build());
             return page.build();
         }},
        {"U page, 15-byte tuples",
         [] {
             UPageBuilder page(32768, 7, 0);
             for (int32_t i = 0; i < 1100; ++i)
                 page.addTuple(UTupleBuilder().fixed(le(i), 1).build(), 1, 1);
             return page.build();
         }},
    };
    table_.setColumns({column(1, "id", 23, 4, 'i')});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(relationDir());
        writeRelation(relationDir(), kFileNode, {c.page()});
        CapturingWriter writer;
        const UnloadResult result = table_.unload(writer, nullptr);

        EXPECT_EQ(result.rows, 1100u);
        EXPECT_EQ(result.damage.total(), 0u) << result.damage.summary();
        EXPECT_THAT(writer.writeCalls(), ElementsAre(kBatchRows, 1100 - kBatchRows));
        ASSERT_EQ(writer.capturedRows().size(), 1100u);
        if (writer.capturedRows()[0][0]) {
            EXPECT_EQ(idsOf(writer), range(0, 1100));
        }
    }
}

// The TOAST relation's chunk index is built for the unload, serves the fetch, counts a value
// whose chunks are gone, and is emptied afterwards.
TEST_P(TableUnloadTest, ExternalValuesAreFetchedAndMissingOnesCounted) {
    PgToastTable toast;
    toast.dboid = kDatabase;
    toast.PgClass::oid = kToastNode;
    toast.relfilenode = kToastNode;
    toast.relkind = 't';
    table_.toast = &toast;
    table_.reltoastrelid = kToastNode;

    Bytes big;
    for (int i = 0; i < 5000; ++i)
        big.push_back(static_cast<uint8_t>('a' + i % 26));
    std::vector<Bytes> chunkTuples;
    for (const ToastChunk& chunk : toastChunks(900, big, 1996))
        chunkTuples.push_back(heapToastTuple(chunk));
    writeRelation(relationDir(), kToastNode, packHeapPages(chunkTuples, 8192));

    const auto external = [](int32_t id, uint32_t valueId, size_t size) {
        return HeapTupleBuilder()
            .fixed(le(id), 4)
            .externalPointer(int32_t(size + 4), uint32_t(size), valueId, kToastNode)
            .build();
    };
    writeRelation(relationDir(), kFileNode,
                  packHeapPages({external(1, 900, big.size()), external(2, 901, 300)}, 8192));
    CapturingWriter writer;
    const UnloadResult result = table_.unload(writer, nullptr);

    ASSERT_EQ(writer.capturedRows().size(), 2u);
    EXPECT_EQ(writer.capturedRows()[0][1], std::string(big.begin(), big.end()));
    EXPECT_FALSE(writer.capturedRows()[1][1].has_value());  // its chunks do not exist
    EXPECT_EQ(result.damage.toastValuesMissing, 1u);
    EXPECT_EQ(result.damage.total(), 1u) << result.damage.summary();
    EXPECT_TRUE(toast.chunkIndex.empty());
    EXPECT_EQ(toast.chunkIndex.capacity(), 0u);
    EXPECT_THAT(logText(), HasSubstr("1 TOAST value missing"));
}

}  // namespace
}  // namespace vorn::test
