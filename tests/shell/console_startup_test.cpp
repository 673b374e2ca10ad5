// Start-up of the console: the banner, the parameters in log/vorn.log, the dictionary load
// and the report of the export options, for the settings that change what it says.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "shell/banner.h"
#include "shell/console.h"
#include "tests/shell/console_text.h"
#include "tests/shell/support/shell_harness.h"
#include "tests/support/console_terminal.h"
#include "tests/support/pg_server.h"

namespace vorn::test {
namespace {

const std::string kRed = "\x1b[31;2m";
const std::string kResetRed = "\x1b[0m";

// The messages of a log file, without time stamp and level.
std::vector<std::string> logMessages(const std::string& text) {
    std::vector<std::string> messages;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t level = line.find("] [");
        const size_t end = level == std::string::npos ? level : line.find("] ", level + 3);
        messages.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return messages;
}

TEST(ConsoleStartup, DefaultsWithoutConfigurationOrDictionary) {
    ShellWorkspace workspace(std::nullopt);
    std::filesystem::remove(workspace.path() + "/dump");
    Console console;
    const SessionResult result = runSession(console, {});

    EXPECT_EQ(result.status, 0);
    // Not a terminal: neither the banner nor the error line carries colour, and there is no
    // bar (the screen is the bytes as they are).
    EXPECT_EQ(result.raw, result.screen);
    EXPECT_EQ(result.screen,
              plainBanner() + "Config file conf/vorn.ini in folder \"" +
                  std::filesystem::current_path().string() +
                  "/conf\" cannot be used: conf/vorn.ini: cannot open file, OS error: No such "
                  "file or directory. Every setting takes its default.\n" +
                  "Loading dict from cache file...\n" +
                  "Please run 'bootstrap' to init dictionary.\n\n" +
                  optionsBlock("14.0", "", "TEXT FILE", "  Export Directory => [ dump ]") +
                  "Export directory \"dump\" is invalid: No such file or directory.\n\n");
    EXPECT_EQ(result.prompts, std::vector<std::string>{"VORN > "});

    const std::vector<std::string> log = logMessages(workspace.readFile("log/vorn.log"));
    const std::vector<std::string> expected = {
        std::string("Starting up VORN for PostgreSQL Version: ") + releaseText() + " on Linux.",
        "Reading Parameter...",
        "Parameters:",
        "    db_version:          [14.0]",
        "    db_default_charset:  [UTF8]",
        "    pgdata_path:         []",
        "    export_format:       [TEXT]",
        "    export_path:         [dump]",
        "    text_delim_char:     [|]",
        "    db_block_size:       [8192]",
        "    reverse_byte:        [false]",
        "    block_checksum:      [false]",
        "    trace_block:         [false]",
    };
    // In this order, with the configuration's own complaint in between.
    size_t at = 0;
    for (const std::string& message : log)
        if (at < expected.size() && message == expected[at])
            ++at;
    EXPECT_EQ(at, expected.size()) << "missing from the log: " << expected[at];
}

// The prompt after start-up names the schema the unqualified commands then use: "public" of
// the first database of the cache, or none when that database has no "public".
TEST(ConsoleStartup, ACachedDictionaryStartsInPublicOfTheFirstDatabase) {
    const struct {
        const char* name;
        const char* schemas;
        const char* prompt;
        uint32_t schemaOid;
        std::string tables;  // what list table shows
    } cases[] = {
        {"with public", "10|2200|public\n10|3000|sales\n", "shop.public@VORN > ", 2200,
         kTableHeader + tableRow(10, 2200, 100, padded("orders", 6)) + "\n"},
        {"without public", "10|3000|sales\n", "shop.@VORN > ", 0, kTableHeader + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ShellWorkspace workspace(std::nullopt);
        workspace.writeFile("dict/pg_db.dat", "0|20|other|6||1663\n0|10|shop|6||1663\n");
        workspace.writeFile("dict/pg_schema.dat", std::string(c.schemas) + "20|2200|public\n");
        workspace.writeFile("dict/pg_class.dat",
                            "10|2200|100|orders|0|r|1|100|0|0\n10|3000|101|sold|0|r|1|101|0|0\n"
                            "20|2200|102|elsewhere|0|r|1|102|0|0\n");
        workspace.writeFile("dict/pg_attr.dat", "");
        Console console;
        const SessionResult start = runSession(console, {});
        EXPECT_NE(start.screen.find("Finish loading dict.\n\n"), std::string::npos) << start.screen;
        // Nothing is said about a schema at start-up.
        EXPECT_EQ(start.screen.find("does not exist"), std::string::npos) << start.screen;
        ASSERT_EQ(start.prompts.size(), 1u);
        EXPECT_EQ(start.prompts[0], c.prompt);
        EXPECT_EQ(console.schemaOid(), c.schemaOid);
        EXPECT_EQ(currentSchemaOid, c.schemaOid);
        EXPECT_EQ(runCommands(console, {"list table"}).screen, c.tables);
    }
}

TEST(ConsoleStartup, ExportFormatReports) {
    struct Case {
        const char* name;
        ShellSettings settings;
        std::string expected;  // what follows the PGDATA line
    } cases[] = {
        {"csv",
         {.format = "CSV"},
         "  Export Format    => [ CSV FILE ]\n  Export Directory => [ dump ]\n\n"
         "CSV export is not implemented: unload commands in this format write no data files "
         "(use TEXT, BINARY or DB).\n\n"},
        {"binary into a missing directory",
         {.format = "BINARY", .exportDir = "out/bin"},
         "  Export Format    => [ BINARY FILE ]\n  Export Directory => [ out/bin ]\n\n" + kRed +
             "Export directory \"out/bin\" is invalid: No such file or directory.\n" + kResetRed +
             "\n"},
        // An empty connect string: nothing inside NEW DB(), and the test cannot connect.
        {"db without connect string",
         {.format = "DB", .libpqPath = "/nonexistent/lib"},
         "  Export Format    => [ NEW DB() ]\n  Libpq Path       => [ /nonexistent/lib ]\n\n"
         "Test connecting to target DB...\n" +
             kRed + "FAIL!\n"},
    };
    // On a terminal, where the error lines are red.
    AsTerminal terminal;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShellWorkspace workspace(c.settings);
        Console console;
        const std::string screen = runSession(console, {}).screen;
        const size_t start = screen.find("  Export Format");
        ASSERT_NE(start, std::string::npos) << screen;
        EXPECT_EQ(screen.substr(start, c.expected.size()), c.expected);
    }
}

TEST(ConsoleStartup, DbFormatTestsTheConnectionToALiveServer) {
    PgServer& server = PgServer::shared();
    // user/password@host:port/dbname; a host beginning with '/' is the socket directory.
    ShellSettings settings;
    settings.format = "DB";
    settings.dbConn =
        "postgres/@" + server.socketDir() + ":" + std::to_string(server.port()) + "/postgres";
    ShellWorkspace workspace(settings);
    Console console;
    const std::string screen = runSession(console, {}).screen;
    EXPECT_NE(screen.find("  Export Format    => [ NEW DB(" + settings.dbConn +
                          ") ]\n  Libpq Path       => [  ]\n\n"
                          "Test connecting to target DB...\nOK.\n\n"),
              std::string::npos)
        << screen;
}

TEST(ConsoleStartup, MaskConnectStringHidesOnlyThePassword) {
    const std::string longPassword(600, 'p');
    struct Case {
        const char* text;
        std::string expected;
    } cases[] = {
        {"scott/tiger@db.example:5432/sales", "scott/*****@db.example:5432/sales"},
        // The first '/' and the last '@': a password may hold both.
        {"u/p@/w:d@host:1/db", "u/******@host:1/db"},
        {"u/@host:1/db", "u/@host:1/db"},
        {"no-slash@host", "no-slash@host"},
        {"user/secret", "user/******"},
        {"a@b/c", "a@b/c"},
        // The common slip: ':' for '/'. The password is hidden all the same, and a ':' in a
        // password after the user's '/' changes nothing.
        {"user:Secret@host:5432/db", "user:******@host:5432/db"},
        {"user:pw/x@host", "user:****@host"},
        {"scott/ti:ger@h:1/d", "scott/******@h:1/d"},
        // Without an '@' everything after the user part counts as the password.
        {"host:5432/db", "host:*******"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(maskConnectString(c.text), c.expected) << c.text;
    EXPECT_EQ(maskConnectString(nullptr), "");

    // Only the first 511 bytes are kept, and so shown.
    const std::string text = "u/" + longPassword + "@h:1/d";
    EXPECT_EQ(maskConnectString(text.c_str()), "u/" + std::string(509, '*'));
}

TEST(ConsoleStartup, BannerColoursOnlyAColourisedStream) {
    std::ostringstream plain;
    printBanner(plain);
    EXPECT_EQ(plain.str(), plainBanner());

    std::ostringstream coloured;
    setColorized(coloured, true);
    printBanner(coloured);
    const std::string rule(81, '*');
    EXPECT_EQ(coloured.str(), "\n\x1b[90m" + rule +
                                  "\n\n\x1b[96m  VORN for PostgreSQL\x1b[00m, Release \x1b[92m" +
                                  releaseText() + "\x1b[00m, build date \x1b[92m" + buildDate() +
                                  "\x1b[92m.\n\n\x1b[90m" + rule + "\n\x1b[00m\n");
}

}  // namespace
}  // namespace vorn::test
