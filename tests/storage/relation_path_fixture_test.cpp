#include "storage/relation_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/table.h"
#include "tests/storage/relation_path_test_util.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

// Every table and TOAST relation of the described fixture databases (one in ts1, the
// database vorn_ts with default ts2) resolves to the file the server named.
class RelationPathFixtureTest : public ::testing::TestWithParam<std::string> {};

TEST_P(RelationPathFixtureTest, FindsTheServersRelationFiles) {
    VORN_FIXTURE_OR_SKIP(m, GetParam());
    FixtureServerSettings settings;
    settings.use(m);
    int checked = 0;
    bool sawTablespaceTable = false;
    for (const FixtureDatabase& db : m.databases) {
        for (const FixtureTable& t : db.tables) {
            if (t.relativePath.empty())
                continue;  // a partitioned parent has no file
            const PgClass r = relation(t.databaseOid, t.tablespace, db.tablespace, t.relfilenode);
            const std::string dir = relationDirectory(r);
            EXPECT_EQ(dir + "/" + std::to_string(t.relfilenode), m.dataDir + "/" + t.relativePath)
                << db.name << "." << t.name;
            std::vector<SegmentFile> segments;
            listSegmentFiles(dir, t.relfilenode, segments);
            uint64_t bytes = 0;
            for (const SegmentFile& s : segments)
                bytes += s.size;
            EXPECT_EQ(bytes, static_cast<uint64_t>(t.blocks) * m.server.blockSize) << t.name;
            if (t.toast) {
                const PgClass tr =
                    relation(t.databaseOid, t.tablespace, db.tablespace, t.toast->relfilenode);
                EXPECT_EQ(relationDirectory(tr) + "/" + std::to_string(t.toast->relfilenode),
                          m.dataDir + "/" + t.toast->relativePath)
                    << t.name << " toast";
            }
            sawTablespaceTable = sawTablespaceTable || t.tablespace != 0 || db.tablespace != 1663;
            ++checked;
        }
    }
    EXPECT_GT(checked, 20);
    EXPECT_TRUE(sawTablespaceTable);
    EXPECT_EQ(m.findDatabase("vorn_ts")->tablespace, m.findTablespace("ts2")->oid);
}

INSTANTIATE_TEST_SUITE_P(Builds, RelationPathFixtureTest, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
