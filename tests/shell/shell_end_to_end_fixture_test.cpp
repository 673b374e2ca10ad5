// A session as a user types it, through the real binary on the deb15 fixture: bootstrap,
// use, set schema, unload schema with four workers, unload object, unload table; then the
// DDL and import scripts it wrote are run by the real psql in a live server, and every
// table must hold the rows the fixture's server copied out before it stopped. On deb15v,
// two runs in one work folder unload two tables that meet on one file name.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/shell/support/shell_harness.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/pg_server.h"
#include "tests/support/psql_run.h"
#include "tests/support/shell_run.h"

namespace vorn::test {
namespace {

std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void runScript(const PgServer& server, const std::string& dir, const std::string& database,
               const std::string& script) {
    const PsqlRun r = runPsqlIn(server, dir, database, {"-q", "-f", script});
    ASSERT_EQ(r.status, 0) << script << ":\n" << r.err;
    EXPECT_EQ(r.err, "") << script;
}

TEST(ShellEndToEnd, ImportScriptsLoadWhatTheServerHeld) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    TempDir dir;
    dir.writeFile("conf/vorn.ini", configFileText(fixtureSettings(m)));
    std::filesystem::create_directories(dir.path() + "/dump");
    std::filesystem::create_directories(dir.path() + "/ddl");

    const ProcessResult r = runVorn(dir.path(),
                                    "bootstrap\n"
                                    "use vorn\n"
                                    "set schema many\n"
                                    "unload schema many parallel 4\n"
                                    "unload object MANY\n"
                                    "set schema public\n"
                                    "unload table edge_text\n"
                                    "unload table public.storage_forms\n"
                                    "exit\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = screenText(r.out);
    for (const char* expected :
         {"Bootstrap finish.\n", " Unloading many's tables, total cnt: 20 in parallel 4\n",
          "========== Unload \"many\": 20 total, 20 success, 0 incomplete, 0 error, 0 skipped, 0 "
          "ignored "
          "==========\n",
          "'s TABLE DDL(total 20) to \"ddl/many_table_ddl.sql\"...\nfinish.\n",
          " unloading table \"public\".\"edge_text\" in parallel 1...\n", " unloaded 12 rows (",
          " unloaded 5 rows ("}) {
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    }

    PgServer& server = PgServer::shared();
    const std::string db = "shell_e2e";
    server.createDatabase(db);
    // The schema DDL file makes its schema: the target database starts empty.
    const std::string dump = dir.path() + "/dump";
    runScript(server, dir.path(), db, "ddl/many_table_ddl.sql");
    runScript(server, dump, db, "public_edge_text.sql");
    runScript(server, dump, db, "public_storage_forms.sql");
    // The import scripts name their data files without a folder: psql runs beside them.
    for (const char* script :
         {"import_many.sql", "import_public_edge_text.sql", "import_public_storage_forms.sql"})
        runScript(server, dump, db, script);

    std::vector<const FixtureTable*> tables = {&m.table("vorn", "public", "edge_text"),
                                               &m.table("vorn", "public", "storage_forms")};
    for (int i = 1; i <= 20; ++i)
        tables.push_back(&m.table("vorn", "many", fmt::format("t{:02d}", i)));
    for (const FixtureTable* t : tables) {
        SCOPED_TRACE(t->schema + "." + t->name);
        const std::string loaded = server.psql(
            fmt::format("COPY {}.{} TO STDOUT WITH (DELIMITER '|', NULL '');", t->schema, t->name),
            db);
        const std::vector<std::string> ours = sortedLines(loaded);
        EXPECT_EQ(ours.size(), static_cast<size_t>(t->rows));
        EXPECT_TRUE(ours == sortedLines(readWhole(t->copyText)));
    }
}

// What the console says of tables that are not a plain success: a partitioned parent is
// skipped with the way to its rows, a table with values the format cannot write is
// incomplete, and neither is counted as a success. The export directory does not exist
// before: the first unload makes it.
TEST(ShellEndToEnd, SkippedAndIncompleteTablesAreSaidAsSuch) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    TempDir dir;
    dir.writeFile("conf/vorn.ini", configFileText(fixtureSettings(m)));
    const ProcessResult r = runVorn(dir.path(),
                                    "bootstrap\n"
                                    "use vorn\n"
                                    "unload table measurements\n"
                                    "unload schema public\n"
                                    "exit\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = screenText(r.out);
    const std::string partitioned =
        "Table \"public\".\"measurements\" is a partitioned table: it holds no rows of its own.";
    EXPECT_NE(
        out.find(" unloading table \"public\".\"measurements\" in parallel 1...\n  " + partitioned),
        std::string::npos)
        << out;
    EXPECT_EQ(out.find("unloaded 0 rows"), std::string::npos) << out;
    EXPECT_NE(out.find("  skipped \"public\".\"measurements\": " + partitioned), std::string::npos)
        << out;
    EXPECT_NE(out.find("  incomplete \"public\".\"all_types\": "), std::string::npos) << out;
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(out, counts,
                                  std::regex("========== Unload \"public\": (\\d+) total, (\\d+) "
                                             "success, 1 incomplete, 0 error, 1 skipped, 0 "
                                             "ignored ==========")))
        << out;
    EXPECT_EQ(std::stoi(counts[1]), std::stoi(counts[2]) + 2);
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/dump/public_twin.txt"));
}

// x.a_b and x_a.b meet on the file name "x_a_b" once schema and table are joined. Two runs
// of the binary in one work folder: the second names its table apart and says why (on the
// console and in the log), unloading x again replaces x's own files, and each schema's
// import script loads its own table's rows into a live server.
TEST(ShellEndToEnd, ALaterRunNeverWritesOverAnotherTablesFile) {
    VORN_FIXTURE_OR_SKIP(m, "deb15v");
    TempDir dir;
    dir.writeFile("conf/vorn.ini", configFileText(fixtureSettings(m)));
    std::filesystem::create_directories(dir.path() + "/dump");
    const FixtureTable& ab = m.table("vorn", "x", "a_b");
    const FixtureTable& b = m.table("vorn", "x_a", "b");
    const std::string renamedStem = fmt::format("x_a_b_{}", b.oid);
    const std::string renamed = fmt::format(
        "File name \"x_a_b\" is already used by the table with OID {} of database {}; the table "
        "with OID {} of database {} is written as \"{}\".",
        ab.oid, ab.databaseOid, b.oid, b.databaseOid, renamedStem);

    ProcessResult r = runVorn(dir.path(), "bootstrap\nuse vorn\nunload schema x\nexit\n");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string out = screenText(r.out);
    EXPECT_NE(out.find("========== Unload \"x\": 1 total, 1 success"), std::string::npos) << out;
    EXPECT_EQ(out.find("already used"), std::string::npos) << out;

    r = runVorn(dir.path(), "use vorn\nunload schema x_a\nunload schema x\nexit\n");
    ASSERT_EQ(r.status, 0) << r.err;
    out = screenText(r.out);
    EXPECT_NE(out.find("========== Unload \"x_a\": 1 total, 1 success"), std::string::npos) << out;
    EXPECT_NE(out.find(renamed), std::string::npos) << out;
    EXPECT_NE(readWhole(dir.path() + "/log/unload_table.log").find(renamed), std::string::npos);

    const std::string dump = dir.path() + "/dump";
    EXPECT_TRUE(readWhole(dump + "/x_a_b.txt") == readWhole(ab.copyText));
    EXPECT_TRUE(readWhole(dump + "/" + renamedStem + ".txt") == readWhole(b.copyText));

    PgServer& server = PgServer::shared();
    const std::string db = "shell_e2e_joined";
    server.psql("DROP DATABASE IF EXISTS " + db + ";");
    server.createDatabase(db);
    server.psql("CREATE SCHEMA x; CREATE SCHEMA x_a;", db);
    for (const std::string& script : {std::string("x_a_b.sql"), renamedStem + ".sql",
                                      std::string("import_x.sql"), std::string("import_x_a.sql")})
        runScript(server, dump, db, script);
    for (const FixtureTable* t : {&ab, &b}) {
        SCOPED_TRACE(t->schema + "." + t->name);
        const std::vector<std::string> ours = sortedLines(server.psql(
            fmt::format("COPY {}.{} TO STDOUT WITH (DELIMITER '|', NULL '');", t->schema, t->name),
            db));
        EXPECT_EQ(ours.size(), static_cast<size_t>(t->rows));
        EXPECT_TRUE(ours == sortedLines(readWhole(t->copyText)));
    }
    server.psql("DROP DATABASE " + db + ";");
}

// The psql line at the top of each import script, copied into a shell, names the script and
// the database: with printf in place of psql and a user for <your_user>, sh and bash print
// exactly the script's file name and the database's name, blanks and quotes in them or not.
TEST(ShellEndToEnd, ThePsqlLineOfAnImportScriptWorksInAShell) {
    VORN_FIXTURE_OR_SKIP(m, "deb15v");
    TempDir dir;
    dir.writeFile("conf/vorn.ini", configFileText(fixtureSettings(m)));
    const ProcessResult r = runVorn(dir.path(),
                                    "bootstrap\n"
                                    "use vorn\n"
                                    "unload table \"order items\"\n"
                                    "unload table \"it's a \"\"quoted\"\" name\"\n"
                                    "unload table twin\n"
                                    "use \"Second DB\"\n"
                                    "unload schema public\n"
                                    "exit\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string dump = dir.path() + "/dump";
    const struct {
        std::string script;
        std::string database;
    } cases[] = {
        {"import_public_order items.sql", "vorn"},
        {"import_public_it's a \"quoted\" name.sql", "vorn"},
        {"import_public_twin.sql", "vorn"},
        {"import_public.sql", "Second DB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        ASSERT_TRUE(std::filesystem::exists(dump + "/" + c.script)) << screenText(r.out);
        std::istringstream script(readWhole(dump + "/" + c.script));
        std::string line;
        std::getline(script, line);
        std::getline(script, line);
        ASSERT_EQ(line.rfind("--psql -d ", 0), 0u) << line;
        std::string command = "printf '%s\\n'" + line.substr(std::string("--psql").size());
        const size_t user = command.find("<your_user>");
        ASSERT_NE(user, std::string::npos) << line;
        command.replace(user, std::string("<your_user>").size(), "someone");
        for (const char* shell : {"/bin/sh", "/bin/bash"}) {
            const ShellRun run = runShell(shell, command, dump);
            EXPECT_EQ(run.status, 0) << shell << ": " << run.err;
            EXPECT_EQ(run.out, "-d\n" + c.database + "\n-U\nsomeone\n-f\n" + c.script + "\n")
                << shell << ": " << line;
        }
    }
}

// A second run of the program over the dictionary the first one bootstrapped starts in the
// schema its prompt names, "public" of the first database: unqualified names are found there
// without a set schema.
TEST(ShellEndToEnd, ARestartStartsInThePublicThePromptShows) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    ShellWorkspace workspace(fixtureSettings(m));
    const ProcessResult first = runVorn(workspace.path(), "bootstrap\nexit\n");
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_NE(screenText(first.out).find("Bootstrap finish.\n"), std::string::npos) << first.out;

    // The prompt shows only on a terminal: the same start-up in-process tells what it says.
    {
        Console console;
        const SessionResult restarted = runSession(console, {});
        ASSERT_EQ(restarted.prompts.size(), 1u);
        EXPECT_EQ(restarted.prompts[0], "postgres.public@VORN > ");
        EXPECT_EQ(console.schemaName(), "public");
        EXPECT_NE(console.schemaOid(), 0u);
    }

    // postgres holds no table of its own. Without its line in the cached database list the
    // first database is vorn, whose public does.
    const std::string databases = workspace.readFile("dict/pg_db.dat");
    std::string kept;
    std::istringstream lines(databases);
    for (std::string line; std::getline(lines, line);)
        if (line.find("|postgres|") == std::string::npos)
            kept += line + "\n";
    ASSERT_NE(kept, databases);
    workspace.writeFile("dict/pg_db.dat", kept);
    const FixtureTable& twin = m.table("vorn", "public", "twin");
    const FixtureDatabase* lowest = nullptr;
    for (const FixtureDatabase& db : m.databases)
        if (db.name != "postgres" && db.name.rfind("template", 0) != 0 &&
            (lowest == nullptr || db.oid < lowest->oid))
            lowest = &db;
    ASSERT_TRUE(lowest != nullptr && lowest->name == "vorn");

    const ProcessResult second =
        runVorn(workspace.path(), "list table twin\nunload table twin\nexit\n");
    ASSERT_EQ(second.status, 0) << second.err;
    const std::string out = screenText(second.out);
    EXPECT_NE(out.find(fmt::format("{:>10} {:>10} {:>10} twin", twin.databaseOid, 2200, twin.oid)),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(" unloading table \"public\".\"twin\" in parallel 1...\n"),
              std::string::npos)
        << out;
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(workspace.path() + "/dump"))
        if (e.path().extension() == ".txt")
            files.push_back(e.path().string());
    ASSERT_EQ(files.size(), 1u) << out;
    EXPECT_EQ(readWhole(files[0]), readWhole(twin.copyText));
}

}  // namespace
}  // namespace vorn::test
