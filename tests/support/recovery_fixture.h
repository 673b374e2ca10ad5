#pragma once

// Real PostgreSQL data directories whose row versions only the commit log (and
// pg_multixact) can judge, or whose files are not what a server shows after a crash.
//
// tests/fixtures/pg/build_recovery_fixture.sh builds one per label (deb15, pg10, pg18) into
// the cache folder named by VORN_FIXTURES and writes <cache>/recovery-<label>.path naming
// the fixture folder. Every cluster has the database recovery, its tables in schema public:
//
//   <fixture>/clean/          cleanly stopped, rolled-back work nobody read afterwards, so
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
//     t_addcol  10 rows (id, v), read; then ADD COLUMN c int and UPDATE SET c = 1 in one
//               rolled-back transaction: new versions with 3 attributes, unhinted
//     mx_*      10 rows (id primary key, v), read; then ids 1-2 got a multixact deleter
//               (not lock-only, unhinted) whose updater rolled back: mx_savepoint (FOR
//               UPDATE, UPDATE in a savepoint rolled back to), mx_exception (FOR SHARE, UPDATE
//               in a PL/pgSQL block undone by its error), mx_keyshare_rb (FOR KEY SHARE in a
//               second session), mx_two_share (two FOR SHARE lockers, then one of them) -
//               or committed: mx_keyshare_commit, whose truth holds the updated values
//   <fixture>/oracle/         the server's own answer for clean/, from a copy of it:
//                             <table>.txt (COPY text: tab delimited, NULL as \N, ordered by
//                             the first column), <table>.columns (live attnames, one a
//                             line) and tables.txt (the table names, sorted)
//   <fixture>/crash/          stopped with -m immediate (pg_control says "in production")
//                             just after a checkpoint, while transactions were open, and
//                             after committed work whose pages were not written again:
//     c_done, c_new   the "writer" had inserted 30 rows into c_new, updated c_done ids 1-5
//                     and deleted 16-20; the "inserter" had inserted ids 101-107 into c_done.
//                     Truth: c_done's 20 rows, c_new empty.
//     mx_crash        10 rows; ids 1-2 locked FOR UPDATE and updated in a savepoint, all in
//                     flight: a multixact deleter of two unfinished members. Truth: unchanged
//     u_rows          unlogged, 10 rows in its file (written by a clean stop before); the
//                     server empties it when it starts. Truth: empty; its file: the 10 rows
//     c_wal           10 rows; after the checkpoint a committed INSERT (ids 11-15) and UPDATE
//                     (ids 1-3), in the WAL only. Truth: 15 rows; its file: the 10 old ones
//     c_dropped       dropped after the checkpoint: listed by the catalogue in the files,
//                     its file emptied by the commit. Truth: no table; its file: no rows
//     c_truncated     truncated after the checkpoint, the same. Truth and file: no rows
//     and the temporary table tmp_rows (10 rows) of a session alive at the crash, in schema
//     pg_temp_<n>, file t<n>_<file node> (RecoveryCluster::tempTable); the server removes
//     the file when it starts
//   <fixture>/crash_oracle/   the same files for crash/, from a server that recovered a copy
//   <fixture>/crash_files/    <table>.txt: what crash/'s files hold (RecoveryTable::fileText)
//   <fixture>/xact/           cleanly stopped: t_low (20 rows, xid in pg_xact segment 0000)
//                             and t_high (20 rows, xid 1048576 or just above: segment 0001),
//                             neither read (unhinted); pg_control's oldest xid precedes
//                             t_low's, so the server still needs segment 0000
//   <fixture>/xact_oracle/    its oracle
//   <fixture>/shrunk/         cleanly stopped: t_shrunk grew past one segment file
//                             (RecoveryCluster::grownBlocks) and VACUUM cut it back to 10
//                             rows on 10 blocks: a short segment 0 and <file node>.1 kept at
//                             zero length
//   <fixture>/shrunk_oracle/  its oracle
//   <fixture>/clean_noxact/   clean/ without pg_xact (hard links)
//   <fixture>/clean_nomulti/  clean/ without pg_multixact
//   <fixture>/xact_lost_oldest/  xact/ without pg_xact/0000
//   <fixture>/xact_lost_newest/  xact/ without pg_xact/0001
//   <fixture>/manifest.json   read by findRecoveryFixture()
//
// None of the clusters was started again after its stop. What the heap files hold was read
// from the files of a copy (RecoveryTable::versions; for crash/ an untouched copy, read by
// the server of a recovered one); the build fails unless every table holds exactly the row
// versions described above, with no hint bits on the rolled-back and in-flight ones.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fixture_manifest.h"

namespace vorn::test {

// A member of a multixact, as pg_get_multixact_members gives it.
struct RecoveryMultixactMember {
    uint32_t xid = 0;
    std::string mode;  // keysh, sh, forupd (lockers), nokeyupd, upd (updaters)
};

// Heap tuples of one table sharing xmin, xmax, their hint bits and the number of attributes,
// as read from the file.
struct RecoveryVersions {
    uint32_t xmin = 0;
    uint32_t xmax = 0;          // 0: none; a multixact id when xmaxMulti
    std::string xminHint;       // none, committed (0x0100), invalid (0x0200), frozen (both)
    std::string xmaxHint;       // none, committed (0x0400), invalid (0x0800)
    bool xmaxMulti = false;     // HEAP_XMAX_IS_MULTI (0x1000)
    bool xmaxLockOnly = false;  // HEAP_XMAX_LOCK_ONLY (0x0080)
    int natts = 0;              // t_infomask2 & 0x07FF
    std::vector<RecoveryMultixactMember> members;  // of the multixact in xmax
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
    // xmax a multixact that is not lock-only: deleters only pg_multixact resolves
    int64_t xmaxMultiUpdaters = 0;
};

struct RecoverySegment {
    uint32_t number = 0;  // 0: the file named by the file node alone
    int64_t size = 0;     // bytes
};

struct RecoveryTable {
    std::string name;
    uint32_t oid = 0;
    uint32_t relfilenode = 0;
    std::string relativePath;               // relative to the cluster's data directory
    std::string path;                       // absolute
    char persistence = 'p';                 // pg_class.relpersistence: p, or u (unlogged)
    bool initFork = false;                  // <file node>_init exists
    int64_t blocks = 0;                     // main fork, all segments
    std::vector<RecoverySegment> segments;  // the main fork's files, by number
    std::optional<FixtureToast> toast;
    // count(*) by the server that wrote the oracle; -1 when it has no such table (crash/:
    // dropped in the WAL), and then oracleText and oracleColumns are empty
    int64_t rows = 0;
    std::vector<std::string> columns;  // live attnames in attnum order
    std::string oracleText;            // absolute <oracle>/<table>.txt
    std::string oracleColumns;         // absolute <oracle>/<table>.columns
    // crash/ only: what the table's files hold, as COPY text (absolute crash_files/<t>.txt),
    // and its row count; a reader of the files without the WAL writes these rows
    std::string fileText;
    int64_t fileRows = -1;
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

// The checkpoint pg_control names (crash/): the builder's last one.
struct RecoveryCheckpoint {
    int64_t time = 0;      // seconds since 1970, pg_controldata's "Time of latest checkpoint"
    std::string timeText;  // as the server printed it, in its time zone
    std::string lsn;
    std::string redoLsn;
};

// A temporary table whose session was alive at the crash (crash/).
struct RecoveryTempTable {
    std::string name;  // tmp_rows
    uint32_t oid = 0;
    uint32_t relfilenode = 0;
    std::string schema;        // pg_temp_<n>
    std::string fileName;      // t<n>_<file node>
    std::string relativePath;  // base/<db>/t<n>_<file node>
    std::string path;          // absolute
    int64_t rows = 0;
};

struct RecoveryCluster {
    std::string dataDir;       // absolute
    std::string oracleDir;     // absolute
    std::string oracleTables;  // absolute <oracle>/tables.txt
    std::string database;      // recovery
    uint32_t databaseOid = 0;
    std::string state;  // pg_control's cluster state: "shut down" or "in production"
    // "<table>.<step>" -> xid, e.g. t_del.insert, t_del.delete, t_sub.savepoint_a,
    // t_alter.rename_table, mx_savepoint.locker, mx_savepoint.updater, c_done.writer,
    // c_new.writer, c_done.inserter, c_wal.insert_after_checkpoint, t_high.insert.
    std::map<std::string, uint32_t> xids;
    std::vector<RecoveryTable> tables;  // sorted by name, as tables.txt
    // clean/ only: "pg_class" and "pg_attribute".
    std::map<std::string, RecoveryCatalog> catalogVersions;
    // crash/ only
    std::optional<RecoveryCheckpoint> checkpoint;
    std::optional<RecoveryTempTable> tempTable;
    // xact/ only: pg_control's oldest xid; how the next xid was moved to 1048576
    // ("pg_resetwal -x 0x100000" or "xids used up", where the server has no pg_resetwal)
    uint32_t oldestXid = 0;
    std::string xidAdvance;
    // shrunk/ only: t_shrunk's blocks before the delete and VACUUM
    int64_t grownBlocks = 0;

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
    RecoveryCluster xact;
    RecoveryCluster shrunk;
    // absolute; copies of a cluster (hard links) without part of what judges its tuples
    std::string cleanNoXactDir;     // clean/ without pg_xact
    std::string cleanNoMultiDir;    // clean/ without pg_multixact
    std::string xactLostOldestDir;  // xact/ without pg_xact/0000
    std::string xactLostNewestDir;  // xact/ without pg_xact/0001
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
