#include "storage/file_node_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "base/file_logger.h"
#include "storage/storage_settings.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

class ScopedServerVersion {
  public:
    ScopedServerVersion(int16_t major, int16_t minor = 0) : saved_(serverVersion) {
        serverVersion = {major, minor};
    }
    ~ScopedServerVersion() { serverVersion = saved_; }

  private:
    ServerVersion saved_;
};

void putU32(std::string& s, size_t at, uint32_t v) {
    if (s.size() < at + 4)
        s.resize(at + 4, '\0');
    std::memcpy(s.data() + at, &v, 4);
}

// A map file: magic, stated count, then mapping i = (oid 1000 + i, node 50000 + i) for each
// of `written` slots, in a file of `length` bytes (0: just the mappings).
std::string mapFile(uint32_t stated, uint32_t written, size_t length,
                    uint32_t magic = FileNodeMap::kMagic) {
    std::string s;
    putU32(s, 0, magic);
    putU32(s, 4, stated);
    for (uint32_t i = 0; i < written; ++i) {
        putU32(s, 8 + 8 * i, 1000 + i);
        putU32(s, 12 + 8 * i, 50000 + i);
    }
    if (length != 0)
        s.resize(length, '\0');
    return s;
}

class FileNodeMapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const ScopedWorkingDir cwd(logDir_.path());
        mainLog().open(logDir_.path().c_str());
    }
    std::string log() const { return logDir_.readFile("vorn.log"); }
    TempDir logDir_;
};

TEST_F(FileNodeMapTest, ReadsUpToStatedCountAndCapacity) {
    struct Case {
        const char* what;
        int16_t major;
        std::string bytes;
        int32_t expectedCount;
    };
    // In a full file the slot after the last mapping is the CRC: as a "mapping" it would be
    // (1000 + capacity, 50000 + capacity).
    const Case cases[] = {
        {"3 of 62", 15, mapFile(3, 62, 512), 3},
        {"stated 100, 512 bytes, v15", 15, mapFile(100, 63, 512), 62},
        {"stated 62, v15", 15, mapFile(62, 63, 512), 62},
        {"stated 64, v16", 16, mapFile(64, 65, 524), 64},
        {"stated 100, v16", 16, mapFile(100, 65, 524), 64},
        {"stated 10, file ends after 2", 15, mapFile(10, 2, 0), 2},
        {"stated 0", 15, mapFile(0, 62, 512), 0},
        {"header only", 15, mapFile(5, 0, 8), 0},
    };
    const TempDir dir;
    for (const Case& c : cases) {
        const ScopedServerVersion version(c.major);
        dir.writeFile("pg_filenode.map", c.bytes);
        FileNodeMap map;
        map.load(dir.path() + "/pg_filenode.map");
        EXPECT_EQ(map.magic(), FileNodeMap::kMagic) << c.what;
        EXPECT_EQ(map.count(), c.expectedCount) << c.what;
        for (int32_t i = 0; i < c.expectedCount; ++i)
            EXPECT_EQ(map.lookup(1000 + i), 50000u + i) << c.what;
        EXPECT_EQ(map.lookup(1000 + c.expectedCount), 0u) << c.what;
    }
    // A stated count the file cannot hold is damage: read what fits, but say so.
    EXPECT_NE(log().find("states 100 mappings, reading 62 (capacity 62, 512 bytes)"),
              std::string::npos)
        << log();
}

TEST_F(FileNodeMapTest, LaterMappingOfAnOidWins) {
    std::string s = mapFile(3, 3, 512);
    putU32(s, 8 + 16, 1000);  // mapping 2 names oid 1000 again
    const TempDir dir;
    dir.writeFile("map", s);
    FileNodeMap map;
    map.load(dir.path() + "/map");
    EXPECT_EQ(map.count(), 3);
    EXPECT_EQ(map.lookup(1000), 50002u);
    EXPECT_EQ(map.lookup(1001), 50001u);
    EXPECT_EQ(map.lookup(0), 0u);
}

TEST_F(FileNodeMapTest, DamagedOrMissingFilesAreErrors) {
    const TempDir dir;
    const std::string path = dir.path() + "/pg_filenode.map";
    struct Case {
        const char* what;
        std::string bytes;
        std::string message;
    };
    const Case cases[] = {
        {"wrong magic", mapFile(3, 3, 512, 0x12345678),
         "unable to read mapfile \"" + path +
             "\", wrong magic number 0x12345678 (expected 0x592717)"},
        {"byte-swapped magic", mapFile(3, 3, 512, 0x17275900),
         "unable to read mapfile \"" + path +
             "\", wrong magic number 0x17275900 (expected 0x592717)"},
        {"empty", "",
         "unable to read mapfile \"" + path + "\", 0 bytes are too short for its header"},
        {"cut in the header", mapFile(3, 3, 6),
         "unable to read mapfile \"" + path + "\", 6 bytes are too short for its header"},
    };
    for (const Case& c : cases) {
        dir.writeFile("pg_filenode.map", c.bytes);
        FileNodeMap map;
        try {
            map.load(path);
            ADD_FAILURE() << c.what;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.message) << c.what;
        }
        EXPECT_EQ(map.count(), 0) << c.what;
        EXPECT_EQ(map.lookup(1000), 0u) << c.what;
    }

    FileNodeMap map;
    try {
        map.load(dir.path() + "/missing.map");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "unable to open mapfile \"" + dir.path() +
                                             "/missing.map\", OS error: No such file or directory");
    }
}

}  // namespace
}  // namespace vorn::test
