#include "storage/relation_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "storage/storage_settings.h"
#include "storage/table.h"
#include "tests/storage/relation_path_test_util.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

// Sets the process-wide data directory and server version for one test and puts them back.
class ScopedStorageSettings {
  public:
    ScopedStorageSettings(const std::string& dir, int16_t major, int16_t minor = 0)
        : dir_(dataDirectory), version_(serverVersion) {
        dataDirectory = dir;
        serverVersion = {major, minor};
    }
    ~ScopedStorageSettings() {
        dataDirectory = dir_;
        serverVersion = version_;
    }

  private:
    std::string dir_;
    ServerVersion version_;
};

TEST(RelationPathTest, DirectoryByDatabaseAndTablespace) {
    const TempDir data;
    fs::create_directories(data.path() + "/pg_tblspc/16500/PG_15_202209061");
    fs::create_directories(data.path() + "/pg_tblspc/16600/PG_15_202209061");
    const ScopedStorageSettings settings(data.path(), 15);
    struct Case {
        uint32_t dboid, reltablespace, dbTablespace;
        std::string expected;
    };
    const Case cases[] = {
        {0, 0, 0, "global"},
        {0, 16500, 0, "global"},  // shared catalogues live in global/ whatever the tablespace
        {16384, 0, 0, "base/16384"},
        {16384, 1663, 0, "base/16384"},
        {16384, 0, 1663, "base/16384"},
        {16384, 1664, 0, "global"},
        {16384, 16500, 0, "pg_tblspc/16500/PG_15_202209061/16384"},
        // A database whose default is a tablespace keeps reltablespace-0 tables there.
        {16384, 0, 16600, "pg_tblspc/16600/PG_15_202209061/16384"},
        {16384, 16500, 16600, "pg_tblspc/16500/PG_15_202209061/16384"},
        {16384, 1663, 16600, "base/16384"},
        {16384, 16999, 0, "pg_tblspc/16999/PG_/16384"},  // tablespace directory missing
    };
    for (const Case& c : cases)
        EXPECT_EQ(relationDirectory(relation(c.dboid, c.reltablespace, c.dbTablespace)),
                  data.path() + "/" + c.expected)
            << c.dboid << " " << c.reltablespace << " " << c.dbTablespace;
}

TEST(RelationPathTest, TablespaceVersionDirectory) {
    const TempDir data;
    const TempDir elsewhere;
    const std::string ts = data.path() + "/pg_tblspc/";
    // One tablespace used by several server versions, plus things that are not candidates.
    for (const char* d : {"PG_9.6_201608131", "PG_15_202209061", "PG_16_202307071"})
        fs::create_directories(ts + "16500/" + d);
    data.writeFile("pg_tblspc/16500/PG_17_202406281", "a file, not a directory");
    fs::create_directories(ts + "16501/other");
    fs::create_directories(elsewhere.path() + "/PG_12_201909212");
    fs::create_directory_symlink(elsewhere.path(), ts + "16502");  // as initdb/CREATE do

    struct Case {
        uint32_t tablespace;
        int16_t major, minor;
        std::string expected;
    };
    const Case cases[] = {
        {16500, 15, 0, "PG_15_202209061"},
        {16500, 16, 0, "PG_16_202307071"},
        {16500, 9, 6, "PG_9.6_201608131"},
        {16500, 9, 5, "PG_15_202209061"},
        {16500, 12, 0, "PG_15_202209061"},  // no match: the first by name
        {16500, 17, 0, "PG_15_202209061"},  // PG_17_ is a file
        {16501, 15, 0, "PG_"},
        {16502, 12, 0, "PG_12_201909212"},
        {16999, 15, 0, "PG_"},
    };
    for (const Case& c : cases) {
        const ScopedStorageSettings settings(data.path(), c.major, c.minor);
        EXPECT_EQ(tablespacePath(c.tablespace), c.expected)
            << c.tablespace << " v" << c.major << "." << c.minor;
    }
}

TEST(RelationPathTest, SegmentFilesAreTheAllDigitSuffixes) {
    const TempDir dir;
    const TempDir elsewhere;
    for (const char* name : {"16384", "16384.2", "16384.1", "16384_fsm", "16384_vm", "16384_init",
                             "16384.0", "16384.00", "16384.x", "16384.1.bak", "16384.-1",
                             "16384.+3", "16384.", "163840", "1638", "16384.99999999999"})
        dir.writeFile(name, name);                  // size = length of the name
    fs::create_directory(dir.path() + "/16384.3");  // not a regular file
    elsewhere.writeFile("seg", "1234");
    fs::create_symlink(elsewhere.path() + "/seg", dir.path() + "/16384.4");  // followed

    std::vector<SegmentFile> segments;
    EXPECT_EQ(listSegmentFiles(dir.path(), 16384, segments), 4u);
    ASSERT_EQ(segments.size(), 4u);
    const uint32_t numbers[] = {0, 1, 2, 4};
    const uint64_t sizes[] = {5, 7, 7, 4};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(segments[i].number, numbers[i]);
        EXPECT_EQ(segments[i].size, sizes[i]);
    }
}

TEST(RelationPathTest, SegmentListEdgeCases) {
    const TempDir only1;
    only1.writeFile("16384.1", "x");
    std::vector<SegmentFile> segments;
    EXPECT_EQ(listSegmentFiles(only1.path(), 16384, segments), 1u);
    EXPECT_EQ(segments.at(0).number, 1u);

    const TempDir empty;
    std::vector<SegmentFile> none;
    EXPECT_EQ(listSegmentFiles(empty.path(), 16384, none), 0u);
    EXPECT_EQ(listSegmentFiles(empty.path() + "/missing", 16384, none), 0u);
    empty.writeFile("plainfile", "x");
    EXPECT_EQ(listSegmentFiles(empty.path() + "/plainfile", 16384, none), 0u);
    EXPECT_TRUE(none.empty());

    // Segments of 1 GiB and more keep their size (a sparse 5 GiB file).
    const TempDir big;
    big.writeFile("16384.1", "");
    fs::resize_file(big.path() + "/16384.1", uint64_t{5} << 30);
    std::vector<SegmentFile> large;
    listSegmentFiles(big.path(), 16384, large);
    EXPECT_EQ(large.at(0).size, uint64_t{5} << 30);
}

TEST(RelationPathTest, TwoFilesForOneSegmentAreAnError) {
    const TempDir dir;
    dir.writeFile("16384", "");
    dir.writeFile("16384.1", "");
    dir.writeFile("16384.01", "");
    std::vector<SegmentFile> segments;
    try {
        listSegmentFiles(dir.path(), 16384, segments);
        FAIL();
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(dir.path()), std::string::npos) << what;
        EXPECT_NE(what.find("16384"), std::string::npos) << what;
    }
    EXPECT_TRUE(segments.empty());
}

TEST(RelationPathTest, SegmentPath) {
    EXPECT_EQ(segmentPath("/d/base/5", 16384, 0), "/d/base/5/16384");
    EXPECT_EQ(segmentPath("/d/base/5", 16384, 12), "/d/base/5/16384.12");
}

}  // namespace
}  // namespace vorn::test
