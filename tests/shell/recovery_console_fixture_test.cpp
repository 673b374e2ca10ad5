// What the console says about data directories whose files are not what a server would show
// (tests/support/recovery_fixture.h): after an unclean stop the changes since the last
// checkpoint are in the WAL alone, which vorn does not replay; an unlogged table holds rows
// the server empties at its start; a temporary table's file is one the server removes.
// Bootstrap, UNLOAD SCHEMA and UNLOAD TABLE run in-process, their standard output captured.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "catalog/dictionary.h"
#include "export/cmd_export.h"
#include "export/export_settings.h"
#include "export/file_names.h"
#include "export/writer_factory.h"
#include "shell/list_commands.h"
#include "storage/storage_settings.h"
#include "tests/shell/support/shell_harness.h"
#include "tests/support/recovery_fixture.h"

namespace vorn::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kCrashNotice =
    "the server did not shut down cleanly: changes after the checkpoint of";

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The line of `text` that holds `part`, without its line feed; "" when none does.
std::string lineWith(const std::string& text, const std::string& part) {
    const size_t at = text.find(part);
    if (at == std::string::npos)
        return "";
    const size_t start = text.rfind('\n', at);
    const size_t begin = start == std::string::npos ? 0 : start + 1;
    return text.substr(begin, text.find('\n', at) - begin);
}

// What UNLOAD SCHEMA printed for one table of a serial run: from its "unloading table" line
// to the line before the next table's (or "Finished.").
std::string tableBlock(const std::string& out, const std::string& table) {
    const size_t start = out.find(" unloading table " + table + "...");
    if (start == std::string::npos)
        return "";
    size_t end = out.find(" unloading table ", start + 1);
    if (end == std::string::npos)
        end = out.find("Finished.", start);
    return out.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string localTime(int64_t seconds, const char* format) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &local));
}

// The lines of a file, sorted: vorn writes rows in the order of the pages, the builder's
// COPY by the first column. The crash tables hold no NULLs, so the TEXT format's lines (tab
// delimited here) and the builder's COPY text are the same.
std::vector<std::string> sortedFileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

class RecoveryConsole : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        std::string why;
        std::optional<RecoveryFixture> fixture = findRecoveryFixture(GetParam(), &why);
        if (!fixture)
            GTEST_SKIP() << why;
        fixture_ = std::move(*fixture);
        // The workspace puts back the storage and export settings changed below.
        workspace_.emplace(std::nullopt);
        Dictionary::instance().setServerVersion(static_cast<int16_t>(fixture_.server.major),
                                                static_cast<int16_t>(fixture_.server.minor));
        Dictionary::setBlockSize(static_cast<int>(fixture_.server.blockSize));
        exporter_ = std::make_unique<CmdExport>(&Dictionary::instance(), &schemaOid_);
        exporter_->setExportKind(kExportText);
        exporter_->setExportPath(workspace_->path() + "/dump");
        exporter_->setTextDelimiter('\t');
        resetTableFileNames();
    }
    void TearDown() override {
        exporter_.reset();
        workspace_.reset();
        resetTableFileNames();
    }

    // The console's bootstrap of `dataDir`; the cluster's database and its public become
    // current. Returns what it printed.
    std::string bootstrap(const std::string& dataDir, const RecoveryCluster& cluster) {
        Dictionary::setDataDirectory(dataDir);
        const std::string out = run([&] {
            ListCommands commands(&schemaOid_);
            commands.bootstrap();
        });
        Dictionary::instance().currentDatabaseOid = cluster.databaseOid;
        schemaOid_ = 2200;  // public
        return out;
    }
    // What `command` printed, as a terminal shows it (the progress bar's redrawn lines gone).
    static std::string run(const std::function<void()>& command) {
        CapturedStdout captured;
        command();
        return screenText(captured.finish());
    }
    std::string dump(const std::string& file) const { return workspace_->path() + "/dump/" + file; }

    // The crash notice appears once in `out`, after `after` (when given), and names the time
    // of the checkpoint in pg_control as local time: its date and its time of day.
    void expectCrashNoticeOnce(const std::string& out, const std::string& after) const {
        ASSERT_TRUE(fixture_.crash.checkpoint.has_value());
        EXPECT_EQ(occurrences(out, kCrashNotice), 1u) << out;
        const size_t at = out.find(kCrashNotice);
        if (at == std::string::npos)
            return;
        if (!after.empty()) {
            const size_t before = out.find(after);
            EXPECT_TRUE(before != std::string::npos && before < at)
                << "the notice comes after \"" << after << "\": " << out;
        }
        const std::string line = lineWith(out, kCrashNotice);
        const std::string when = line.substr(line.find(kCrashNotice) + std::strlen(kCrashNotice));
        const int64_t time = fixture_.crash.checkpoint->time;
        EXPECT_THAT(when, HasSubstr(localTime(time, "%Y-%m-%d"))) << line;
        EXPECT_THAT(when, HasSubstr(localTime(time, "%H:%M:%S"))) << line;
    }

    RecoveryFixture fixture_;
    std::optional<ShellWorkspace> workspace_;
    uint32_t schemaOid_ = 2200;
    std::unique_ptr<CmdExport> exporter_;
};

INSTANTIATE_TEST_SUITE_P(Builds, RecoveryConsole, ::testing::ValuesIn(recoveryFixtureLabels()),
                         [](const auto& info) { return info.param; });

// After an unclean stop every command that reads the files says once that what the WAL holds
// beyond the last checkpoint is not in them, with the checkpoint's time from pg_control;
// after a clean stop none says it. The notice marks no table: c_done's result is what its
// own tuples make it.
TEST_P(RecoveryConsole, AfterAnUncleanStopBootstrapAndEachUnloadSayOnceThatTheWalIsNotRead) {
    const RecoveryCluster& crash = fixture_.crash;
    const std::string boot = bootstrap(crash.dataDir, crash);
    expectCrashNoticeOnce(boot, "");

    const std::string schema = run([&] { exporter_->unloadSchema("public", 1); });
    expectCrashNoticeOnce(schema, "========== Unload \"public\": ");
    EXPECT_THAT(tableBlock(schema, "c_done"), HasSubstr(" unloaded 20 rows, incomplete ("));

    resetTableFileNames();
    const std::string table = run([&] { exporter_->unloadTable("c_wal", 1); });
    expectCrashNoticeOnce(table, " unloaded ");

    const RecoveryCluster& clean = fixture_.clean;
    resetTableFileNames();
    for (const std::string& out :
         {bootstrap(clean.dataDir, clean), run([&] { exporter_->unloadSchema("public", 1); }),
          run([&] { exporter_->unloadTable("t_plain", 1); })}) {
        EXPECT_THAT(out, Not(HasSubstr("did not shut down cleanly"))) << out;
    }
}

// UNLOAD SCHEMA of the crashed cluster writes what the files hold: the rows of c_wal before
// the changes that reached only the WAL, no rows for the tables whose DROP or TRUNCATE
// emptied their files (the catalogue in the files still lists them), the 10 rows of the
// unlogged u_rows. The tables with tuples of unfinished transactions and u_rows, which the
// server would have emptied, are incomplete and named after the summary; the others are
// successes.
TEST_P(RecoveryConsole, UnloadSchemaAfterACrashWritesWhatTheFilesHoldAndNamesTheUnloggedTable) {
    const RecoveryCluster& crash = fixture_.crash;
    bootstrap(crash.dataDir, crash);
    const std::string out = run([&] { exporter_->unloadSchema("public", 1); });

    std::set<std::string> incomplete;
    for (const RecoveryTable& t : crash.tables)
        if (!t.inFlightXids.empty() || t.persistence == 'u')
            incomplete.insert(t.name);
    EXPECT_EQ(incomplete, (std::set<std::string>{"c_done", "c_new", "mx_crash", "u_rows"}));
    EXPECT_THAT(
        out, HasSubstr(fmt::format(
                 "========== Unload \"public\": {} total, {} success, {} incomplete, 0 "
                 "error, 0 skipped, 0 ignored ==========",
                 crash.tables.size(), crash.tables.size() - incomplete.size(), incomplete.size())));
    const std::string after = out.substr(out.find("========== Unload \"public\""));
    for (const RecoveryTable& t : crash.tables) {
        SCOPED_TRACE(t.name);
        EXPECT_EQ(sortedFileLines(dump("public_" + t.name + ".txt")), sortedFileLines(t.fileText))
            << "rows differ from what the files hold";
        const std::string named = "  incomplete \"public\".\"" + t.name + "\": ";
        EXPECT_EQ(after.find(named) != std::string::npos, incomplete.count(t.name) == 1) << after;
    }

    const RecoveryTable& unlogged = crash.table("u_rows");
    const std::string block = tableBlock(out, "u_rows");
    EXPECT_THAT(block, HasSubstr("unlogged"));
    EXPECT_THAT(block,
                HasSubstr(fmt::format(" unloaded {} rows, incomplete (", unlogged.fileRows)));
    const std::string reason = lineWith(after, "  incomplete \"public\".\"u_rows\": ");
    EXPECT_THAT(reason, HasSubstr("unlogged"));
    EXPECT_TRUE(std::regex_search(reason, std::regex("empt(y|ies|ied)"))) << reason;
}

// A temporary table of a session alive at the crash has a catalogue row in pg_temp_<n> and a
// file t<n>_<file node> that the server removes when it starts: it is not read, it is
// skipped and said to be a temporary table, with its file named - not a failure.
TEST_P(RecoveryConsole, ATemporaryTableIsSkippedAsOneTheServerDropsAtItsStart) {
    const RecoveryCluster& crash = fixture_.crash;
    ASSERT_TRUE(crash.tempTable.has_value());
    const RecoveryTempTable& temp = *crash.tempTable;
    ASSERT_TRUE(std::filesystem::exists(temp.path)) << temp.path;
    bootstrap(crash.dataDir, crash);

    const std::string schema = run([&] { exporter_->unloadSchema(temp.schema.c_str(), 1); });
    EXPECT_THAT(schema, HasSubstr(fmt::format("========== Unload \"{}\": 1 total, 0 success, 0 "
                                              "incomplete, 0 error, 1 skipped, 0 ignored",
                                              temp.schema)));
    const std::string reason =
        lineWith(schema, fmt::format("  skipped \"{}\".\"{}\": ", temp.schema, temp.name));
    EXPECT_THAT(reason, HasSubstr("temporary table"));
    EXPECT_THAT(reason, HasSubstr(temp.fileName));
    EXPECT_TRUE(std::regex_search(reason, std::regex("drop(s|ped)?"))) << reason;

    resetTableFileNames();
    const std::string table = run(
        [&] { exporter_->unloadTable(fmt::format("{}.{}", temp.schema, temp.name).c_str(), 1); });
    EXPECT_THAT(table, HasSubstr("temporary table"));
    EXPECT_THAT(table, HasSubstr(" skipped ("));
    for (const std::string& out : {schema, table}) {
        EXPECT_THAT(out, Not(HasSubstr("cannot be read"))) << out;
        EXPECT_THAT(out, Not(HasSubstr("failed"))) << out;
    }
    EXPECT_FALSE(std::filesystem::exists(dump(temp.schema + "_" + temp.name + ".txt")));
}

}  // namespace
}  // namespace vorn::test
