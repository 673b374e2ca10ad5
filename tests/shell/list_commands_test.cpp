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

// Whether `text` holds a control byte other than a line feed: one a terminal could act on.
bool holdsControlBytes(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n') || byte == 0x7F)
            return true;
    }
    return false;
}

// A database, a schema, a table and a column whose names hold escape sequences: printed as
// they are, they would clear the screen, colour the rest red or set the terminal's title.
class ListUntrustedNames : public ListMemory {
  protected:
    void SetUp() override {
        ListMemory::SetUp();
        Dictionary& d = Dictionary::instance();
        DatabaseEntry db;
        db.oid = 30;
        db.datname = "ev\x1b[2Jil";
        db.encoding = 6;
        db.encodingName = "UTF8";
        d.databases.push_back(db);
        addSchema(30, 2200, "public");
        addSchema(30, 5000, "s\x1b[31m");
        addTable(30, 2200, 300, "esc\x1b]0;pwned\x07name");
        ColumnLayout columns(2);
        columns[0].attnum = 1;
        columns[0].setName("id");
        columns[0].atttypid = 23;
        columns[0].attlen = 4;
        columns[1].attnum = 2;
        columns[1].setName("c\x07ol\x7f");
        columns[1].atttypid = 25;
        columns[1].attlen = -1;
        d.tables[dictKey(30, 300)].setColumns(columns);
    }
};

TEST_F(ListUntrustedNames, ListingsAndDescShowControlBytesEscaped) {
    const SessionResult r =
        runCommands(console_, {"use ev\x1b[2Jil", "list db", "list schema", "list table",
                               "desc esc\x1b]0;pwned\x07name", "desc no\x1b[2Jsuch"});
    EXPECT_FALSE(holdsControlBytes(r.raw)) << r.raw;
    // Padding counts the escaped text, which is what the terminal shows.
    EXPECT_NE(r.screen.find(fmt::format("{:>10} {:<15} {:<15}\n", 30, "ev\\x1b[2Jil", "UTF8 (6)")),
              std::string::npos)
        << r.screen;
    EXPECT_NE(
        r.screen.find(fmt::format("{:>10} {:>10} {:<30} {:>10}\n", 30, 5000, "s\\x1b[31m", 0)),
        std::string::npos)
        << r.screen;
    const std::string table = "esc\\x1b]0;pwned\\x07name";
    EXPECT_NE(r.screen.find(kTableHeader + tableRow(30, 2200, 300, padded(table, table.size()))),
              std::string::npos)
        << r.screen;
    const std::string column = "c\\x07ol\\x7f";
    EXPECT_NE(r.screen.find(
                  fmt::format("    2 {:<30} {:<25} {:>8} {:<10}\n", column, "text", -1, "true")),
              std::string::npos)
        << r.screen;
    EXPECT_NE(r.screen.find("Table no\\x1b[2Jsuch not exist\n"), std::string::npos) << r.screen;
}

TEST_F(ListUntrustedNames, PromptShowsTheNamesEscaped) {
    const SessionResult r = runCommands(console_, {"use ev\x1b[2Jil", "set schema s\x1b[31m"});
    EXPECT_EQ(r.prompts, (std::vector<std::string>{"shop.@VORN > ", "ev\\x1b[2Jil.public@VORN > ",
                                                   "ev\\x1b[2Jil.s\\x1b[31m@VORN > "}));
}

}  // namespace
}  // namespace vorn::test
