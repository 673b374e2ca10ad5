#include "storage/file_node_map.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

// The maps a real server wrote name the files of pg_database (shared) and of pg_class and
// pg_attribute (per database).
class FileNodeMapFixtureTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FileNodeMapFixtureTest, MapsTheCataloguesToExistingFiles) {
    VORN_FIXTURE_OR_SKIP(m, GetParam());
    FixtureServerSettings settings;
    settings.use(m);
    const int32_t capacity = m.server.major >= 16 ? 64 : 62;

    FileNodeMap shared;
    shared.load(m.dataDir + "/global/pg_filenode.map");
    EXPECT_EQ(shared.magic(), FileNodeMap::kMagic);
    EXPECT_GT(shared.count(), 0);
    EXPECT_LE(shared.count(), capacity);
    const uint32_t pgDatabase = shared.lookup(1262);
    ASSERT_NE(pgDatabase, 0u);
    EXPECT_TRUE(fs::is_regular_file(m.dataDir + "/global/" + std::to_string(pgDatabase)));
    EXPECT_EQ(shared.lookup(1259), 0u);  // pg_class is per database

    const FixtureDatabase* db = m.findDatabase("vorn");
    ASSERT_NE(db, nullptr);
    const std::string base = m.dataDir + "/base/" + std::to_string(db->oid);
    FileNodeMap local;
    local.load(base + "/pg_filenode.map");
    EXPECT_LE(local.count(), capacity);
    for (uint32_t catalogue : {1259u, 1249u}) {
        const uint32_t node = local.lookup(catalogue);
        ASSERT_NE(node, 0u) << catalogue;
        EXPECT_TRUE(fs::is_regular_file(base + "/" + std::to_string(node))) << catalogue;
    }
    EXPECT_EQ(local.lookup(1262), 0u);
}

INSTANTIATE_TEST_SUITE_P(Builds, FileNodeMapFixtureTest, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
