// Start-up of the console over the deb15 fixture: its settings and its dictionary cache.

#include <gtest/gtest.h>

#include <string>

#include "shell/console.h"
#include "tests/shell/console_text.h"
#include "tests/shell/support/shell_harness.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

TEST(ConsoleStartup, FixtureSettingsAndCache) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    const std::string& dict = deb15Dictionary();
    ShellSettings settings = fixtureSettings(m);
    settings.delimiter = ",";
    ShellWorkspace workspace(settings);
    workspace.useDictionary(dict);
    Console console;
    const SessionResult result = runSession(console, {"list table", "desc pg_class"});

    const std::string version = settings.version;
    EXPECT_EQ(result.screen.substr(0, result.screen.find("    db_oid")),
              plainBanner() + "Loading dict from cache file...\nFinish loading dict.\n\n" +
                  optionsBlock(version, m.dataDir, "TEXT FILE", "  Export Directory => [ dump ]") +
                  "\n");
    EXPECT_NE(workspace.readFile("log/vorn.log").find("    text_delim_char:     [,]"),
              std::string::npos);

    // The first database is current, and so is its "public", as the prompt says: the
    // unqualified lookups look there (postgres.public holds no pg_class).
    ASSERT_FALSE(result.prompts.empty());
    EXPECT_EQ(result.prompts.front(), "postgres.public@VORN > ");
    EXPECT_EQ(console.schemaName(), "public");
    EXPECT_EQ(console.schemaOid(), 2200u);
    EXPECT_EQ(currentSchemaOid, 2200u);
    EXPECT_NE(
        result.screen.find("---------- ---------- ---------- -------------------------------\n"
                           "\n\nTable pg_class not exist\n\n"),
        std::string::npos)
        << result.screen;

    const SessionResult qualified = runCommands(console, {"desc pg_catalog.pg_class"});
    EXPECT_NE(qualified.screen.find("OID: 1259, Toast OID: 0\n"), std::string::npos)
        << qualified.screen;
}

}  // namespace
}  // namespace vorn::test
