// The listing commands over a small dictionary built in memory, for what no fixture has
// (wide names, the names unload schema skips, a database without "public"). Over the deb15
// fixture, with bootstrap, they are tested in list_commands_fixture_test.cpp.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalog/dictionary.h"
#include "shell/console.h"
#include "tests/shell/console_text.h"
#include "tests/shell/support/shell_harness.h"

namespace vorn::test {
namespace {

// A dictionary built in memory: two databases, the second without a schema "public".
class ListMemory : public ::testing::Test {
  protected:
    void SetUp() override {
        Dictionary& d = Dictionary::instance();
        d.databases.resize(2);
        d.databases[0].oid = 10;
        d.databases[0].datname = "shop";
        d.databases[1].oid = 20;
        d.databases[1].datname = "nopub";
        for (DatabaseEntry& db : d.databases) {
            db.encoding = 6;
            db.encodingName = "UTF8";
        }
        addSchema(10, 2200, "public");
        addSchema(10, 3000, "sales");
        addSchema(20, 4000, "only");
        addTable(10, 2200, 100, "orders");
        addTable(10, 2200, 101, "日本語表");
        addTable(10, 2200, 102, "SYS_EXPORT_TABLE_01");
        addTable(10, 2200, 103, "Sales_Order");
        addTable(10, 2200, 0, "columns_only");  // attributes without a pg_class row
        addTable(20, 2200, 104, "other_db_same_schema_oid");
        d.currentDatabaseOid = 10;
    }

    void addSchema(uint32_t db, uint32_t oid, const std::string& name) {
        Dictionary::instance().schemas[dictKey(db, oid)] = NamespaceEntry{db, oid, name};
    }
    void addTable(uint32_t db, uint32_t schema, uint32_t oid, const std::string& name) {
        PgTable& t = Dictionary::instance().tables[dictKey(db, oid == 0 ? 999 : oid)];
        t.dboid = db;
        t.relnamespace = schema;
        t.PgClass::oid = oid;
        t.setRelname(name);
    }

    std::string run(const std::vector<std::string>& lines) {
        return runCommands(console_, lines).screen;
    }

    ShellWorkspace workspace_{std::nullopt};
    Console console_;
};

TEST_F(ListMemory, TablesAlignByDisplayWidthAndHideExportTables) {
    const std::string out = run({"use shop", "list table"});
    EXPECT_EQ(out, kTableHeader + tableRow(10, 2200, 100, padded("orders", 6)) +
                       tableRow(10, 2200, 101, padded("日本語表", 8)) +
                       tableRow(10, 2200, 103, padded("Sales_Order", 11)) + "\n");
    EXPECT_EQ(run({"list table ORD"}), kTableHeader + tableRow(10, 2200, 100, padded("orders", 6)) +
                                           tableRow(10, 2200, 103, padded("Sales_Order", 11)) +
                                           "\n");
}

TEST_F(ListMemory, SchemasCountTheTablesListTableHides) {
    const std::string expected =
        "    db_oid schema_oid schema_name                     table_cnt\n" +
        rule({10, 10, 30, 10}) +
        fmt::format("{:>10} {:>10} {:<30} {:>10}\n", 10, 2200, "public", 4) +
        fmt::format("{:>10} {:>10} {:<30} {:>10}\n", 10, 3000, "sales", 0) + "\n";
    EXPECT_EQ(run({"list schema"}), expected);
}

TEST_F(ListMemory, SwitchingToADatabaseWithoutPublicLeavesNoSchema) {
    EXPECT_EQ(run({"use shop", "set schema sales"}), "");
    EXPECT_EQ(console_.schemaOid(), 3000u);

    // Neither the schema nor "public": the schema of the other database is not kept.
    EXPECT_EQ(run({"use nopub"}), "Schema \"public\" does not exist.\n");
    EXPECT_EQ(console_.schemaOid(), 0u);
    EXPECT_EQ(console_.schemaName(), "");
    EXPECT_EQ(currentSchemaOid, 0u);
    EXPECT_EQ(run({"list table"}), kTableHeader + "\n");

    EXPECT_EQ(run({"set schema only"}), "");
    EXPECT_EQ(console_.schemaOid(), 4000u);
    EXPECT_EQ(console_.schemaName(), "only");
    // In the same database a missing schema changes nothing when there is no "public".
    EXPECT_EQ(run({"set schema nosuch"}), "Schema \"nosuch\" does not exist.\n");
    EXPECT_EQ(console_.schemaOid(), 4000u);
    // Naming the database again is a switch: nothing is current afterwards.
    EXPECT_EQ(run({"set schema nopub.nosuch"}), "Schema \"nosuch\" does not exist.\n");
    EXPECT_EQ(console_.schemaOid(), 0u);
}

}  // namespace
}  // namespace vorn::test
