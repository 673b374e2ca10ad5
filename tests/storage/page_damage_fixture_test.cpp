// Damage on a real page: the first page of a table a real server wrote, changed one way at a
// time as torn writes and bad disks change pages. Every changed tuple is rejected and
// counted, never written as a row or dropped without a word, and every other row comes back
// as it was.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "storage/page_reader.h"
#include "tests/storage/page_reader_test_util.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/storage/support/page_builder.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

Bytes firstPage(const std::string& path, uint32_t blockSize) {
    std::ifstream in(path, std::ios::binary);
    Bytes page(blockSize, 0);
    in.read(reinterpret_cast<char*>(page.data()), blockSize);
    return page;
}

struct Item {
    uint32_t offset, length;
};
Item itemOf(const Bytes& page, uint32_t number) {
    const uint32_t raw = getU32(page, 24 + 4 * (number - 1));
    return {raw & 0x7FFF, raw >> 17};
}

TEST(PageDamage, EveryChangedTupleOfARealPageIsRejectedAndCounted) {
    VORN_FIXTURE_OR_SKIP(manifest, "deb15");
    FixtureServerSettings settings;
    settings.use(manifest);
    const FixtureDatabase& db = *manifest.findDatabase("vorn");
    const FixtureTable& t = manifest.table("vorn", "many", "t20");
    FixturePgTable fixture(db, t);
    const ColumnLayout& layout = fixture.table().columns();
    const Bytes good = firstPage(t.path, manifest.server.blockSize);
    const uint16_t blockSize = static_cast<uint16_t>(manifest.server.blockSize);

    TableBlock reader(layout, nullptr);
    const PageRows baseline = readAll(reader, good, layout, blockSize);
    ASSERT_EQ(baseline.rows.size(), 20u);
    ASSERT_EQ(baseline.report.tuplesRejected, 0u);
    const Item first = itemOf(good, 1);
    ASSERT_EQ(good[first.offset + 22], 24) << "t_hoff of a tuple without NULLs";
    const std::vector<Row> rest(baseline.rows.begin() + 1, baseline.rows.end());

    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
    };
    const auto tuple = [&](Bytes& page, size_t at) -> uint8_t& { return page[first.offset + at]; };
    const Case cases[] = {
        {"t_hoff 25", [&](Bytes& p) { tuple(p, 22) = 25; }},
        {"t_hoff 26", [&](Bytes& p) { tuple(p, 22) = 26; }},
        {"t_hoff 28", [&](Bytes& p) { tuple(p, 22) = 28; }},
        {"natts 0",
         [&](Bytes& p) { setU16(p, first.offset + 18, getU16(p, first.offset + 18) & 0xF800); }},
        {"natts one more than the table has",
         [&](Bytes& p) { setU16(p, first.offset + 18, getU16(p, first.offset + 18) + 1); }},
        {"null-bitmap flag set", [&](Bytes& p) { tuple(p, 20) |= 0x01; }},
        {"tuple bytes zeroed",
         [&](Bytes& p) { std::memset(p.data() + first.offset, 0, first.length); }},
        {"line pointer moved by 8 bytes", [&](Bytes& p) { setU32(p, 24, getU32(p, 24) - 8); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes page = good;
        c.damage(page);
        const PageRows got = readAll(reader, page, layout, blockSize);
        EXPECT_EQ(got.rows, rest);
        EXPECT_EQ(got.report.tuplesRejected, 1u);
        EXPECT_EQ(got.report.reasonItem, 1u) << got.reason;
    }

    // A torn write: the page's last half never reached the disk. The tuples there are lost
    // and counted; the others come back.
    Bytes torn = good;
    std::memset(torn.data() + blockSize / 2, 0, blockSize / 2);
    uint32_t inTornHalf = 0;
    std::vector<Row> kept;
    for (uint32_t i = 1; i <= baseline.itemCount; ++i) {
        if (itemOf(good, i).offset + itemOf(good, i).length > blockSize / 2)
            ++inTornHalf;
        else
            kept.push_back(baseline.rows[i - 1]);
    }
    ASSERT_GT(inTornHalf, 0u);
    const PageRows got = readAll(reader, torn, layout, blockSize);
    EXPECT_EQ(got.rows, kept);
    EXPECT_EQ(got.report.tuplesRejected, inTornHalf);
}

}  // namespace
}  // namespace vorn::test
