// The psql import scripts: their bytes for the names a recovered data directory may hold,
// and the real psql running one over such names.

#include "export/import_script.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <string>
#include <vector>

#include "export/create_table_ddl.h"
#include "export/writer_factory.h"
#include "tests/export/export_test_env.h"
#include "tests/support/pg_server.h"
#include "tests/support/psql_run.h"

namespace vorn::test {
namespace {

constexpr uint32_t kSchemaOid = 16400;

PgTable makeTable(uint32_t oid, const std::string& schema, const std::string& name,
                  const ColumnLayout& columns) {
    PgTable table;
    table.PgClass::oid = oid;
    table.relnamespace = kSchemaOid;
    table.setRelname(name);
    table.schemaNameOverride = schema;
    table.setColumns(columns);
    return table;
}

ImportTable entry(const PgTable& table, std::string dataFile, bool failed = false,
                  std::string reason = "") {
    return {&table, std::move(dataFile), failed, std::move(reason)};
}

// id int4, then one text column named `name`.
ColumnLayout idAnd(const std::string& name) {
    return {column(1, "id", typeoid::kInt4), column(2, name, typeoid::kText)};
}

class ImportScript : public ::testing::Test {
  protected:
    ImportScriptSettings settings(int kind, char delimiter = '|') const {
        return {kind, env_.root() + "/dump", "UTF8", "vorn", delimiter};
    }

    ExportEnv env_;
};

TEST_F(ImportScript, TableScriptQuotesNamesAsTheCatalogueSpellsThem) {
    ColumnLayout columns = {column(-2, "oid", typeoid::kOid), column(1, "Id", typeoid::kInt4),
                            column(2, "........pg.dropped.2........", 0),
                            column(3, "it's \"q\"", typeoid::kText)};
    const PgTable table = makeTable(16500, "HR", "Emp", columns);
    ImportScriptSettings s = settings(kExportText);
    s.clientEncoding = "LATIN1";

    const ImportScriptResult result = writeTableImportScript(s, entry(table, "HR_Emp.txt"));
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.path, env_.root() + "/dump/import_HR_Emp.sql");
    EXPECT_TRUE(result.byHand.empty());
    EXPECT_EQ(env_.read("import_HR_Emp.sql"),
              "--export PGCLIENTENCODING=LATIN1\n"
              "--psql -d vorn -U <your_user> -f import_HR_Emp.sql\n"
              "\n"
              "SET client_encoding TO 'LATIN1';\n"
              "\\COPY \"HR\".\"Emp\"(\"Id\", \"it's \"\"q\"\"\") FROM 'HR_Emp.txt' "
              "WITH(FORMAT text, DELIMITER '|', NULL '');\n");
}

TEST_F(ImportScript, SchemaScriptKeepsHostileNamesInsideTheirQuotes) {
    const std::vector<PgTable> tables = {
        makeTable(16501, "S", "t FROM PROGRAM 'cmd' --", idAnd("v")),
        makeTable(16502, "S", "semi;colon", idAnd("a;b")),
        makeTable(16503, "S", "back\\slash", idAnd("c\\d")),
        makeTable(16504, "S", "line\nfeed", idAnd("v")),
        makeTable(16505, "S", "plain", idAnd("carriage\rreturn")),
        makeTable(16506, "S", "broken", idAnd("v")),
        makeTable(16507, "S", "no_columns", {}),
        makeTable(16508, "S", "tilde", idAnd("v")),
    };
    const std::vector<ImportTable> entries = {
        entry(tables[0], "S_t FROM PROGRAM 'cmd' --.bin"),
        entry(tables[1], "S_semi;colon.bin"),
        entry(tables[2], "S_back\\slash.bin"),
        entry(tables[3], "S_line_feed_16504.bin"),
        entry(tables[4], "S_plain.bin"),
        entry(tables[5], "", true, "\nBegin unload table \"S\".\"broken\" error: disk\rfull\n"),
        entry(tables[6], "S_no_columns.bin"),
        entry(tables[7], "~tilde.bin"),
    };

    const ImportScriptResult result =
        writeSchemaImportScript(settings(kExportBinary), "S", entries);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.path, env_.root() + "/dump/import_S.sql");
    EXPECT_EQ(result.byHand, (std::vector<std::string>{"\"S\".\"line?feed\"", "\"S\".\"plain\""}));
    EXPECT_EQ(
        env_.read("import_S.sql"),
        "--export PGCLIENTENCODING=UTF8\n"
        "--psql -d vorn -U <your_user> -f import_S.sql\n"
        "\n"
        "SET client_encoding TO 'UTF8';\n"
        "\\COPY \"S\".\"t FROM PROGRAM 'cmd' --\"(\"id\", \"v\") FROM "
        "'S_t FROM PROGRAM ''cmd'' --.bin' WITH(FORMAT binary);\n"
        "\\COPY \"S\".\"semi;colon\"(\"id\", \"a;b\") FROM 'S_semi;colon.bin' WITH(FORMAT "
        "binary);\n"
        "\\COPY \"S\".\"back\\slash\"(\"id\", \"c\\d\") FROM 'S_back\\slash.bin' "
        "WITH(FORMAT binary);\n"
        "-- Table \"S\".\"line?feed\" must be loaded by hand from 'S_line_feed_16504.bin': a name "
        "holds a control character (shown as ?), and a psql \\COPY line would end there. A "
        "COPY ... FROM STDIN with the file as input loads it.\n"
        "-- Table \"S\".\"plain\" must be loaded by hand from 'S_plain.bin': a name holds a "
        "control character (shown as ?), and a psql \\COPY line would end there. A COPY ... "
        "FROM STDIN with the file as input loads it.\n"
        "-- Table \"S\".\"broken\" not loaded: its unload failed.\n"
        "--   Begin unload table \"S\".\"broken\" error: disk\n"
        "--   full\n"
        "\\COPY \"S\".\"no_columns\" FROM 'S_no_columns.bin' WITH(FORMAT binary);\n"
        "\\COPY \"S\".\"tilde\"(\"id\", \"v\") FROM './~tilde.bin' WITH(FORMAT binary);\n");
}

TEST_F(ImportScript, DelimiterIsAQuotedLiteral) {
    const PgTable table = makeTable(16510, "public", "t", idAnd("v"));
    const struct {
        char delimiter;
        const char* literal;
    } cases[] = {
        {'|', "'|'"},       {',', "','"},       {'\'', "''''"},       {';', "';'"},
        {'\t', "E'\\x09'"}, {'\\', "E'\\x5C'"}, {'\xA7', "E'\\xA7'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.literal);
        writeTableImportScript(settings(kExportText, c.delimiter), entry(table, "public_t.txt"));
        const std::string script = env_.read("import_public_t.sql");
        EXPECT_NE(script.find(std::string("FROM 'public_t.txt' WITH(FORMAT text, DELIMITER ") +
                              c.literal + ", NULL '');\n"),
                  std::string::npos)
            << script;
    }
}

TEST_F(ImportScript, FormatsWithoutAFileToLoad) {
    const PgTable table = makeTable(16520, "public", "t", idAnd("v"));

    // CSV: no writer exists, so there is nothing to name; the script says so.
    ImportScriptResult result = writeTableImportScript(settings(kExportCsv), entry(table, ""));
    EXPECT_EQ(result.error, "");
    const std::string csv = env_.read("import_public_t.sql");
    EXPECT_EQ(csv.find("\\COPY"), std::string::npos) << csv;
    EXPECT_NE(csv.find("-- Table \"public\".\"t\" not loaded: no CSV file is written (export "
                       "format CSV has no writer).\n"),
              std::string::npos)
        << csv;

    // TEXT without a data file (nothing the writer reported).
    result = writeTableImportScript(settings(kExportText), entry(table, ""));
    EXPECT_NE(env_.read("import_public_t.sql")
                  .find("-- Table \"public\".\"t\" not loaded: its unload wrote no data file.\n"),
              std::string::npos);

    // DB and unknown codes: the rows are in the target already, no script at all.
    boost::filesystem::remove(env_.root() + "/dump/import_public_t.sql");
    for (int kind : {kExportDb, 0, 5}) {
        result = writeTableImportScript(settings(kind), entry(table, "public_t.txt"));
        EXPECT_EQ(result.path, "");
        EXPECT_EQ(result.error, "");
        EXPECT_EQ(writeSchemaImportScript(settings(kind), "public", {entry(table, "x")}).path, "");
    }
    EXPECT_FALSE(boost::filesystem::exists(env_.root() + "/dump/import_public_t.sql"));
    EXPECT_FALSE(boost::filesystem::exists(env_.root() + "/dump/import_public.sql"));
    EXPECT_EQ(writeSchemaImportScript(settings(kExportText), "public", {}).path, "");
}

// The database name of the psql line is one shell word without the line feed it holds; one
// that ends in a line feed has no such word and is left to the user, as the user is.
TEST_F(ImportScript, HeaderNeverSetsAnEmptyEncodingNorCarriesALineEnd) {
    const PgTable table = makeTable(16530, "public", "t", idAnd("v"));
    ImportScriptSettings s = settings(kExportText);
    s.clientEncoding = "";
    for (const auto& [database, word] :
         {std::pair<std::string, std::string>{"db\nDROP DATABASE x;",
                                              "\"$(printf 'db\\012DROP DATABASE x;')\""},
          {"db\n", "<database>"}}) {
        s.databaseName = database;
        writeTableImportScript(s, entry(table, "public_t.txt"));
        const std::string script = env_.read("import_public_t.sql");
        EXPECT_EQ(script.substr(0, script.find("\\COPY")),
                  "--export PGCLIENTENCODING=UTF8\n"
                  "--psql -d " +
                      word +
                      " -U <your_user> -f import_public_t.sql\n"
                      "\n"
                      "SET client_encoding TO 'UTF8';\n");
        EXPECT_EQ(script.find("lc_messages"), std::string::npos);
    }
}

TEST_F(ImportScript, ScriptNamesStayInTheExportDirectory) {
    const PgTable table = makeTable(16540, "../..", "../etc/passwd", idAnd("v"));
    ImportScriptResult result =
        writeTableImportScript(settings(kExportText), entry(table, "x.txt"));
    ASSERT_EQ(result.error, "");
    const boost::filesystem::path written(result.path);
    EXPECT_EQ(written.parent_path().string(), env_.root() + "/dump");
    EXPECT_EQ(written.filename().string(), "import_.._.._.._etc_passwd_16540.sql");
    EXPECT_TRUE(boost::filesystem::exists(written));
    EXPECT_NE(
        env_.read(written.filename().string()).find("-f import_.._.._.._etc_passwd_16540.sql\n"),
        std::string::npos);

    result = writeSchemaImportScript(settings(kExportText), "../..", {entry(table, "x.txt")});
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(boost::filesystem::path(result.path).parent_path().string(), env_.root() + "/dump");
    EXPECT_EQ(boost::filesystem::path(result.path).filename().string(),
              "import_.._.._" + std::to_string(kSchemaOid) + ".sql");
}

// The public schema is OID 2200 in every database: its scripts of two databases are two
// files, each loading its own database's file; writing one again replaces it, in this run
// or a later one.
TEST_F(ImportScript, SchemasOfOneNameInTwoDatabasesGetAScriptEach) {
    PgTable first = makeTable(16600, "public", "twin", idAnd("v"));
    PgTable second = makeTable(16700, "public", "twin", idAnd("v"));
    first.relnamespace = second.relnamespace = 2200;
    first.dboid = 16384;
    second.dboid = 16390;
    testing::internal::CaptureStdout();
    const ImportScriptResult a =
        writeSchemaImportScript(settings(kExportText), "public", {entry(first, "public_twin.txt")});
    const ImportScriptResult b = writeSchemaImportScript(settings(kExportText), "public",
                                                         {entry(second, "public_twin_16700.txt")});
    resetTableFileNames();
    const ImportScriptResult again = writeSchemaImportScript(
        settings(kExportText), "public", {entry(second, "public_twin_16700.txt")});
    const std::string console = testing::internal::GetCapturedStdout();
    ASSERT_EQ(a.error + b.error + again.error, "");
    EXPECT_EQ(a.path, env_.root() + "/dump/import_public.sql");
    EXPECT_EQ(b.path, env_.root() + "/dump/import_public_2200.sql");
    EXPECT_EQ(again.path, b.path);
    EXPECT_NE(env_.read("import_public.sql").find("FROM 'public_twin.txt'"), std::string::npos);
    EXPECT_NE(env_.read("import_public_2200.sql").find("-f import_public_2200.sql\n"),
              std::string::npos);
    EXPECT_NE(env_.read("import_public_2200.sql").find("FROM 'public_twin_16700.txt'"),
              std::string::npos);
    EXPECT_NE(console.find("File name \"import_public\" is already used by the schema with OID "
                           "2200 of database 16384; the schema with OID 2200 of database 16390 "
                           "is written as \"import_public_2200\"."),
              std::string::npos)
        << console;
    // The per-table scripts of the two twins too.
    testing::internal::CaptureStdout();
    const ImportScriptResult ta =
        writeTableImportScript(settings(kExportText), entry(first, "public_twin.txt"));
    const ImportScriptResult tb =
        writeTableImportScript(settings(kExportText), entry(second, "public_twin_16700.txt"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ta.path, env_.root() + "/dump/import_public_twin.sql");
    EXPECT_EQ(tb.path, env_.root() + "/dump/import_public_twin_16700.sql");
}

TEST_F(ImportScript, ScriptThatCannotBeWrittenIsReported) {
    const PgTable table = makeTable(16550, "public", "t", idAnd("v"));
    const struct {
        std::string dir;
        std::string message;
    } cases[] = {
        {env_.root() + "/missing", "No such file or directory"},
        {env_.root() + "/dump/.keep", "Not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        ImportScriptSettings s = settings(kExportText);
        s.exportPath = c.dir;
        ImportScriptResult result = writeTableImportScript(s, entry(table, "public_t.txt"));
        EXPECT_EQ(result.path, c.dir + "/import_public_t.sql");
        EXPECT_NE(result.error.find(c.dir + "/import_public_t.sql"), std::string::npos)
            << result.error;
        EXPECT_NE(result.error.find(c.message), std::string::npos) << result.error;
        result = writeSchemaImportScript(s, "public", {entry(table, "public_t.txt")});
        EXPECT_NE(result.error.find(c.message), std::string::npos) << result.error;
    }
}

// The script a hostile catalogue yields, run by the real psql: every table loads as an
// ordinary table, nothing runs as a program, and the table no \COPY line can name stays
// empty. The delimiter is a quote, the file names hold quotes and blanks.
TEST_F(ImportScript, PsqlLoadsHostileNamesAsOrdinaryTables) {
    PgServer& server = PgServer::shared();
    const std::string database = "import_hostile";
    server.psql("DROP DATABASE IF EXISTS " + database + ";");
    server.createDatabase(database);

    const std::string schema = "Evil \"S\"";
    const std::vector<PgTable> tables = {
        makeTable(16601, schema, "t FROM PROGRAM 'touch pwned' --", idAnd("v")),
        makeTable(16602, schema, "semi;colon", idAnd("a;b")),
        makeTable(16603, schema, "back\\slash", idAnd("c\\d")),
        makeTable(16604, schema, "it's \"q\" (x)", idAnd("Mixed Case")),
        makeTable(16605, schema, "'; \\! touch pwned2", idAnd("v")),
        makeTable(16606, schema, "line\nfeed", idAnd("v")),
    };
    std::string ddl = "CREATE SCHEMA " + quoteIdentifier(schema) + ";\n";
    std::vector<ImportTable> entries;
    for (size_t i = 0; i < tables.size(); ++i) {
        ddl += buildCreateTableDdl(schema, tables[i].name(), tables[i].columns(), true) + ";\n";
        const std::string file = "data 'file' " + std::to_string(i) + ".txt";
        std::ofstream(env_.root() + "/dump/" + file, std::ios::binary)
            << i << "'row of " << i << "\n";
        entries.push_back(entry(tables[i], file));
    }
    server.psql(ddl, database);

    const ImportScriptResult result =
        writeSchemaImportScript(settings(kExportText, '\''), schema, entries);
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.byHand, (std::vector<std::string>{"\"Evil \"\"S\"\"\".\"line?feed\""}));
    const std::string scriptName = boost::filesystem::path(result.path).filename().string();
    const PsqlRun run = runPsqlIn(server, env_.root() + "/dump", database, {"-f", scriptName});
    EXPECT_EQ(run.status, 0) << run.err;

    std::string counts;
    for (const PgTable& t : tables)
        counts += "SELECT count(*), string_agg(id || ':' || " +
                  quoteIdentifier(t.columns()[1].name()) + ", ',') FROM " +
                  quoteIdentifier(schema) + "." + quoteIdentifier(t.name()) + ";\n";
    EXPECT_EQ(server.psql(counts, database),
              "1|0:row of 0\n1|1:row of 1\n1|2:row of 2\n1|3:row of 3\n1|4:row of 4\n0|\n");
    EXPECT_FALSE(boost::filesystem::exists(env_.root() + "/dump/pwned"));
    EXPECT_FALSE(boost::filesystem::exists(env_.root() + "/dump/pwned2"));
    server.psql("DROP DATABASE " + database + ";");
}

// A table whose column type has no SQL name (a user's enum, OID 16384 and up) has no CREATE
// TABLE in any DDL file, so it does not exist where those files ran. Its \COPY line would end
// the script under ON_ERROR_STOP and the tables after it would stay empty: it is written
// commented out, after a line that says why, and psql loads the others.
TEST_F(ImportScript, TableWithoutCreateTableIsACommentAndTheOthersLoad) {
    PgServer& server = PgServer::shared();
    const std::string database = "import_undeclared";
    server.psql("DROP DATABASE IF EXISTS " + database + ";");
    server.createDatabase(database);

    const std::vector<PgTable> tables = {
        makeTable(16701, "public", "before", idAnd("v")),
        makeTable(16702, "public", "moods",
                  {column(1, "id", typeoid::kInt4), column(2, "m", 16390)}),
        makeTable(16703, "public", "after", idAnd("v")),
    };
    std::string ddl;
    std::vector<ImportTable> entries;
    for (const PgTable& t : tables) {
        const std::string create = buildCreateTableDdl("public", t.name(), t.columns(), true);
        if (!create.empty())
            ddl += create + ";\n";
        const std::string file = "public_" + t.name() + ".txt";
        std::ofstream(env_.root() + "/dump/" + file, std::ios::binary) << "1|" << t.name() << "\n";
        entries.push_back(entry(t, file));
    }
    ASSERT_EQ(ddl.find("moods"), std::string::npos);
    server.psql(ddl, database);

    for (int kind : {kExportText, kExportBinary}) {
        const ImportScriptResult result =
            writeSchemaImportScript(settings(kind), "public", entries);
        ASSERT_EQ(result.error, "");
        const std::string script = env_.read("import_public.sql");
        EXPECT_NE(
            script.find("-- Table \"public\".\"moods\" not loaded: no CREATE TABLE is "
                        "written for it, the type of column m (type OID 16390) has no SQL "
                        "name. Once the table exists, this line loads it:\n"
                        "-- \\COPY \"public\".\"moods\"(\"id\", \"m\") FROM 'public_moods.txt'"),
            std::string::npos)
            << script;
        EXPECT_NE(script.find("\n\\COPY \"public\".\"after\""), std::string::npos) << script;
    }

    writeSchemaImportScript(settings(kExportText), "public", entries);
    const PsqlRun run =
        runPsqlIn(server, env_.root() + "/dump", database, {"-f", "import_public.sql"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(server.psql("SELECT (SELECT v FROM before), (SELECT v FROM after);", database),
              "before|after\n");
    server.psql("DROP DATABASE " + database + ";");
}

}  // namespace
}  // namespace vorn::test
