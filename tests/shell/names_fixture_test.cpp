// Names as users type them, over the variant fixtures (deb15v, pg18v): schemas "Sch" and sch
// that differ only in case, a table "order items", a database "Second DB". Each command runs
// in a shell fed line by line; what an unload writes is held against the server's own COPY.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "shell/completion.h"
#include "shell/console.h"
#include "tests/shell/support/shell_harness.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

const std::string kSchAmbiguous =
    "Schema SCH is ambiguous: \"Sch\" and \"sch\" differ only in case. Write the name in "
    "double quotes to choose one, e.g. \"Sch\".";

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> completions(const std::string& typed) {
    UiCompletions out;
    completionCallback(typed.c_str(), &out);
    return out.candidates;
}

class Names : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        VORN_FIXTURE_OR_SKIP(manifest, GetParam());
        manifest_ = &manifest;
        const std::string& dict = fixtureDictionary(GetParam());
        workspace_.emplace(fixtureSettings(manifest));
        workspace_->useDictionary(dict);
        console_.emplace();
        runSession(*console_, {});
    }

    SessionResult run(const std::vector<std::string>& lines) {
        return runCommands(*console_, lines);
    }
    std::string screen(const std::string& line) { return run({line}).screen; }

    // Runs `line` into an empty dump/ and returns the one data file it wrote; the screen goes
    // to `shown`. A run that writes no data file, or more than one, fails the test.
    std::string unloaded(const std::string& line, std::string* shown = nullptr) {
        const std::string dump = emptyDump();
        const std::string out = screen(line);
        if (shown != nullptr)
            *shown = out;
        std::vector<std::string> files;
        for (const auto& e : fs::directory_iterator(dump))
            if (e.path().extension() == ".txt")
                files.push_back(e.path().string());
        EXPECT_EQ(files.size(), 1u) << line << "\n" << out;
        return files.size() == 1 ? readWhole(files[0]) : std::string();
    }
    std::string emptyDump() const {
        const std::string dump = workspace_->path() + "/dump";
        fs::remove_all(dump);
        fs::create_directories(dump);
        return dump;
    }
    bool dumpHasDataFiles() const {
        for (const auto& e : fs::directory_iterator(workspace_->path() + "/dump"))
            if (e.path().extension() == ".txt")
                return true;
        return false;
    }
    std::string copyOf(const std::string& database, const std::string& schema,
                       const std::string& table) const {
        return readWhole(manifest_->table(database, schema, table).copyText);
    }

    const FixtureManifest* manifest_ = nullptr;
    std::optional<ShellWorkspace> workspace_;
    std::optional<Console> console_;
};

TEST_P(Names, TablesOfSchemasThatDifferOnlyInCase) {
    const std::string upper = copyOf("vorn", "Sch", "t");
    const std::string lower = copyOf("vorn", "sch", "t");
    ASSERT_NE(upper, lower);
    run({"use vorn"});

    const struct {
        const char* line;
        const std::string& rows;
    } cases[] = {
        {"unload table sch.t", lower},          // the exact spelling wins
        {"unload table Sch.t", upper},          // so does this one
        {"unload table \"Sch\".t", upper},      // quoted: exactly this one
        {"unload table \"sch\".\"t\"", lower},  // both parts quoted
    };
    for (const auto& c : cases)
        EXPECT_EQ(unloaded(c.line), c.rows) << c.line;

    // Neither is spelled SCH: both are named, nothing is unloaded.
    emptyDump();
    EXPECT_EQ(screen("unload table SCH.t"), kSchAmbiguous + "\n");
    EXPECT_FALSE(dumpHasDataFiles());
    EXPECT_EQ(screen("unload table \"SCH\".t"), "Table \"SCH\".t not exist\n");

    // The current schema, set either way, is the one unqualified names look in.
    EXPECT_EQ(screen("set schema \"Sch\""), "");
    EXPECT_EQ(console_->schemaName(), "Sch");
    EXPECT_EQ(unloaded("unload table t"), upper);
    EXPECT_EQ(screen("set schema vorn.sch"), "");
    EXPECT_EQ(console_->schemaName(), "sch");
    EXPECT_EQ(unloaded("unload table t"), lower);
    // An ambiguous schema is said as such, and like a missing one leaves public current.
    EXPECT_EQ(screen("set schema SCH"), kSchAmbiguous + "\n");
    EXPECT_EQ(console_->schemaName(), "public");
}

TEST_P(Names, UnloadSchemaOfEachTwin) {
    run({"use vorn"});
    std::string shown;
    EXPECT_EQ(unloaded("unload schema sch", &shown), copyOf("vorn", "sch", "t"));
    EXPECT_NE(shown.find("========== Unload \"sch\": 1 total, 1 success, 0 incomplete, 0 error"),
              std::string::npos)
        << shown;
    EXPECT_EQ(unloaded("unload schema \"Sch\" parallel 2", &shown), copyOf("vorn", "Sch", "t"));
    EXPECT_NE(shown.find("========== Unload \"Sch\": 1 total, 1 success, 0 incomplete, 0 error"),
              std::string::npos)
        << shown;

    emptyDump();
    EXPECT_EQ(screen("unload schema SCH"), kSchAmbiguous + "\n");
    EXPECT_FALSE(dumpHasDataFiles());

    // The DDL of each twin comes from its own tables.
    EXPECT_NE(screen("unload object \"Sch\"").find(" unloading Sch's TABLE DDL(total 1)"),
              std::string::npos);
    EXPECT_NE(screen("unload object sch").find(" unloading sch's TABLE DDL(total 1)"),
              std::string::npos);
    EXPECT_EQ(screen("unload object SCH"), kSchAmbiguous + "\nfinish.\n");
}

TEST_P(Names, ATableNameWithABlank) {
    const FixtureTable& items = manifest_->table("vorn", "public", "order items");
    const std::string rows = copyOf("vorn", "public", "order items");
    run({"use vorn"});
    EXPECT_EQ(unloaded("unload table \"order items\""), rows);
    // Quoted names keep their case.
    EXPECT_EQ(screen("unload table public.\"ORDER ITEMS\" parallel 2"),
              "Table public.\"ORDER ITEMS\" not exist\n");
    EXPECT_EQ(unloaded("unload table PUBLIC.\"order items\" parallel 2"), rows);

    const std::string desc = screen("desc \"order items\"");
    EXPECT_EQ(desc.find(fmt::format("\nOID: {}, ", items.oid)), 0u) << desc;
    EXPECT_NE(desc.find("    2 item "), std::string::npos) << desc;
    EXPECT_EQ(screen("desc SCH.t"), "\n" + kSchAmbiguous + "\n\n");
    const std::string upper = screen("desc \"Sch\".t");
    EXPECT_EQ(upper.find(fmt::format("\nOID: {}, ", manifest_->table("vorn", "Sch", "t").oid)), 0u)
        << upper;
}

TEST_P(Names, ADatabaseNameWithABlank) {
    const std::string twin = copyOf("Second DB", "public", "twin");
    ASSERT_NE(twin, copyOf("vorn", "public", "twin"));

    SessionResult r = run({"use \"Second DB\""});
    EXPECT_EQ(r.screen, "");
    EXPECT_EQ(r.prompts.back(), "Second DB.public@VORN > ");
    EXPECT_EQ(unloaded("unload table twin"), twin);

    r = run({"use vorn", "set db \"Second DB\""});
    EXPECT_EQ(r.screen, "");
    EXPECT_EQ(r.prompts.back(), "Second DB.public@VORN > ");
    r = run({"use vorn", "set schema \"Second DB\".public"});
    EXPECT_EQ(r.screen, "");
    EXPECT_EQ(r.prompts.back(), "Second DB.public@VORN > ");
    EXPECT_EQ(unloaded("unload table second_only"), copyOf("Second DB", "public", "second_only"));

    // Plain names are matched without regard to case, quoted ones are not.
    r = run({"use vorn", "use \"second db\"", "set db \"SECOND DB\""});
    EXPECT_EQ(r.screen,
              "Database \"second db\" does not exist.\nDatabase \"SECOND DB\" does not exist.\n");
    EXPECT_EQ(r.prompts.back(), "vorn.public@VORN > ");
}

TEST_P(Names, CompletionOffersWhatTheCommandsAccept) {
    run({"use vorn"});
    const std::vector<std::string> schemas = completions("set schema sc");
    EXPECT_NE(std::find(schemas.begin(), schemas.end(), "set schema \"Sch\""), schemas.end());
    EXPECT_NE(std::find(schemas.begin(), schemas.end(), "set schema sch"), schemas.end());
    EXPECT_EQ(screen("set schema \"Sch\""), "");
    EXPECT_EQ(console_->schemaName(), "Sch");

    EXPECT_EQ(completions("unload table \"Sch\"."), std::vector<std::string>{});
    const std::vector<std::string> qualified = completions("unload table \"Sch\".t");
    ASSERT_EQ(qualified, std::vector<std::string>{"unload table \"Sch\".t"});
    EXPECT_EQ(unloaded(qualified[0]), copyOf("vorn", "Sch", "t"));

    run({"set schema public"});
    const std::vector<std::string> items = completions("unload table order");
    ASSERT_EQ(items, std::vector<std::string>{"unload table \"order items\""});
    EXPECT_EQ(unloaded(items[0]), copyOf("vorn", "public", "order items"));

    const std::vector<std::string> databases = completions("set db sec");
    ASSERT_EQ(databases, std::vector<std::string>{"set db \"Second DB\""});
    EXPECT_EQ(run({databases[0]}).prompts.back(), "Second DB.public@VORN > ");
}

INSTANTIATE_TEST_SUITE_P(Variants, Names, ::testing::Values("deb15v", "pg18v"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
