// The listing commands and bootstrap over the deb15 fixture, bootstrapped from its data
// directory, and what bootstrap says when it fails or leaves a database out.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "catalog/dictionary.h"
#include "shell/console.h"
#include "shell/list_commands.h"
#include "storage/file_node_map.h"
#include "tests/shell/console_text.h"
#include "tests/shell/support/shell_harness.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

// A shell over the deb15 fixture with its dictionary loaded at start-up.
class ListFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        VORN_FIXTURE_OR_SKIP(manifest, "deb15");
        manifest_ = &manifest;
        // Bootstrapped (the first time) before this test's workspace changes the working
        // folder and opens its logs.
        const std::string& dict = deb15Dictionary();
        workspace_.emplace(fixtureSettings(manifest));
        workspace_->useDictionary(dict);
        console_.emplace();
        runSession(*console_, {});
    }

    std::string run(const std::vector<std::string>& lines) {
        return runCommands(*console_, lines).screen;
    }
    const FixtureTable& table(const std::string& schema, const std::string& name) const {
        return manifest_->table("vorn", schema, name);
    }

    const FixtureManifest* manifest_ = nullptr;
    std::optional<ShellWorkspace> workspace_;
    std::optional<Console> console_;
};

TEST_F(ListFixture, ListDatabasesShowsEveryDatabaseButTheTemplates) {
    std::string expected = "       oid dbname          encoding       \n" + rule({10, 15, 15});
    for (const FixtureDatabase& db : manifest_->databases) {
        if (db.name == "template0" || db.name == "template1")
            continue;
        expected += fmt::format("{:>10} {:<15} {:<15}\n", db.oid, db.name,
                                fmt::format("{} ({})", db.encodingName, db.encoding));
    }
    // The manifest lists them in OID order too.
    EXPECT_EQ(run({"list db"}), expected + "\n");
}

TEST_F(ListFixture, ListSchemasAndTablesOfTheCurrentDatabase) {
    const std::string schemas = run({"use vorn", "list schema"});
    const FixtureTable& t01 = table("many", "t01");
    EXPECT_EQ(schemas.rfind("    db_oid schema_oid schema_name                     table_cnt\n" +
                                rule({10, 10, 30, 10}),
                            0),
              0u)
        << schemas;
    // "many" holds t01 .. t20.
    const uint32_t manyOid = [&] {
        for (const auto& [key, entry] : Dictionary::instance().schemas)
            if (entry.dboid == t01.databaseOid && entry.nspname == "many")
                return entry.oid;
        return 0u;
    }();
    EXPECT_NE(schemas.find(fmt::format("{:>10} {:>10} {:<30} {:>10}\n", t01.databaseOid, manyOid,
                                       "many", 20)),
              std::string::npos)
        << schemas;

    // A fragment anywhere in the name, case ignored: t01 .. t09, not t10 .. t20.
    std::string expected = kTableHeader;
    for (int i = 1; i <= 9; ++i) {
        const FixtureTable& t = table("many", fmt::format("t{:02d}", i));
        expected += tableRow(t.databaseOid, manyOid, t.oid, padded(t.name, 3));
    }
    EXPECT_EQ(run({"set schema many", "list table T0"}), expected + "\n");
    EXPECT_EQ(run({"list table zz"}), kTableHeader + "\n");
    const std::string all = run({"list table"});
    EXPECT_NE(all.find(padded("t20", 3)), std::string::npos) << all;
}

TEST_F(ListFixture, DescribeTableShowsItsFilesAndColumns) {
    const FixtureTable& t = table("public", "edge_text");
    ASSERT_TRUE(t.toast.has_value());
    const std::string expected =
        fmt::format("\nOID: {}, Toast OID: {}\nFile Node: {}, Tablespace: 0\nDatafile:  {}\n\n",
                    t.oid, t.toast->oid, t.relfilenode, t.path) +
        " col# name                           coltype                     length nullable  \n" +
        rule({5, 30, 25, 8, 10}) +
        "    1 id                             integer                          4 true      \n"
        "    2 t                              text                            -1 true      \n"
        "    3 vc                             varchar(40)                     -1 true      \n"
        "    4 bp                             char(8)                         -1 true      \n"
        "\n";
    EXPECT_EQ(run({"use vorn", "desc public.edge_text"}), expected);

    const std::string missing = "\nTable {} not exist\n\n";
    const struct {
        const char* line;
        bool found;
        const char* typed;  // the name in the "not exist" line
    } cases[] = {
        {"desc public.edge_text:part1", true, ""},  // the partition part is ignored
        {"desc EDGE_TEXT", true, ""},               // case ignored, in the current schema
        {"desc .edge_text", true, ""},              // an empty schema part: current schema
        {"desc PUBLIC.Edge_Text", true, ""},
        {"desc \"EDGE_TEXT\"", false, "\"EDGE_TEXT\""},  // quoted: the case is kept
        {"desc MixedSchema.\"CamelTable\"", true, ""},
        {"desc MixedSchema.CamelTable", true, ""},
        {"desc \"MIXEDSCHEMA\".CamelTable", false, "\"MIXEDSCHEMA\".CamelTable"},
        {"desc \"it's a \"\"quoted\"\" name\"", true, ""},
        {"desc public.", false, "public."},
        {"desc nosuch.edge_text", false, "nosuch.edge_text"},
        {"desc ab", false, "ab"},
    };
    for (const auto& c : cases) {
        const std::string out = run({c.line});
        if (c.found)
            EXPECT_EQ(out.find("\nOID: "), 0u) << c.line << "\n" << out;
        else
            EXPECT_EQ(out, fmt::format(fmt::runtime(missing), c.typed)) << c.line;
    }
}

// A dropped column keeps its pg_attribute row (attisdropped, "........pg.dropped.2........",
// no type): it is no column of the table and is not listed; the others keep their numbers.
TEST_F(ListFixture, DescribeListsNoDroppedColumn) {
    const FixtureTable& t = table("public", "dropped_col");
    const std::string out = run({"use vorn", "desc dropped_col"});
    const std::string columns =
        " col# name                           coltype                     length nullable  \n" +
        rule({5, 30, 25, 8, 10}) +
        "    1 a                              integer                          4 true      \n"
        "    3 c                              text                            -1 true      \n"
        "\n";
    EXPECT_EQ(out.rfind(fmt::format("\nOID: {}, ", t.oid), 0), 0u) << out;
    ASSERT_GE(out.size(), columns.size());
    EXPECT_EQ(out.substr(out.size() - columns.size()), columns) << out;
    EXPECT_EQ(out.find("dropped"), std::string::npos) << out;
}

TEST_F(ListFixture, DescribeConvertsColumnNamesFromTheDatabaseEncoding) {
    // vorn_latin1 stores "café" and "größe" as Latin-1 bytes; a name is typed as stored.
    const std::string out = run({"set db vorn_latin1", "desc caf\xe9"});
    EXPECT_NE(out.find("    2 größe                          text"), std::string::npos) << out;
    EXPECT_STREQ(std::getenv("PGCLIENTENCODING"), "LATIN1");
}

TEST_F(ListFixture, AListingThatCannotBeWrittenEndsTheLoopWithStatusOne) {
    // pg_catalog's 64 rows overflow the stdio buffer: the listing itself throws, the loop
    // catches it and sees standard output gone.
    ScriptedLines source({"set schema vorn.pg_catalog", "list table", "help"});
    int status = 0;
    {
        ClosedStdout closed;
        status = console_->runCommandLoop(source);
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(source.linesRead(), 2u);
    const std::string log = workspace_->readFile("log/vorn.log");
    EXPECT_NE(log.find("[error] Standard output cannot be written any more"), std::string::npos)
        << log;
}

TEST(ListBootstrap, BuildsTheDictionaryAndChoosesPublic) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    ShellWorkspace workspace(fixtureSettings(m));
    Console console;
    runSession(console, {});
    std::filesystem::remove_all(workspace.path() + "/dict");

    const SessionResult r = runCommands(console, {"bootstrap", "list db"});
    EXPECT_EQ(r.screen.substr(0, r.screen.find("       oid")), "Bootstrap finish.\n\n");
    for (const char* file : {"pg_db.dat", "pg_schema.dat", "pg_class.dat", "pg_attr.dat"})
        EXPECT_TRUE(std::filesystem::exists(workspace.path() + "/dict/" + file)) << file;
    ASSERT_EQ(r.prompts.size(), 3u);
    EXPECT_EQ(r.prompts[1], "postgres.public@VORN > ");
    // bootstrap makes "public" of the first database current.
    EXPECT_NE(console.schemaOid(), 0u);
    EXPECT_EQ(currentSchemaOid, console.schemaOid());
    EXPECT_NE(r.screen.find(" vorn_latin1     LATIN1 (8)"), std::string::npos) << r.screen;
}

// After a failure "Bootstrap finish." is not said; that the dictionary loaded before is still
// in use is said only when there is one.
TEST(ListBootstrap, AFailedBootstrapSaysWhyAndKeepsTheDictionary) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    const std::string& dict = deb15Dictionary();
    const std::string why =
        "Unable to run bootstrap, data directory \"/nonexistent/pgdata\" not found\n";
    for (const bool withDictionary : {true, false}) {
        SCOPED_TRACE(withDictionary ? "a dictionary loaded" : "no dictionary");
        ShellSettings settings = fixtureSettings(m);
        settings.pgdata = "/nonexistent/pgdata";
        ShellWorkspace workspace(settings);
        if (withDictionary)
            workspace.useDictionary(dict);
        Console console;
        runSession(console, {});
        const SessionResult r = runCommands(console, {"bootstrap", "list db"});
        // Nothing follows the reason: the bootstrap read nothing, so no schema is looked for.
        EXPECT_EQ(
            r.screen.substr(0, r.screen.find("       oid")),
            why + (withDictionary ? "The dictionary loaded before is still the one in use.\n\n"
                                  : "\n"));
        EXPECT_EQ(r.screen.find(" vorn_latin1 ") != std::string::npos, withDictionary) << r.screen;
        EXPECT_NE(workspace.readFile("log/vorn.log").find("[error] Unable to run bootstrap, "),
                  std::string::npos);
    }
}

// A data directory of PostgreSQL 17 with version 15 in conf/vorn.ini: bootstrap refuses it,
// and the refusal is the last word. No schema is looked for in a dictionary that was not read
// ("Schema "public" does not exist." would follow it), and the schema chosen before in the
// dictionary loaded before stays the current one.
TEST(ListBootstrap, AVersionRefusalIsTheLastWord) {
    VORN_FIXTURE_OR_SKIP(m, "pg17");
    const std::string& dict = fixtureDictionary("pg17");
    ShellSettings settings = fixtureSettings(m);
    settings.version = "15";
    const std::string refusal = "Unable to run bootstrap, data directory \"" + m.dataDir +
                                "\" was written by PostgreSQL 17, the configured version is 15\n";
    for (const bool withDictionary : {false, true}) {
        SCOPED_TRACE(withDictionary ? "a dictionary loaded" : "no dictionary");
        ShellWorkspace workspace(settings);
        if (withDictionary)
            workspace.useDictionary(dict);
        Console console;
        const SessionResult started = runSession(console, {"use vorn", "set schema many"});
        ASSERT_EQ(started.prompts.back(), withDictionary ? "vorn.many@VORN > " : "VORN > ");

        const SessionResult r = runCommands(console, {"bootstrap"});
        EXPECT_EQ(
            r.screen,
            refusal + (withDictionary ? "The dictionary loaded before is still the one in use.\n\n"
                                      : "\n"));
        EXPECT_EQ(r.prompts,
                  (std::vector<std::string>{started.prompts.back(), started.prompts.back()}));
    }
}

// Through the real binary: a database whose pg_class is lost is named with the reason, the
// others are there to use, and the dictionary it replaced is in dict/previous/.
TEST(ListBootstrap, ADatabaseThatCannotBeReadIsNamedAndTheOthersWritten) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    TempDir dir;
    const std::string data = dir.path() + "/data";
    linkFarm(m.dataDir, data);
    const std::string vornOid = std::to_string(m.findDatabase("vorn")->oid);
    const std::string pgClass = data + "/base/" + vornOid + "/1259";  // not moved in deb15
    ShellSettings settings = fixtureSettings(m);
    settings.pgdata = data;
    dir.writeFile("conf/vorn.ini", configFileText(settings));
    std::filesystem::create_directories(dir.path() + "/dump");
    const ProcessResult first = runVorn(dir.path(), "bootstrap\nexit\n");
    ASSERT_NE(screenText(first.out).find("Bootstrap finish.\n"), std::string::npos) << first.out;

    std::filesystem::remove(pgClass);
    const ProcessResult r =
        runVorn(dir.path(), "bootstrap\nlist db\nuse vorn_latin1\nlist table\nexit\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = screenText(r.out);
    const std::string expected =
        "The previous dictionary was kept in dict/previous/: this bootstrap found ";
    const size_t at = out.find(expected);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string report = out.substr(at, out.find("\n\n", at) - at);
    EXPECT_NE(report.find(" tables where it had "), std::string::npos) << report;
    EXPECT_NE(report.find("; 1 database was not read.\n"
                          "Bootstrap finished, but 1 of 4 databases could not be read; its tables "
                          "are not in the dictionary:\n"
                          "  Database \"vorn\" (OID " +
                          vornOid + ") not read: pg_class: file \"" + pgClass +
                          "\" cannot be read: No such file or directory"),
              std::string::npos)
        << report;
    EXPECT_EQ(out.find("Bootstrap finish."), std::string::npos) << out;
    EXPECT_NE(out.find(" vorn_latin1     LATIN1 (8)"), std::string::npos) << out;
    EXPECT_NE(out.find(" latin1_plain"), std::string::npos) << out;
    for (const char* file : {"pg_db.dat", "pg_schema.dat", "pg_class.dat", "pg_attr.dat"})
        EXPECT_TRUE(std::filesystem::exists(dir.path() + "/dict/previous/" + file)) << file;
    EXPECT_NE(dir.readFile("log/vorn.log").find("[error] Database \"vorn\" (OID " + vornOid + ")"),
              std::string::npos);
}

// A catalogue cut short or read with damage: bootstrap names it, keeps the previous
// dictionary, and says that it finished with damage instead of "Bootstrap finish.", returning
// false; after a whole read it says "Bootstrap finish." and returns true.
TEST(ListBootstrap, ACatalogueCutShortOrReadWithDamageFinishesWithDamage) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    TempDir dir;
    const std::string data = dir.path() + "/data";
    linkFarm(m.dataDir, data);
    const std::string vornOid = std::to_string(m.findDatabase("vorn")->oid);
    const std::string base = data + "/base/" + vornOid;
    FileNodeMap map;
    map.load(base + "/pg_filenode.map");
    const std::string pgClass = base + "/" + std::to_string(map.lookup(1259));
    const std::string pgAttribute = base + "/" + std::to_string(map.lookup(1249));
    ShellSettings settings = fixtureSettings(m);
    settings.pgdata = data;
    ShellWorkspace workspace(settings);
    Console console;
    runSession(console, {});
    uint32_t schema = 0;
    ListCommands list(&schema);
    const auto bootstrap = [&](bool expected) {
        CapturedStdout out;
        EXPECT_EQ(list.bootstrap(), expected);
        return screenText(out.finish());
    };
    EXPECT_NE(bootstrap(true).find("Bootstrap finish.\n\n"), std::string::npos);

    // A fresh file in place of the farm's link to the fixture's.
    const auto replace = [](const std::string& path, const auto& change) {
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        change(bytes);
        std::filesystem::remove(path);
        std::ofstream(path, std::ios::binary) << bytes;
    };
    const struct Case {
        const char* name;
        std::string file;
        void (*change)(std::string&);
        std::string warning;
    } cases[] = {
        {"pg_class cut to half", pgClass,
         [](std::string& b) { b.resize(b.size() / 8192 / 2 * 8192); },
         "Warning: pg_class of database vorn (oid " + vornOid + ") lost blocks: \"" + pgClass +
             "\" holds 7 blocks, but its indexes point at "},
        // pd_lower (offset 12) above pd_upper: the second page's header is refused.
        {"a pg_attribute page damaged", pgAttribute,
         [](std::string& b) { std::memcpy(b.data() + 8192 + 12, "\xf0\xff", 2); },
         "Warning: pg_attribute of database vorn (oid " + vornOid + ") read with damage ("},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(data);
        linkFarm(m.dataDir, data);
        replace(c.file, c.change);
        const std::string out = bootstrap(false);
        const size_t warning = out.find(c.warning);
        const size_t kept = out.find("The previous dictionary was kept in dict/previous/: ");
        const size_t finished = out.find(
            "Bootstrap finished with damage: the catalogues named above were not read whole, so "
            "the dictionary may lack tables, columns or schemas.\n\n");
        ASSERT_NE(warning, std::string::npos) << out;
        ASSERT_NE(kept, std::string::npos) << out;
        ASSERT_NE(finished, std::string::npos) << out;
        EXPECT_LT(warning, kept);
        EXPECT_LT(kept, finished);
        EXPECT_EQ(out.find("Bootstrap finish."), std::string::npos) << out;
        EXPECT_NE(workspace.readFile("log/vorn.log")
                      .find("[warning] Bootstrap finished with damage: the catalogues named above"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace vorn::test
