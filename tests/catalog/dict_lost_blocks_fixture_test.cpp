// A catalogue file cut at a block boundary reads as a smaller, healthy file: bootstrap must
// notice it from the catalogue's indexes and visibility map, name the file and the blocks,
// and keep the dictionary it replaces. On the oldest and newest server and Debian's.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/file_logger.h"
#include "catalog/dict_cache.h"
#include "catalog/dictionary.h"
#include "storage/file_node_map.h"
#include "tests/storage/support/copy_text.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

// The lines of a cache file whose first field (the database OID) is `dboid`.
size_t linesOfDatabase(const std::string& text, uint32_t dboid) {
    const std::string prefix = std::to_string(dboid) + "|";
    std::istringstream in(text);
    size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

// Line pointers of the heap pages from block `from` on: no more row versions than that can
// have lain there.
size_t linePointersFrom(const std::string& heap, size_t from, size_t blockSize) {
    size_t n = 0;
    for (size_t at = from * blockSize; at + blockSize <= heap.size(); at += blockSize) {
        uint16_t lower = 0;
        std::memcpy(&lower, heap.data() + at + 12, 2);
        n += lower > 24 ? (lower - 24u) / 4 : 0;
    }
    return n;
}

class DictLostBlocks : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        VORN_FIXTURE_OR_SKIP(manifest, GetParam());
        manifest_ = manifest;
        settings_.use(manifest_);
        Dictionary::instance().setServerVersion(static_cast<int16_t>(manifest_.server.major),
                                                static_cast<int16_t>(manifest_.server.minor));
        dictDirectory = dir_.path() + "/dict";
        fs::create_directories(dictDirectory);
        mainLog().open(dir_.path().c_str());
        farm_ = dir_.path() + "/data";
        linkFarm(manifest_.dataDir, farm_);
        dataDirectory = farm_;
        // The whole data directory first: the dictionary a damaged one must not replace
        // unseen.
        Dictionary::instance().generate(nullptr);
        ASSERT_TRUE(Dictionary::instance().generationWarnings().empty());
        for (DictFile f : files_)
            good_.push_back(readFileBytes(dictFilePath(f)));
    }
    void TearDown() override { dictDirectory = saved_; }

    // The file of mapped catalogue `oid` of vorn in the farm.
    std::string catalogueFile(uint32_t oid) const {
        const std::string dir = farm_ + "/base/" + std::to_string(vornOid());
        FileNodeMap map;
        map.load(dir + "/pg_filenode.map");
        return dir + "/" + std::to_string(map.lookup(oid));
    }
    uint32_t vornOid() const { return manifest_.findDatabase("vorn")->oid; }

    const DictFile files_[4] = {DictFile::kDatabase, DictFile::kNamespace, DictFile::kClass,
                                DictFile::kAttribute};
    FixtureManifest manifest_;
    FixtureServerSettings settings_;
    TempDir dir_;
    std::string saved_ = dictDirectory;
    std::string farm_;
    std::vector<std::string> good_;
};

INSTANTIATE_TEST_SUITE_P(Builds, DictLostBlocks, ::testing::Values("pg10", "pg18", "deb15"),
                         [](const auto& info) { return info.param; });

TEST_P(DictLostBlocks, ACatalogueCutToHalfItsBlocksIsNamedWithTheBlocksLost) {
    const size_t block = manifest_.server.blockSize;
    const struct Case {
        const char* name;
        uint32_t oid;
        DictFile file;  // the cache file its rows go to
    } cases[] = {{"pg_class", 1259, DictFile::kClass},
                 {"pg_attribute", 1249, DictFile::kAttribute}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(farm_);
        linkFarm(manifest_.dataDir, farm_);
        for (size_t i = 0; i < std::size(files_); ++i)
            std::ofstream(dictFilePath(files_[i]), std::ios::binary) << good_[i];
        fs::remove_all(dictDirectory + "/previous");

        // The farm links the fixture's file: the cut goes to a fresh file in its place.
        const std::string file = catalogueFile(c.oid);
        const std::string whole = readFileBytes(file);
        const size_t blocks = whole.size() / block;
        ASSERT_GE(blocks, 4u);
        const size_t kept = blocks / 2;
        fs::remove(file);
        std::ofstream(file, std::ios::binary) << whole.substr(0, kept * block);
        ASSERT_EQ(fs::file_size(manifest_.dataDir + file.substr(farm_.size())), whole.size());

        ASSERT_NO_THROW(Dictionary::instance().generate(nullptr));
        EXPECT_TRUE(Dictionary::instance().databaseFailures().empty());
        const std::vector<std::string>& warnings = Dictionary::instance().generationWarnings();
        ASSERT_EQ(warnings.size(), 1u);
        const std::string& warning = warnings[0];
        const std::string head = fmt::format(
            "{} of database vorn (oid {}) lost blocks: \"{}\" holds {} blocks, but its indexes "
            "point at ",
            c.name, vornOid(), file, kept);
        ASSERT_EQ(warning.rfind(head, 0), 0u) << warning;
        // The rows the indexes name: at least the visible ones the dictionary lost, at most
        // as many as the lost blocks had line pointers.
        const uint64_t rows = std::stoull(warning.substr(head.size()));
        const std::string now = readFileBytes(dictFilePath(c.file));
        const size_t index = static_cast<size_t>(
            std::find(std::begin(files_), std::end(files_), c.file) - std::begin(files_));
        const size_t lost =
            linesOfDatabase(good_[index], vornOid()) - linesOfDatabase(now, vornOid());
        EXPECT_GT(lost, 0u);
        EXPECT_GE(rows, lost);
        EXPECT_LE(rows, linePointersFrom(whole, kept, block));
        EXPECT_NE(warning.find(fmt::format(" rows in blocks {} to {}", kept, blocks - 1)),
                  std::string::npos)
            << warning;
        EXPECT_NE(warning.find("; what the lost blocks held is not in the dictionary"),
                  std::string::npos)
            << warning;
        EXPECT_NE(readFileBytes(dir_.path() + "/vorn.log").find("[warning] " + warning),
                  std::string::npos);

        // The dictionary it replaced is kept, saying why.
        const std::string& notice = Dictionary::instance().keptPrevious();
        EXPECT_EQ(notice.rfind("The previous dictionary was kept in " + dictDirectory +
                                   "/previous/: 1 catalogue lost blocks",
                               0),
                  0u)
            << notice;
        for (size_t i = 0; i < std::size(files_); ++i)
            EXPECT_EQ(readFileBytes(dictDirectory + "/previous/" +
                                    fs::path(dictFilePath(files_[i])).filename().string()),
                      good_[i]);
    }
}

// A catalogue cut in the middle of a block: the partial block is damage as before, and the
// whole blocks after it are lost blocks.
TEST_P(DictLostBlocks, ACutInsideABlockIsDamageAndLostBlocks) {
    const size_t block = manifest_.server.blockSize;
    const std::string file = catalogueFile(1259);
    const std::string whole = readFileBytes(file);
    const size_t blocks = whole.size() / block;
    fs::remove(file);
    std::ofstream(file, std::ios::binary) << whole.substr(0, 2 * block + block / 2);

    Dictionary::instance().generate(nullptr);
    const std::vector<std::string>& warnings = Dictionary::instance().generationWarnings();
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find("pg_class of database vorn (oid " + std::to_string(vornOid()) +
                               ") read with damage"),
              std::string::npos)
        << warnings[0];
    EXPECT_NE(warnings[1].find(fmt::format("holds 2 blocks, but its indexes point at ")),
              std::string::npos)
        << warnings[1];
    EXPECT_NE(warnings[1].find(fmt::format(" in blocks 2 to {}", blocks - 1)), std::string::npos)
        << warnings[1];
    EXPECT_NE(Dictionary::instance().keptPrevious().find(
                  "catalogues were read with damage; 1 catalogue lost blocks"),
              std::string::npos)
        << Dictionary::instance().keptPrevious();
}

}  // namespace
}  // namespace vorn::test
