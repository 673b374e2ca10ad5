// Table objects and the per-column form of a ColumnBatch.

#include <gtest/gtest.h>

#include <string>

#include "storage/column_batch.h"
#include "storage/table.h"
#include "storage/unload_result.h"

namespace vorn {
namespace {

ColumnDef columnOf(uint32_t type, int32_t typmod, int32_t len = -1) {
    ColumnDef c;
    c.atttypid = type;
    c.atttypmod = typmod;
    c.attlen = len;
    return c;
}

constexpr int32_t numericTypmod(int32_t precision, int32_t scale) {
    return ((precision << 16) | scale) + 4;
}

TEST(ColumnFormTest, FormFollowsTypeAndModifier) {
    struct Case {
        const char* name;
        ColumnDef column;
        bool byRef;
        uint16_t stride;
    };
    const Case cases[] = {
        {"bool", columnOf(16, -1, 1), false, 1},
        {"name", columnOf(19, -1, 64), false, 64},
        {"int2", columnOf(21, -1, 2), false, 2},
        {"int4", columnOf(23, -1, 4), false, 4},
        {"int8", columnOf(20, -1, 8), false, 8},
        {"timetz", columnOf(1266, -1, 12), false, 12},
        {"interval", columnOf(1186, -1, 16), false, 16},
        // U pages store xid in 8 bytes: the slot must hold that whatever attlen says.
        {"xid", columnOf(28, -1, 4), false, 8},
        {"int4 with a damaged attlen", columnOf(23, -1, -1), false, 4},
        {"text", columnOf(25, -1), true, 0},
        {"jsonb", columnOf(3802, -1), true, 0},
        {"int4[] (unknown)", columnOf(1007, -1), true, 0},
        {"uuid (unknown)", columnOf(2950, -1, 16), true, 0},
        {"type OID above 65535", columnOf(70000, -1, 4), true, 0},
        {"varchar", columnOf(1043, -1), true, 0},
        {"varchar(10)", columnOf(1043, 14), false, 56},
        {"varchar(999)", columnOf(1043, 1003), false, 4012},
        {"varchar(1000)", columnOf(1043, 1004), true, 0},
        {"bpchar typmod below char(1)", columnOf(1042, 2), true, 0},
        {"bit(20)", columnOf(1560, 20), false, 20},
        {"bit(7999)", columnOf(1560, 7999), false, 1016},
        {"bit(8000)", columnOf(1560, 8000), true, 0},
        {"varbit negative typmod", columnOf(1562, -7), true, 0},
        {"numeric", columnOf(1700, -1), true, 0},
        {"numeric(12,2)", columnOf(1700, numericTypmod(12, 2)), false, 28},
        {"numeric(999,0)", columnOf(1700, numericTypmod(999, 0)), false, 1016},
        {"numeric(1000,0)", columnOf(1700, numericTypmod(1000, 0)), true, 0},
        {"numeric negative typmod", columnOf(1700, -2), true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ColumnForm form = columnForm(c.column);
        EXPECT_EQ(form.byRef, c.byRef);
        EXPECT_EQ(form.stride, c.stride);
    }
}

TEST(ColumnBatchTest, AllocatesEachColumnByItsFormAndFreesEverything) {
    ColumnDef dropped = columnOf(0, -1, 8);
    const ColumnLayout layout = {columnOf(23, -1, 4), dropped, columnOf(25, -1),
                                 columnOf(1043, 14)};
    ColumnBatch batch = makeColumnBatch(layout);
    ASSERT_EQ(batch.size(), 4u);

    EXPECT_FALSE(batch[0].byRef);
    EXPECT_EQ(batch[0].stride, 4);
    EXPECT_NE(batch[0].data, nullptr);
    EXPECT_EQ(batch[0].values, nullptr);

    EXPECT_TRUE(batch[1].dropped);
    EXPECT_EQ(batch[1].data, nullptr);
    EXPECT_EQ(batch[1].values, nullptr);

    EXPECT_TRUE(batch[2].byRef);
    EXPECT_NE(batch[2].values, nullptr);
    EXPECT_EQ(batch[2].data, nullptr);
    EXPECT_EQ(batch[3].stride, 56);

    // Every row of every column can be written and read back, the last one included.
    for (ColumnValues& column : batch) {
        column.setNull(kBatchRows - 1);
        EXPECT_TRUE(column.isNull(kBatchRows - 1));
        column.nulls[0] = 0;
        EXPECT_FALSE(column.isNull(0));
    }
    batch[0].data[(kBatchRows - 1) * 4 + 3] = 7;
    batch[2].values[kBatchRows - 1] = "last";
    batch[2].lengths[kBatchRows - 1] = 4;
    EXPECT_EQ(batch[2].value(kBatchRows - 1), "last");

    freeColumnBatch(batch);
    EXPECT_TRUE(batch.empty());
    EXPECT_TRUE(makeColumnBatch({}).empty());
}

TEST(PgTableTest, SetColumnsSortsByAttnumAndKeepsEqualNumbers) {
    PgTable table;
    ColumnLayout layout;
    for (int16_t attnum : {3, 1, -2, 2, 1}) {
        ColumnDef c = columnOf(23, -1, 4);
        c.attnum = attnum;
        c.setName("c" + std::to_string(attnum));
        layout.push_back(c);
    }
    table.setColumns(layout);
    std::vector<int16_t> order;
    for (const ColumnDef& c : table.columns())
        order.push_back(c.attnum);
    EXPECT_EQ(order, (std::vector<int16_t>{-2, 1, 1, 2, 3}));

    // Its own range leaves the layout as it is.
    table.setColumns(table.columns().begin(), table.columns().end());
    EXPECT_EQ(table.columns().size(), 5u);
    EXPECT_EQ(table.columns()[4].name(), "c3");
}

TEST(PgTableTest, NamesPathAndLogger) {
    PgTable table;
    EXPECT_NE(table.logger, nullptr);
    table.setRelname(std::string(80, 'x'));  // cut to 63 bytes
    EXPECT_EQ(table.name(), std::string(63, 'x'));
    EXPECT_EQ(table.tableName(), table.name());

    table.setRelname("orders");
    table.schemaNameOverride = "sales";
    table.dboid = 16384;
    table.relfilenode = 24576;
    EXPECT_EQ(table.schemaName(), "sales");
    EXPECT_EQ(table.spare(), 0);
    const std::string path = table.dataFilePath();
    EXPECT_NE(path.find("/base/16384/24576"), std::string::npos) << path;
}

TEST(UnloadDamageTest, AddsUpAndSummarisesWhatWentWrong) {
    UnloadDamage a;
    EXPECT_EQ(a.summary(), "");
    a.pagesSkipped = 2;
    a.toastValuesMissing = 1;
    UnloadDamage b;
    b.segmentsUnreadable = 1;
    b.blocksUnreadable = 3;
    b.tuplesRejected = 1;
    b.valuesUnreadable = 2;
    b.pagesSkipped = 1;
    a += b;
    EXPECT_EQ(a.total(), 11u);
    EXPECT_EQ(a.summary(),
              "1 segment unreadable, 3 blocks unreadable, 3 pages skipped, 1 tuple rejected, 2 "
              "values unreadable, 1 TOAST value missing");
}

}  // namespace
}  // namespace vorn
