#pragma once

// Real PostgreSQL data directories whose row versions only the commit log can judge.
//
// tests/fixtures/pg/build_recovery_fixture.sh builds one per label (deb15, pg10, pg18) into
// the cache folder named by VORN_FIXTURES and writes <cache>/recovery-<label>.path naming
// the fixture folder:
//
//   <fixture>/clean/          cleanly stopped cluster, database recovery, tables of schema
//                             public that hold rolled-back work nobody read afterwards, so
//                             no hint bit tells how those transactions ended:
//     t_del     50 rows, read (hinted), then all deleted by a rolled-back transaction
//     t_ins     5 committed rows never read, and 50 (ids 6-55) of a rolled-back insert
//     t_upd     50 rows, read, then all updated (v || '-new') by a rolled-back transaction
//     t_sub     ids 1-10 by the top-level transaction, 11-20 by a savepoint rolled back to,
//               21-30 by a released savepoint; committed and never read
//     t_alter   10 rows (a int, b text), read; at the very end three rolled-back ALTER
//               TABLEs (ADD COLUMN c DEFAULT 7, RENAME COLUMN b, RENAME TO t_alter_renamed)
//               whose row versions stay in pg_class and pg_attribute
//     t_big     40 values of 300,000 bytes stored out of line uncompressed, all 40 TOAST
//               pointers on heap block 0
//     t_plain   20 committed, read rows, nothing else: a control
//   <fixture>/oracle/         the server's own answer for clean/, from a copy of it:
//                             <table>.txt (COPY text: tab delimited, NULL as \N, ordered by
//                             the first column), <table>.columns (live attnames, one a
//                             line) and tables.txt (the table names, sorted)
//   <fixture>/crash/          a second cluster, stopped with -m immediate (pg_control says
//                             "in production") just after a checkpoint, while two
//                             transactions were open: the "writer" had inserted 30 rows into
//                             c_new, updated c_done ids 1-5 and deleted 16-20; the "inserter"
//                             had inserted ids 101-107 into c_done. Truth: c_done's 20 rows,
//                             c_new empty.
//   <fixture>/crash_oracle/   the same files for crash/, from a server that recovered a copy
//   <fixture>/clean_noxact/   clean/ without pg_xact (hard links)
//   <fixture>/manifest.json   read by findRecoveryFixture()
//
// Neither clean/ nor crash/ was started again after its stop. What the heap files hold was
// read from the files of a copy (RecoveryTable::versions); the build fails unless every
// table holds exactly the row versions described above, with no hint bits on the
// rolled-back and in-flight ones.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fixture_manifest.h"

namespace vorn::test {

// Heap tuples of one table sharing xmin, xmax and their hint bits, as read from the file.
struct RecoveryVersions {
    uint32_t xmin = 0;
    uint32_t xmax = 0;     // 0: none
    std::string xminHint;  // none, committed (0x0100), invalid (0x0200), frozen (both)
    std::string xmaxHint;  // none, committed (0x0400), invalid (0x0800)
    int64_t count = 0;
    int32_t minId = 0;  // range of the first column (an int4 in every table)
    int32_t maxId = 0;
    int64_t firstBlock = 0;
    int64_t lastBlock = 0;
};

struct RecoveryTupleSummary {
    int64_t linePointers = 0;  // all line pointers of the heap file
    int64_t normal = 0;        // normal ones, dead versions included
    int64_t lastBlock = -1;    // highest block with a tuple; -1 when there is none
    int64_t maxLength = 0;     // longest tuple (lp_len)
    int64_t xminUnhinted = 0;  // neither xmin hint bit set
    int64_t xmaxUnhinted = 0;  // xmax set, neither xmax hint bit set
};

struct RecoveryTable {
    std::string name;
    uint32_t oid = 0;
    uint32_t relfilenode = 0;
    std::string relativePath;  // relative to the cluster's data directory
    std::string path;          // absolute
    int64_t blocks = 0;        // main fork
    std::optional<FixtureToast> toast;
    int64_t rows = 0;                  // count(*) by the server that wrote the oracle
    std::vector<std::string> columns;  // live attnames in attnum order
    std::string oracleText;            // absolute <oracle>/<table>.txt
    std::string oracleColumns;         // absolute <oracle>/<table>.columns
    // The transactions that wrote to the table, by their outcome.
    std::vector<uint32_t> committedXids;
    std::vector<uint32_t> rolledBackXids;
    std::vector<uint32_t> inFlightXids;  // open at the crash
    RecoveryTupleSummary tuples;
    std::vector<RecoveryVersions> versions;  // ordered by minId, xmin, xmax
};

// Row versions the rolled-back ALTER TABLEs left in one catalogue of clean/.
struct RecoveryCatalogVersions {
    int64_t inserted = 0;          // xmin a rolled-back xid
    int64_t insertedUnhinted = 0;  // ... with neither xmin hint bit
    int64_t deleted = 0;           // committed versions whose xmax is a rolled-back xid
    int64_t deletedUnhinted = 0;   // ... with neither xmax hint bit
};

struct RecoveryCatalog {
    RecoveryCatalogVersions total;
    // By step of t_alter: add_column, rename_column, rename_table. A version later steps
    // updated again shows under the last of them.
    std::map<std::string, RecoveryCatalogVersions> byStep;
};

struct RecoveryCluster {
    std::string dataDir;       // absolute
    std::string oracleDir;     // absolute
    std::string oracleTables;  // absolute <oracle>/tables.txt
    std::string database;      // recovery
    uint32_t databaseOid = 0;
    std::string state;  // pg_control's cluster state: "shut down" or "in production"
    // "<table>.<step>" -> xid, e.g. t_del.insert, t_del.delete, t_sub.savepoint_a,
    // t_alter.rename_table, c_done.writer, c_new.writer, c_done.inserter.
    std::map<std::string, uint32_t> xids;
    std::vector<RecoveryTable> tables;  // sorted by name, as tables.txt
    // clean/ only: "pg_class" and "pg_attribute".
    std::map<std::string, RecoveryCatalog> catalogVersions;

    const RecoveryTable* findTable(const std::string& name) const;
    // As findTable, but throws std::runtime_error naming the table when it is absent.
    const RecoveryTable& table(const std::string& name) const;
    // Throws std::runtime_error when the manifest names no such step.
    uint32_t xid(const std::string& step) const;
};

struct RecoveryFixture {
    std::string label;
    std::string builderHash;
    std::string dir;  // absolute fixture folder
    FixtureServer server;
    RecoveryCluster clean;
    RecoveryCluster crash;
    std::string cleanNoXactDir;  // absolute; clean/ without pg_xact
};

// The server builds with a recovery fixture: deb15, pg10, pg18.
std::vector<std::string> recoveryFixtureLabels();

// Reads $VORN_FIXTURES/recovery-<label>.path and the manifest of the fixture it names.
// Returns nullopt, with the reason in *why when why is not null, when the variable, the
// path file or the manifest is missing: the fixture was not built (tests skip). Throws
// std::runtime_error when a manifest exists but cannot be read.
std::optional<RecoveryFixture> findRecoveryFixture(const std::string& label, std::string* why);

// Reads <fixtureDir>/manifest.json; throws std::runtime_error when it is missing or broken.
RecoveryFixture loadRecoveryFixtureDir(const std::string& fixtureDir);

}  // namespace vorn::test
