// UNLOAD OBJECT: the schema DDL file under ddl/ and what the command prints, over a
// dictionary filled by hand.

#include "export/cmd_ddl_export.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <regex>
#include <string>

#include "base/file_logger.h"
#include "catalog/dictionary.h"
#include "export/file_names.h"
#include "tests/export/export_test_env.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = boost::filesystem;

constexpr uint32_t kDb = 16384, kOtherDb = 16385;

const std::string kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";

class CmdDdlExportTest : public ::testing::Test {
  protected:
    CmdDdlExportTest() : cwd_(dir_.path()) {
        unloadLog().open(dir_.path().c_str());
        Dictionary& d = Dictionary::instance();
        d.currentDatabaseOid = kDb;
        // Each DDL file starts by setting its database's encoding.
        d.databases = {{kDb, 6, "UTF8", "shop", "", 0}, {kOtherDb, 8, "LATIN1", "other", "", 0}};
        addSchema(kDb, 2200, "public");
        addSchema(kDb, 16390, "HR");
        addSchema(kDb, 16391, "empty");
        addSchema(kDb, 16392, "../up");
        addSchema(kOtherDb, 16300, "hr");  // same name in another database: never matched
        // Added out of OID order: the file lists them by OID.
        addTable(kDb, 16390, 16502, "Dept", {column(1, "no", typeoid::kInt2)});
        addTable(kDb, 16390, 16501, "emp",
                 {column(1, "id", typeoid::kInt4), column(2, "gone", 0),
                  column(3, "Name", typeoid::kVarchar, 24)});
        addTable(kOtherDb, 16300, 16400, "elsewhere", {column(1, "x", typeoid::kInt4)});
        addTable(kDb, 2200, 16600, "line\nDROP TABLE x; --",
                 {column(1, "u", 16385 /* an enum: no SQL name from its OID */)});
        addTable(kDb, 2200, 16601, "ok", {column(1, "t", typeoid::kText)});
        addTable(kDb, 16392, 16700, "t", {column(1, "a", typeoid::kInt4)});
    }
    ~CmdDdlExportTest() override {
        Dictionary& d = Dictionary::instance();
        d.schemas.clear();
        d.tables.clear();
        d.databases.clear();
        d.currentDatabaseOid = 0;
    }

    static void addSchema(uint32_t db, uint32_t oid, const std::string& name) {
        Dictionary::instance().schemas[dictKey(db, oid)] = {db, oid, name};
    }
    static void addTable(uint32_t db, uint32_t schema, uint32_t oid, const std::string& name,
                         const ColumnLayout& columns) {
        PgTable& t = Dictionary::instance().tables[dictKey(db, oid)];
        t.dboid = db;
        t.relnamespace = schema;
        t.PgClass::oid = oid;
        t.setRelname(name);
        t.setColumns(columns);
    }

    // What runDdlCommand printed.
    std::string run(const char* schema) {
        CmdDdlExport command(&Dictionary::instance());
        testing::internal::CaptureStdout();
        command.runDdlCommand(schema);
        return testing::internal::GetCapturedStdout();
    }
    std::string file(const std::string& name) const { return dir_.readFile("ddl/" + name); }

    TempDir dir_;
    ScopedWorkingDir cwd_;
};

TEST_F(CmdDdlExportTest, WritesTheSchemasTablesInOidOrder) {
    ASSERT_FALSE(fs::exists(dir_.path() + "/ddl"));
    const std::string printed = run("hr");
    EXPECT_TRUE(std::regex_match(
        printed,
        std::regex(" " + kStamp +
                   R"( unloading HR's TABLE DDL\(total 2\) to "ddl/HR_table_ddl.sql"\.\.\.)"
                   "\nfinish.\n")))
        << printed;
    // The database's encoding first, and the schema, which a target database lacks.
    EXPECT_EQ(file("HR_table_ddl.sql"),
              "SET client_encoding TO 'UTF8';\n"
              "CREATE SCHEMA IF NOT EXISTS \"HR\";\n\n"
              "CREATE TABLE \"HR\".\"emp\" (\n"
              "\"id\" integer, \n"
              "\"Name\" varchar(20));\n\n"
              "CREATE TABLE \"HR\".\"Dept\" (\n"
              "\"no\" smallint);\n\n");
}

TEST_F(CmdDdlExportTest, SchemaThatIsNotThere) {
    for (const char* name : {"", "nosuch", "hr_"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(run(name), "Schema " + std::string(name) + " not exist.\nfinish.\n");
    }
    EXPECT_EQ(run(nullptr), "Schema  not exist.\nfinish.\n");
    EXPECT_FALSE(fs::exists(dir_.path() + "/ddl"));
}

TEST_F(CmdDdlExportTest, SchemaWithoutTablesLeavesAnEmptyFile) {
    const std::string printed = run("EMPTY");
    EXPECT_NE(printed.find("unloading empty's TABLE DDL(total 0) to \"ddl/empty_table_ddl.sql\""),
              std::string::npos)
        << printed;
    EXPECT_TRUE(fs::exists(dir_.path() + "/ddl/empty_table_ddl.sql"));
    EXPECT_EQ(file("empty_table_ddl.sql"),
              "SET client_encoding TO 'UTF8';\nCREATE SCHEMA IF NOT EXISTS \"empty\";\n\n");
}

TEST_F(CmdDdlExportTest, TableThatCannotBeDeclaredBecomesAComment) {
    const std::string printed = run("public");
    // On the console the name's line feed is shown escaped: no line of its own either.
    EXPECT_NE(
        printed.find("Table \"public\".\"line\\x0aDROP TABLE x; --\": no CREATE TABLE, the type "
                     "of column u (type OID 16385) has no SQL name."),
        std::string::npos)
        << printed;
    // The name's line feed must not start a statement of its own in the file.
    EXPECT_EQ(file("public_table_ddl.sql"),
              "SET client_encoding TO 'UTF8';\n\n"
              "-- \"public\".\"line?DROP TABLE x; --\": no CREATE TABLE, the type of column u "
              "(type OID 16385) has no SQL name.\n\n"
              "CREATE TABLE \"public\".\"ok\" (\n"
              "\"t\" text);\n\n");
}

TEST_F(CmdDdlExportTest, SchemaNameCannotLeaveTheDdlFolder) {
    const std::string printed = run("../up");
    EXPECT_NE(printed.find("to \"ddl/_._up_16392_table_ddl.sql\""), std::string::npos) << printed;
    EXPECT_EQ(file("_._up_16392_table_ddl.sql"),
              "SET client_encoding TO 'UTF8';\nCREATE SCHEMA IF NOT EXISTS \"../up\";\n\n"
              "CREATE TABLE \"../up\".\"t\" (\n\"a\" integer);\n\n");
    EXPECT_FALSE(fs::exists(dir_.path() + "/up_table_ddl.sql"));
}

TEST_F(CmdDdlExportTest, FileThatCannotBeWrittenIsReportedBeforeFinish) {
    dir_.writeFile("ddl", "a file where the folder should be");
    std::string printed = run("HR");
    EXPECT_TRUE(std::regex_match(
        printed,
        std::regex(" " + kStamp +
                   R"( unloading HR's TABLE DDL\(total 2\) to "ddl/HR_table_ddl.sql"\.\.\.)"
                   "\n  Table DDL not written: cannot create directory \"ddl\": "
                   "[^\n]+\nfinish.\n")))
        << printed;

    fs::remove(dir_.path() + "/ddl");
    fs::create_directories(dir_.path() + "/ddl/HR_table_ddl.sql.tmp/blocker");
    printed = run("HR");
    EXPECT_NE(printed.find("  Table DDL not written to \"ddl/HR_table_ddl.sql\": cannot create "
                           "file \"ddl/HR_table_ddl.sql.tmp\": Is a directory\nfinish.\n"),
              std::string::npos)
        << printed;
}

// public is OID 2200 in every database: the DDL files of two databases' public schemas are
// two files, each with its own database's tables, and a later run keeps them apart too.
TEST_F(CmdDdlExportTest, SchemasOfOneNameInTwoDatabasesGetAFileEach) {
    addSchema(kOtherDb, 2200, "public");
    addTable(kOtherDb, 2200, 16800, "only_there", {column(1, "n", typeoid::kInt8)});
    const std::string first = run("public");
    Dictionary::instance().currentDatabaseOid = kOtherDb;
    const std::string second = run("public");
    EXPECT_NE(first.find("to \"ddl/public_table_ddl.sql\"..."), std::string::npos) << first;
    EXPECT_NE(second.find("File name \"public_table_ddl\" is already used by the schema with "
                          "OID 2200 of database 16384; the schema with OID 2200 of database "
                          "16385 is written as \"public_table_ddl_2200\".\n"),
              std::string::npos)
        << second;
    EXPECT_NE(second.find("to \"ddl/public_table_ddl_2200.sql\"...\nfinish.\n"), std::string::npos)
        << second;
    EXPECT_EQ(file("public_table_ddl_2200.sql"),
              "SET client_encoding TO 'LATIN1';\n\n"
              "CREATE TABLE \"public\".\"only_there\" (\n"
              "\"n\" bigint);\n\n");
    EXPECT_NE(file("public_table_ddl.sql").find("\"public\".\"ok\""), std::string::npos);
    EXPECT_EQ(file("public_table_ddl.sql").find("only_there"), std::string::npos);

    resetTableFileNames();  // a new run
    Dictionary::instance().currentDatabaseOid = kDb;
    EXPECT_NE(run("public").find("to \"ddl/public_table_ddl.sql\"..."), std::string::npos);
    Dictionary::instance().currentDatabaseOid = kOtherDb;
    EXPECT_NE(run("public").find("to \"ddl/public_table_ddl_2200.sql\"..."), std::string::npos);
}

}  // namespace
}  // namespace vorn::test
