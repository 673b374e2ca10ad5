// The page builder against a real server's pages: the TOAST chunk tuples it builds are the
// ones each fixture's server wrote, byte for byte but for the transaction fields.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "tests/storage/support/page_builder.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

// The builder's chunk tuples must match what a real server wrote: rebuild every chunk of the
// first page of a real TOAST relation and compare everything but the transaction fields.
class PageBuilderFixtureTest : public ::testing::TestWithParam<std::string> {};

TEST_P(PageBuilderFixtureTest, RebuildsRealToastChunks) {
    VORN_FIXTURE_OR_SKIP(m, GetParam());
    const FixtureTable& table = m.table("vorn", "public", "storage_forms");
    ASSERT_TRUE(table.toast.has_value());
    Bytes page(m.server.blockSize);
    std::ifstream in(table.toast->path, std::ios::binary);
    ASSERT_TRUE(in.read(reinterpret_cast<char*>(page.data()), page.size()));

    EXPECT_EQ(getU16(page, 18), m.server.blockSize | 4);
    const uint16_t lower = getU16(page, 12);
    HeapPageBuilder rebuilt(static_cast<uint16_t>(m.server.blockSize));
    int compared = 0;
    for (uint16_t at = 24; at + 4 <= lower; at += 4) {
        const uint32_t lp = getU32(page, at);
        if (((lp >> 15) & 3) != 1)
            continue;
        const Bytes real(page.begin() + (lp & 0x7FFF), page.begin() + (lp & 0x7FFF) + (lp >> 17));
        const uint32_t dataLength = (getU32(real, 32) >> 2) - 4;
        const Bytes data(real.begin() + 36, real.begin() + 36 + dataLength);
        const Bytes built =
            heapToastTuple({getU32(real, 24), static_cast<int32_t>(getU32(real, 28)), data});
        ASSERT_EQ(built.size(), real.size());
        EXPECT_EQ(getU16(built, 18) & 0x07FF, getU16(real, 18) & 0x07FF);
        EXPECT_EQ(getU16(built, 20) & 0x000F, getU16(real, 20) & 0x000F);  // structure bits
        EXPECT_TRUE(std::equal(built.begin() + 22, built.end(), real.begin() + 22));
        rebuilt.addTuple(built);
        ++compared;
    }
    ASSERT_GT(compared, 0);
    // Placed the way the server placed them: same line pointers, same pd_lower and pd_upper.
    const Bytes mine = rebuilt.build();
    EXPECT_TRUE(std::equal(mine.begin() + 12, mine.begin() + 16, page.begin() + 12));
    EXPECT_TRUE(std::equal(mine.begin() + 24, mine.begin() + lower, page.begin() + 24));
}

INSTANTIATE_TEST_SUITE_P(Builds, PageBuilderFixtureTest, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
