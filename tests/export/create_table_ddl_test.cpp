// The CREATE TABLE text: its exact form from a layout. That the statement written for every
// fixture table runs on a real server is checked in create_table_ddl_fixture_test.cpp.

#include <gtest/gtest.h>

#include <string>

#include "export/create_table_ddl.h"

namespace vorn::test {
namespace {

ColumnDef column(int16_t attnum, const std::string& name, uint32_t typeOid, int32_t typmod = -1) {
    ColumnDef c;
    c.attnum = attnum;
    c.setName(name);
    c.atttypid = typeOid;
    c.atttypmod = typmod;
    return c;
}

ColumnDef dropped(int16_t attnum) {
    return column(attnum, "........pg.dropped.x........", 0);
}

const ColumnLayout kIdName = {column(1, "id", 23), column(2, "name", 1043, 24)};

TEST(CreateTableDdl, HeaderAndLayout) {
    struct Case {
        const char* what;
        std::string schema;
        ColumnLayout columns;
        bool newlines;
        std::string expected;
    };
    const Case cases[] = {
        {"schema, newlines", "s", kIdName, true,
         "CREATE TABLE \"s\".\"t\" (\n\"id\" integer, \n\"name\" varchar(20))"},
        {"schema, one line", "s", kIdName, false,
         "CREATE TABLE \"s\".\"t\" (\"id\" integer, \"name\" varchar(20))"},
        {"no schema, newlines", "", kIdName, true,
         "CREATE TABLE \"t\" (\n\"id\" integer, \n\"name\" varchar(20))"},
        {"no schema, one line", "", kIdName, false,
         "CREATE TABLE \"t\" (\"id\" integer, \"name\" varchar(20))"},
        {"no columns", "s", {}, true, "CREATE TABLE \"s\".\"t\" (\n)"},
        {"no columns, one line", "", {}, false, "CREATE TABLE \"t\" ()"},
        {"modifiers and unlisted-but-named types",
         "s",
         {column(1, "Amount", 1700, ((10 << 16) | 2) + 4), column(2, "c", 18)},
         false,
         "CREATE TABLE \"s\".\"t\" (\"Amount\" numeric(10,2), \"c\" \"char\")"},
        // Built-in types the engine cannot read still get their column: its values load as
        // NULL, the table's other columns as they are.
        {"built-in types without output, arrays with the element's modifier",
         "",
         {column(1, "u", 2950), column(2, "ip", 869), column(3, "ids", 1007),
          column(4, "tags", 1015, 24)},
         false,
         "CREATE TABLE \"t\" (\"u\" uuid, \"ip\" inet, \"ids\" integer[], \"tags\" "
         "varchar(20)[])"},
        // Neither a dropped column nor oid may leave an entry or a stray separator, wherever
        // they stand.
        {"dropped and oid left out",
         "s",
         {column(-2, "oid", 26), dropped(1), column(2, "a", 23), dropped(3), column(4, "b", 25),
          dropped(5)},
         true,
         "CREATE TABLE \"s\".\"t\" (\n\"a\" integer, \n\"b\" text)"},
        {"only dropped columns", "", {dropped(1), dropped(2)}, false, "CREATE TABLE \"t\" ()"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string unnamed = "untouched";
        EXPECT_EQ(buildCreateTableDdl(c.schema, "t", c.columns, c.newlines, &unnamed), c.expected);
        EXPECT_EQ(unnamed, "untouched");
    }
}

TEST(CreateTableDdl, QuotesEveryIdentifier) {
    const ColumnLayout columns = {column(1, "Say \"hi\"", 25), column(2, "\"", 23),
                                  column(3, "a b", 20)};
    EXPECT_EQ(buildCreateTableDdl("My\"Schema", "it's a \"quoted\" name", columns, false),
              "CREATE TABLE \"My\"\"Schema\".\"it's a \"\"quoted\"\" name\" "
              "(\"Say \"\"hi\"\"\" text, \"\"\"\" integer, \"a b\" bigint)");
    EXPECT_EQ(quoteIdentifier(""), "\"\"");
    EXPECT_EQ(quoteIdentifier("\"\""), "\"\"\"\"\"\"");
}

TEST(CreateTableDdl, TypeWithoutNameGivesNoStatement) {
    // An enum's OID, its array's, and anyarray (a pseudo-type, no column type of a user
    // table) have no name built from the OID alone.
    for (uint32_t oid : {16385u, 16386u, 2277u}) {
        SCOPED_TRACE(oid);
        const ColumnLayout columns = {column(1, "id", 23), column(2, "Mood", oid),
                                      column(3, "later", 4242)};
        std::string unnamed;
        EXPECT_EQ(buildCreateTableDdl("s", "t", columns, true, &unnamed), "");
        // The first such column is named.
        EXPECT_EQ(unnamed, "Mood (type OID " + std::to_string(oid) + ")");
        EXPECT_EQ(buildCreateTableDdl("s", "t", columns, true), "");
    }
}

}  // namespace
// Generated columns hold no data of the files: the statement leaves them out and names them,
// with their types, in a comment that no column name can end early.
TEST(CreateTableDdl, GeneratedColumnsAreNamedInACommentOnly) {
    ColumnDef stored = column(2, "b", 23);
    stored.attgenerated = 's';
    ColumnDef virtualColumn = column(4, "x*/y", 25);
    virtualColumn.attgenerated = 'v';
    EXPECT_EQ(
        buildCreateTableDdl("s", "t", {column(1, "a", 23), stored, column(3, "c", 25)}, false),
        "CREATE TABLE \"s\".\"t\" (\"a\" integer, \"c\" text) /* generated column left out, "
        "its expression not recovered: \"b\" integer */");
    EXPECT_EQ(buildCreateTableDdl("s", "t", {stored, virtualColumn}, false),
              "CREATE TABLE \"s\".\"t\" () /* generated columns left out, their expressions not "
              "recovered: \"b\" integer, \"x* /y\" text */");
}

}  // namespace vorn::test
