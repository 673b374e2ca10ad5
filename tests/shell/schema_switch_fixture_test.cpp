// use, set db and set schema over the deb15 fixture: one session, step by step, with what
// each step prints, the prompt after it, and the current schema the unload commands and
// the completion read.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "catalog/dictionary.h"
#include "shell/console.h"
#include "tests/shell/support/shell_harness.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

uint32_t schemaOid(const std::string& database, const std::string& schema) {
    const Dictionary& d = Dictionary::instance();
    for (const DatabaseEntry& db : d.databases) {
        if (db.datname != database)
            continue;
        for (const auto& [key, entry] : d.schemas)
            if (entry.dboid == db.oid && entry.nspname == schema)
                return entry.oid;
    }
    return 0;
}

TEST(ConsoleSchemaSwitch, UseSetDbAndSetSchema) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    const std::string& dict = deb15Dictionary();
    ShellWorkspace workspace(fixtureSettings(m));
    workspace.useDictionary(dict);
    Console console;
    const SessionResult start = runSession(console, {});
    ASSERT_EQ(start.prompts.back(), "postgres.public@VORN > ");

    const struct {
        const char* line;
        std::string output;
        const char* database;  // of the schema now current
        const char* schema;
        const char* encoding;  // PGCLIENTENCODING afterwards
    } steps[] = {
        {"use vorn", "", "vorn", "public", "UTF8"},
        {"set db VORN_LATIN1", "", "vorn_latin1", "public", "LATIN1"},
        {"set schema nosuch", "Schema \"nosuch\" does not exist.\n", "vorn_latin1", "public",
         "LATIN1"},
        {"set schema vorn.many", "", "vorn", "many", "UTF8"},
        {"set schema MIXEDSCHEMA", "", "vorn", "MixedSchema", "UTF8"},
        {"set schema nodb.public", "Database \"nodb\" does not exist.\n", "vorn", "MixedSchema",
         "UTF8"},
        {"set db nodb", "Database nodb does not exist.\n", "vorn", "MixedSchema", "UTF8"},
        // An empty schema part: reported, then "public" of the database just chosen.
        {"set schema vorn_ts.", "Schema \"\" does not exist.\n", "vorn_ts", "public", "UTF8"},
        {"set schema .many", "Schema \"many\" does not exist.\n", "vorn_ts", "public", "UTF8"},
        {"SET SCHEMA Vorn.Many", "", "vorn", "many", "UTF8"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.line);
        const SessionResult r = runCommands(console, {s.line});
        EXPECT_EQ(r.raw, s.output);
        ASSERT_EQ(r.prompts.size(), 2u);
        EXPECT_EQ(r.prompts[1], fmt::format("{}.{}@VORN > ", s.database, s.schema));
        EXPECT_EQ(console.schemaName(), s.schema);
        EXPECT_EQ(console.schemaOid(), schemaOid(s.database, s.schema));
        EXPECT_EQ(currentSchemaOid, console.schemaOid());
        EXPECT_STREQ(std::getenv("PGCLIENTENCODING"), s.encoding);
    }
}

}  // namespace
}  // namespace vorn::test
