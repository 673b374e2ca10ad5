// The TOAST chunk index and the fetch of external values over a real TOAST relation: the
// chunks a server wrote are indexed without damage and every value is fetched whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "storage/storage_settings.h"
#include "storage/toast.h"
#include "storage/value_buffer.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

// Puts the process-wide settings back however the test ends.
struct SettingsGuard {
    std::string directory = dataDirectory;
    uint16_t size = blockSize;
    ServerVersion version = serverVersion;
    ~SettingsGuard() {
        dataDirectory = directory;
        blockSize = size;
        serverVersion = version;
    }
};

class ToastFixtureTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ToastFixtureTest, IndexOfRealRelation) {
    VORN_FIXTURE_OR_SKIP(manifest, GetParam());
    const SettingsGuard guard;
    dataDirectory = manifest.dataDir;
    blockSize = static_cast<uint16_t>(manifest.server.blockSize);
    serverVersion = {static_cast<int16_t>(manifest.server.major),
                     static_cast<int16_t>(manifest.server.minor)};

    std::vector<std::string> tables = {"storage_forms"};
    if (manifest.server.lz4)
        tables.push_back("storage_lz4");
    for (const std::string& name : tables) {
        SCOPED_TRACE(name);
        const FixtureTable& table = manifest.table("vorn", "public", name);
        ASSERT_TRUE(table.toast.has_value());
        PgToastTable toast;
        toast.dboid = table.databaseOid;
        toast.oid = table.toast->oid;
        toast.relfilenode = table.toast->relfilenode;
        toast.reltablespace = table.tablespace;
        toast.dbTablespace = manifest.findDatabase("vorn")->tablespace;
        toast.relkind = 't';

        UnloadDamage damage;
        buildToastIndex(toast, &damage);
        EXPECT_EQ(damage.total(), 0u);
        EXPECT_EQ(toast.directory + "/" + std::to_string(toast.relfilenode), table.toast->path);
        ASSERT_FALSE(toast.chunkIndex.empty());

        // Sorted, each value's chunks numbered 0, 1, ... with every chunk but the last of
        // the same (largest) size, and each value fetched whole.
        std::map<uint32_t, uint64_t> sizes;
        uint16_t chunkSize = 0;
        for (const ToastChunkRef& r : toast.chunkIndex)
            chunkSize = std::max(chunkSize, r.dataLength);
        for (size_t i = 0; i < toast.chunkIndex.size(); ++i) {
            const ToastChunkRef& r = toast.chunkIndex[i];
            const bool last =
                i + 1 == toast.chunkIndex.size() || toast.chunkIndex[i + 1].chunkId != r.chunkId;
            const bool first = i == 0 || toast.chunkIndex[i - 1].chunkId != r.chunkId;
            EXPECT_EQ(r.chunkSeq, first ? 0 : toast.chunkIndex[i - 1].chunkSeq + 1);
            if (!last) {
                EXPECT_EQ(r.dataLength, chunkSize);
            }
            sizes[r.chunkId] += r.dataLength;
        }
        ToastFetcher fetcher(toast);
        std::string out;
        for (const auto& [id, size] : sizes)
            EXPECT_EQ(fetcher.readToastValue(id, static_cast<uint32_t>(size), out),
                      ValueStatus::kOk);
        if (name == "storage_forms") {
            // 3000 md5 texts of 32 bytes stored as they are; 10000 'x' in an EXTERNAL column.
            EXPECT_EQ(std::count_if(sizes.begin(), sizes.end(),
                                    [](const auto& e) { return e.second == 96000; }),
                      1);
            EXPECT_EQ(std::count_if(sizes.begin(), sizes.end(),
                                    [](const auto& e) { return e.second == 10000; }),
                      1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ToastFixtureTest, ::testing::Values("deb15", "pg17"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vorn::test
