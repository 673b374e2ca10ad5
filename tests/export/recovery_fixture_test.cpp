// Data directories only the commit log and pg_multixact can judge, or whose files are not
// what a server shows after a crash, written by real servers (see
// tests/support/recovery_fixture.h): rolled-back DELETE, INSERT, UPDATE, savepoints, ALTER
// TABLEs and multixact updaters whose row versions nobody read afterwards, a server stopped
// with transactions in flight and an unlogged table, data directories without pg_xact,
// pg_multixact or one segment of pg_xact, and a relation VACUUM cut back below one segment
// file. Each is bootstrapped and unloaded as a user would, and compared with the server's
// own COPY of the same data (or, after a crash, of what the files hold).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/file_logger.h"
#include "catalog/dict_cache.h"
#include "catalog/dictionary.h"
#include "export/copy_text_writer.h"
#include "export/export_settings.h"
#include "export/file_names.h"
#include "storage/storage_settings.h"
#include "storage/table.h"
#include "tests/storage/support/capturing_writer.h"
#include "tests/storage/support/copy_text.h"
#include "tests/support/recovery_fixture.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

using ::testing::HasSubstr;

std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The server's COPY text with NULL as vorn's TEXT format writes it: an empty field.
std::string oracleText(const std::string& path) {
    std::string out;
    std::istringstream in(readFileBytes(path));
    for (std::string line; std::getline(in, line);) {
        std::string fixed;
        size_t start = 0;
        for (;;) {
            const size_t tab = line.find('\t', start);
            const std::string field = line.substr(start, tab - start);
            fixed += field == "\\N" ? "" : field;
            if (tab == std::string::npos)
                break;
            fixed += '\t';
            start = tab + 1;
        }
        out += fixed + "\n";
    }
    return out;
}

std::vector<std::string> liveColumnNames(const PgTable& table) {
    std::vector<std::string> names;
    for (const ColumnDef& c : table.columns())
        if (c.attnum > 0 && !c.isDropped())
            names.emplace_back(c.name());
    return names;
}

class Recovery : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        std::string why;
        std::optional<RecoveryFixture> fixture = findRecoveryFixture(GetParam(), &why);
        if (!fixture)
            GTEST_SKIP() << why;
        fixture_ = std::move(*fixture);
        blockSize = static_cast<uint16_t>(fixture_.server.blockSize);
        Dictionary::instance().setServerVersion(static_cast<int16_t>(fixture_.server.major),
                                                static_cast<int16_t>(fixture_.server.minor));
        dictDirectory = dir_.path() + "/dict";
        std::filesystem::create_directories(dictDirectory);
        exportDirectory = dir_.path();
        textDelimiter = '\t';
        mainLog().open(dir_.path().c_str());
        unloadLog().open(dir_.path().c_str());
        resetTableFileNames();
    }
    void TearDown() override {
        dataDirectory = saved_.directory;
        blockSize = saved_.blockSize;
        Dictionary::instance().setServerVersion(saved_.version.major, saved_.version.minor);
        dictDirectory = saved_.dict;
        exportDirectory = saved_.exportDir;
        textDelimiter = saved_.delimiter;
        batchValueLimit = saved_.valueLimit;
        resetTableFileNames();
    }

    // Bootstraps `dataDir` and makes the cluster's database current.
    void bootstrap(const std::string& dataDir, const RecoveryCluster& cluster) {
        dataDirectory = dataDir;
        Dictionary& d = Dictionary::instance();
        d.generate(nullptr);
        ASSERT_TRUE(d.loadFromCache(nullptr));
        d.currentDatabaseOid = cluster.databaseOid;
    }
    PgTable* table(const RecoveryCluster& cluster, const std::string& name) {
        for (auto& [key, t] : Dictionary::instance().tables)
            if (t.dboid == cluster.databaseOid && t.tableName() == name)
                return &t;
        return nullptr;
    }
    std::vector<std::string> publicTables(const RecoveryCluster& cluster) {
        std::vector<std::string> names;
        for (auto& [key, t] : Dictionary::instance().tables)
            if (t.dboid == cluster.databaseOid && t.relkind == 'r' && t.schemaName() == "public")
                names.push_back(t.tableName());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The table as COPY text, and what the unload said about it.
    std::string unloadText(PgTable& t, UnloadResult& result, std::string& messages) {
        CopyTextWriter writer(&t.columns(), t.schemaName(), t.name(), "", t.oid());
        testing::internal::CaptureStdout();
        result = t.unload(writer, nullptr);
        testing::internal::GetCapturedStdout();
        messages = writer.messages();
        return result.failed ? std::string() : readFileBytes(writer.filePath());
    }
    // One table of `cluster` unloaded as COPY text, against the server's rows in `truth` (an
    // oracle file: COPY text with NULL as \N).
    struct Unloaded {
        PgTable* table = nullptr;  // null: not in the dictionary, nothing unloaded
        UnloadResult result;
        std::string messages;
        bool sameRows = false;  // the rows written are the server's, in any order
    };
    Unloaded unloadAgainst(const RecoveryCluster& cluster, const std::string& name,
                           const std::string& truth) {
        Unloaded u;
        u.table = table(cluster, name);
        if (u.table == nullptr)
            return u;
        const std::string text = unloadText(*u.table, u.result, u.messages);
        u.sameRows = sortedLines(text) == sortedLines(oracleText(truth));
        return u;
    }
    std::string log() const { return dir_.readFile("unload_table.log"); }

    struct Saved {
        std::string directory = dataDirectory;
        uint16_t blockSize = vorn::blockSize;
        ServerVersion version = serverVersion;
        std::string dict = dictDirectory;
        std::string exportDir = exportDirectory;
        char delimiter = textDelimiter;
        uint64_t valueLimit = batchValueLimit;
    } saved_;
    RecoveryFixture fixture_;
    TempDir dir_;
};

INSTANTIATE_TEST_SUITE_P(Builds, Recovery, ::testing::ValuesIn(recoveryFixtureLabels()),
                         [](const auto& info) { return info.param; });

// Rolled back DELETE, INSERT and UPDATE, a savepoint rolled back to and one released,
// rolled-back ALTER TABLEs on the catalogue, an UPDATE that filled a column its rolled-back
// ALTER TABLE added (versions with more attributes than the table has), and multixact
// deleters whose updater rolled back (or committed, mx_keyshare_commit): every table, and the
// catalogue, as the server saw them, and each table whole.
TEST_P(Recovery, RolledBackWorkNobodyReadIsUndone) {
    const RecoveryCluster& clean = fixture_.clean;
    bootstrap(clean.dataDir, clean);
    EXPECT_THAT(Dictionary::instance().generationWarnings(), ::testing::IsEmpty());
    EXPECT_EQ(publicTables(clean), sortedLines(readFileBytes(clean.oracleTables)));
    for (const RecoveryTable& expected : clean.tables) {
        SCOPED_TRACE(expected.name);
        const Unloaded u = unloadAgainst(clean, expected.name, expected.oracleText);
        ASSERT_NE(u.table, nullptr);
        EXPECT_EQ(liveColumnNames(*u.table), expected.columns);
        EXPECT_TRUE(u.result.complete()) << u.messages;
        EXPECT_EQ(u.result.rows, static_cast<uint64_t>(expected.rows));
        EXPECT_TRUE(u.sameRows) << "rows differ from the server's";
    }
}

// After an immediate stop the commit log has no outcome for the transactions in flight:
// their rows are taken as rolled back (the server's own recovery agrees), and each table they
// touched says that a commit may have been in the WAL alone. In mx_crash the deleter of ids
// 1-2 is a multixact whose members (a locker and its savepoint's updater) never ended.
TEST_P(Recovery, TransactionsInFlightAtACrashAreRolledBackAndSaidSo) {
    const RecoveryCluster& crash = fixture_.crash;
    ASSERT_EQ(crash.state, "in production");
    bootstrap(crash.dataDir, crash);
    for (const char* name : {"c_done", "c_new", "mx_crash"}) {
        SCOPED_TRACE(name);
        const RecoveryTable& expected = crash.table(name);
        const Unloaded u = unloadAgainst(crash, name, expected.oracleText);
        ASSERT_NE(u.table, nullptr);
        ASSERT_FALSE(u.result.failed) << u.messages;
        EXPECT_TRUE(u.sameRows) << "rows differ from the recovered server's";
        EXPECT_EQ(u.result.rows, static_cast<uint64_t>(expected.rows));
        EXPECT_GT(u.result.damage.tuplesInDoubt, 0u);
        EXPECT_EQ(u.result.damage.total(), u.result.damage.tuplesInDoubt)
            << u.result.damage.summary();
        EXPECT_THAT(u.messages, HasSubstr("taken as rolled back (unclean stop)"));
    }
}

// The server empties an unlogged table when it starts after a crash; its file still holds
// the rows a clean stop wrote. They are what an unload writes, and the result says that the
// server would not show them.
TEST_P(Recovery, AnUnloggedTableAfterACrashGivesWhatItsFileHoldsAndIsNotComplete) {
    const RecoveryCluster& crash = fixture_.crash;
    bootstrap(crash.dataDir, crash);
    const RecoveryTable& expected = crash.table("u_rows");
    ASSERT_EQ(expected.persistence, 'u');
    ASSERT_EQ(expected.rows, 0) << "the recovered server's u_rows";
    const Unloaded u = unloadAgainst(crash, "u_rows", expected.fileText);
    ASSERT_NE(u.table, nullptr);
    ASSERT_FALSE(u.result.failed) << u.messages;
    EXPECT_EQ(u.result.rows, static_cast<uint64_t>(expected.fileRows));
    EXPECT_TRUE(u.sameRows) << "rows differ from what the file holds";
    EXPECT_TRUE(u.result.unloggedAfterCrash);
    EXPECT_FALSE(u.result.complete());

    // A logged table of the same data directory is not marked.
    const Unloaded logged = unloadAgainst(crash, "c_wal", crash.table("c_wal").fileText);
    ASSERT_NE(logged.table, nullptr);
    EXPECT_TRUE(logged.sameRows) << "rows differ from what the file holds";
    EXPECT_FALSE(logged.result.unloggedAfterCrash);
}

// Without pg_xact nothing but the hint bits is left: the old rule decides, and every table
// whose tuples needed the commit log says how many and why, once.
TEST_P(Recovery, WithoutACommitLogTheHintRuleDecidesAndIsCounted) {
    const RecoveryCluster& clean = fixture_.clean;
    bootstrap(fixture_.cleanNoXactDir, clean);
    const std::vector<std::string>& warnings = Dictionary::instance().generationWarnings();
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [](const std::string& w) {
        return w.find("decided by hint bits alone") != std::string::npos;
    })) << "the catalogue's rolled-back rows are undecided";

    struct Case {
        const char* table;
        bool undecided;
    };
    for (const Case c : {Case{"t_ins", true}, Case{"t_del", true}, Case{"t_plain", false}}) {
        SCOPED_TRACE(c.table);
        PgTable* t = table(clean, c.table);
        ASSERT_NE(t, nullptr);
        UnloadResult result;
        std::string messages;
        unloadText(*t, result, messages);
        ASSERT_FALSE(result.failed) << messages;
        if (!c.undecided) {
            EXPECT_TRUE(result.complete()) << messages;
            continue;
        }
        // Every tuple of these tables has an inserter or deleter without a hint.
        EXPECT_EQ(result.damage.tuplesUndecided,
                  static_cast<uint64_t>(clean.table(c.table).tuples.normal));
        EXPECT_THAT(messages, HasSubstr("tuples decided by hint bits alone (no commit log)"));
        EXPECT_THAT(messages, HasSubstr("pg_xact"));
    }
    EXPECT_THAT(log(), HasSubstr("unloaded with damage"));
}

// Without pg_multixact a multixact deleter cannot be resolved: it is taken as deleting, as
// the hint bits alone would say, and every tuple so judged is counted. Tables without
// multixacts are as whole as with it.
TEST_P(Recovery, WithoutPgMultixactItsDeletersAreTakenAsDeletingAndCounted) {
    const RecoveryCluster& clean = fixture_.clean;
    bootstrap(fixture_.cleanNoMultiDir, clean);
    for (const RecoveryTable& expected : clean.tables) {
        SCOPED_TRACE(expected.name);
        PgTable* t = table(clean, expected.name);
        ASSERT_NE(t, nullptr);
        UnloadResult result;
        std::string messages;
        unloadText(*t, result, messages);
        ASSERT_FALSE(result.failed) << messages;
        if (expected.tuples.xmaxMultiUpdaters == 0) {
            EXPECT_TRUE(result.complete()) << messages;
            continue;
        }
        EXPECT_EQ(result.damage.multixactsUnresolved,
                  static_cast<uint64_t>(expected.tuples.xmaxMultiUpdaters))
            << result.damage.summary();
        EXPECT_THAT(messages, HasSubstr("pg_multixact"));
    }
    EXPECT_EQ(clean.table("mx_two_share").tuples.xmaxMultiUpdaters, 2)
        << "the fixture's multixact deleters";
}

// A segment of pg_xact lost while the server still needed it (pg_control's oldest xid is
// older than the xids in it): its xids have no recorded outcome. The hint rule decides and
// every tuple it decided is counted, with the missing file named; the other table, whose
// xids are in the segment still there, comes out whole. Taken as committed, the rows are
// the server's either way.
TEST_P(Recovery, ALostSegmentOfPgXactLeavesItsTuplesToTheHintBitsAndSaysSo) {
    const RecoveryCluster& xact = fixture_.xact;
    struct Case {
        std::string dataDir;
        const char* lostTable;  // null: nothing lost
        const char* segment;
    } cases[] = {
        {xact.dataDir, nullptr, ""},
        {fixture_.xactLostOldestDir, "t_low", "pg_xact/0000"},
        {fixture_.xactLostNewestDir, "t_high", "pg_xact/0001"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataDir);
        bootstrap(c.dataDir, xact);
        for (const char* name : {"t_low", "t_high"}) {
            SCOPED_TRACE(name);
            const RecoveryTable& expected = xact.table(name);
            const Unloaded u = unloadAgainst(xact, name, expected.oracleText);
            ASSERT_NE(u.table, nullptr);
            ASSERT_FALSE(u.result.failed) << u.messages;
            EXPECT_TRUE(u.sameRows) << "rows differ from the server's";
            if (c.lostTable == nullptr || std::strcmp(name, c.lostTable) != 0) {
                EXPECT_TRUE(u.result.complete()) << u.messages;
                continue;
            }
            EXPECT_EQ(u.result.damage.tuplesUndecided,
                      static_cast<uint64_t>(expected.tuples.normal))
                << u.result.damage.summary();
            EXPECT_THAT(u.messages, HasSubstr("tuples decided by hint bits alone"));
            EXPECT_THAT(u.messages, HasSubstr(c.segment));
        }
    }
}

// VACUUM cut t_shrunk back from more than one segment file to 10 blocks: the server keeps
// the second file at zero length. That is a relation of 10 blocks, with nothing missing.
TEST_P(Recovery, ARelationCutBackBelowOneSegmentIsWhole) {
    const RecoveryCluster& shrunk = fixture_.shrunk;
    const RecoveryTable& expected = shrunk.table("t_shrunk");
    ASSERT_EQ(expected.segments.size(), 2u);
    ASSERT_EQ(expected.segments[1].size, 0);
    bootstrap(shrunk.dataDir, shrunk);
    const Unloaded u = unloadAgainst(shrunk, "t_shrunk", expected.oracleText);
    ASSERT_NE(u.table, nullptr);
    EXPECT_TRUE(u.result.complete()) << u.messages;
    EXPECT_EQ(u.result.damage.segmentsUnreadable, 0u);
    EXPECT_EQ(u.result.damage.blocksUnreadable, 0u);
    EXPECT_EQ(u.result.rows, static_cast<uint64_t>(expected.rows));
    EXPECT_TRUE(u.sameRows) << "rows differ from the server's";
}

// 40 values of 300,000 bytes on one page: the page's rows reach the writer in batches whose
// values stay within the bound (plus one value), and all of them arrive, as the server has
// them.
TEST_P(Recovery, LargeValuesOfOnePageAreHandedOverInBoundedBatches) {
    const RecoveryCluster& clean = fixture_.clean;
    bootstrap(clean.dataDir, clean);
    PgTable* t = table(clean, "t_big");
    ASSERT_NE(t, nullptr);
    constexpr uint64_t kValue = 300000;
    const std::vector<std::string> oracle =
        sortedLines(oracleText(clean.table("t_big").oracleText));
    ASSERT_EQ(oracle.size(), 40u);

    struct Case {
        uint64_t limit;
        size_t calls;
    };
    for (const Case c : {Case{uint64_t{64} << 20, 1}, Case{uint64_t{1} << 20, 10}}) {
        SCOPED_TRACE(c.limit);
        batchValueLimit = c.limit;
        CapturingWriter writer(t->columns());
        const UnloadResult result = t->unload(writer, nullptr);
        EXPECT_TRUE(result.complete()) << writer.messages();
        EXPECT_EQ(writer.writeCalls().size(), c.calls);
        for (const uint32_t rows : writer.writeCalls())
            EXPECT_LE(rows * kValue, c.limit + kValue);
        std::vector<std::string> got;
        for (const CapturedRow& row : writer.capturedRows()) {
            ASSERT_EQ(row.size(), 2u);
            ASSERT_TRUE(row[0] && row[1]);
            int32_t id = 0;
            std::memcpy(&id, row[0]->data(), 4);
            EXPECT_EQ(row[1]->size(), kValue);
            got.push_back(std::to_string(id) + "\t" + *row[1]);
        }
        std::sort(got.begin(), got.end());
        EXPECT_TRUE(got == oracle);
    }
}

}  // namespace
}  // namespace vorn::test
