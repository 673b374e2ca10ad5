#pragma once

// Real PostgreSQL data directories for the tests, written by real servers.
//
// tests/fixtures/pg/build_fixture.sh builds one per server build ("label") into the cache
// folder named by the environment variable VORN_FIXTURES, and writes <cache>/<label>.path
// naming the fixture folder:
//
//   <fixture>/data/            cleanly shut-down data directory
//   <fixture>/ts1/, ts2/       tablespaces; data/pg_tblspc/<oid> link here
//   <fixture>/copy/<db oid>/   the server's own COPY output of every user table:
//                              <oid>.txt (text, '|' delimited, NULL as empty) and <oid>.bin
//   <fixture>/dict/            the server's own answer to the catalogue queries, taken just
//                              before it stopped, as COPY text ('|' delimited, NULL as
//                              empty; '|', backslash, newline and CR escaped as \|, \\, \n,
//                              \r), rows in physical order, oids unsigned:
//     pg_db.txt                0|oid|datname|encoding||dattablespace, one line a database
//     <db oid>/pg_schema.txt   db oid|oid|nspname
//     <db oid>/pg_class.txt    db oid|relnamespace|oid|relname|reltype|relkind|relnatts|
//                              relfilenode|reltoastrelid|reltablespace
//     <db oid>/pg_attr.txt     db oid|attrelid|attnum|attname|atttypid|atttypmod|attlen|
//                              attnotnull|attisdropped|attalign|attbyval|atthasmissing|
//                              attmissingval (bools as t/f; version 10 leaves the last two
//                              empty)
//                              for postgres, vorn, vorn_latin1 and vorn_ts, each taken with
//                              the database's encoding as client encoding: names are the
//                              stored bytes
//   <fixture>/manifest.json    what is where, read by loadFixture()
//
// The variant builds deb15v and pg18v (FixtureManifest::variant) hold all of that and more:
// on deb15v every object made after initdb has an OID above 2^31; vorn holds a table and a
// column whose names contain '|', a backslash, a newline and a CR, and public."Twin" beside
// public.twin; after the COPY files and table descriptions were taken, pg_database,
// pg_class, pg_attribute and pg_namespace of vorn and vorn_ts were rewritten by VACUUM FULL,
// and two ALTER TABLEs on vorn.public.added_col were rolled back, leaving their catalogue
// row versions (hint bits set) on the pages. The dict/ answers come after all of it.
//
// The COPY files were taken with TimeZone UTC, DateStyle 'ISO, MDY', IntervalStyle postgres,
// bytea_output hex, the database's own encoding as client encoding, rows in physical order,
// and before version 12 extra_float_digits 3. A test binary that reads fixtures requires
// the CTest fixtures of VORN_PG_FIXTURES (tests/fixtures/CMakeLists.txt).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorn::test {

struct FixtureServer {
    std::string version;  // server_version, e.g. "15.18 (Debian 15.18-0+deb12u1)"
    int versionNum = 0;   // server_version_num, e.g. 150018
    int major = 0;
    int minor = 0;
    uint32_t blockSize = 0;
    bool lz4 = false;  // built with lz4: then the table storage_lz4 exists
    bool dataChecksums = false;
};

struct FixtureTablespace {
    uint32_t oid = 0;
    std::string name;        // ts1 or ts2
    std::string dir;         // absolute; data/pg_tblspc/<oid> points here
    std::string versionDir;  // PG_<major>_<catalogue version>, the folder inside dir
};

// One attribute of pg_attribute (attnum > 0, dropped ones included).
struct FixtureColumn {
    int attnum = 0;
    std::string name;     // UTF-8
    std::string nameHex;  // the name's bytes in the database encoding, as hex
    uint32_t typeOid = 0;
    std::string type;  // format_type(), e.g. "character varying(10)"
    int len = 0;       // attlen
    char align = 0;    // attalign: c, s, i, d
    bool byval = false;
    int32_t typmod = -1;
    char storage = 0;  // attstorage: p, e, m, x
    bool dropped = false;
    char generated = 0;       // attgenerated: 's' stored, 'v' virtual (18); 0 for the others
    bool hasMissing = false;  // from version 11 on
    std::optional<std::string> missingValue;  // attmissingval as text, e.g. "{42}"
    // How the column's values lie in the heap tuples (dead versions included), by form:
    // short, plain, inline_pglz, inline_lz4, external_plain, external_pglz, external_lz4.
    std::map<std::string, int64_t> storageForms;
};

// Line pointers and tuple headers of a table's heap pages, as pageinspect found them.
struct FixtureTupleStates {
    int64_t normal = 0;           // normal line pointers, dead versions included
    int64_t deleted = 0;          // xmax set and not a lock: deleted or updated
    int64_t updated = 0;          // ... of which t_ctid points to a newer version
    int64_t lockedKeyShare = 0;   // xmax is a FOR KEY SHARE lock
    int64_t lockedForUpdate = 0;  // xmax is a FOR UPDATE lock
    int64_t hotUpdated = 0;
    int64_t heapOnly = 0;
    int64_t abortedInsert = 0;  // xmin is the manifest's abortedXid
    int64_t frozen = 0;
    int64_t redirect = 0;
    int64_t dead = 0;
    int64_t unused = 0;
};

struct FixtureToast {
    uint32_t oid = 0;
    uint32_t relfilenode = 0;
    std::string relativePath;  // relative to the data directory
    std::string path;          // absolute
    int64_t blocks = 0;
};

struct FixtureTable {
    std::string database;
    uint32_t databaseOid = 0;
    uint32_t oid = 0;
    std::string schema;   // UTF-8
    std::string name;     // UTF-8
    std::string nameHex;  // the name's bytes in the database encoding, as hex
    char relkind = 0;     // 'r' table, 'p' partitioned parent (no file)
    uint32_t relfilenode = 0;
    uint32_t tablespace = 0;   // 0: the database's default
    bool hasOids = false;      // WITH OIDS, before version 12
    std::string relativePath;  // pg_relation_filepath(); empty for a partitioned parent
    std::string path;          // absolute; empty for a partitioned parent
    int64_t relpages = 0;      // pg_class.relpages (as of the last ANALYZE)
    int64_t blocks = 0;        // real size of the main fork in blocks
    int64_t allVisiblePages = 0;
    uint32_t partitionOf = 0;  // the parent's oid for a partition, else 0
    std::optional<FixtureToast> toast;
    int64_t rows = 0;        // count(*)
    std::string copyText;    // absolute
    std::string copyBinary;  // absolute
    std::vector<FixtureColumn> columns;
    FixtureTupleStates tuples;

    const FixtureColumn* findColumn(const std::string& name) const;
    // Columns that are neither dropped nor generated: the fields of each COPY row, in order.
    std::vector<const FixtureColumn*> liveColumns() const;
};

// The file nodes of the mapped catalogues, as the server resolved them through
// global/pg_filenode.map (pg_database) and the database's own pg_filenode.map.
struct FixtureCatalogFileNodes {
    uint32_t pgDatabase = 0;   // catalogue 1262
    uint32_t pgClass = 0;      // catalogue 1259
    uint32_t pgAttribute = 0;  // catalogue 1249
};

struct FixtureDatabase {
    uint32_t oid = 0;
    std::string name;
    int encoding = 0;  // PostgreSQL encoding id: 6 UTF8, 8 LATIN1
    std::string encodingName;
    uint32_t tablespace = 0;  // dattablespace
    // Absent for template0, which takes no connections.
    std::optional<FixtureCatalogFileNodes> catalogFileNodes;
    // Tables are described for the fixture databases vorn, vorn_latin1 and vorn_ts only.
    bool described = false;
    std::vector<FixtureTable> tables;
};

// Row versions of one catalogue of vorn that the variant's rolled-back ALTER TABLEs left,
// as pageinspect counted them after the last reads and a checkpoint.
struct FixtureAbortedVersions {
    int64_t inserted = 0;        // xmin is a rolled-back xid
    int64_t insertedHinted = 0;  // ... with the xmin-invalid hint bit (0x0200)
    int64_t deleted = 0;         // committed versions whose xmax is a rolled-back xid
    int64_t deletedHinted = 0;   // ... with the xmax-invalid hint bit (0x0800)
};

// What a variant build did beyond the normal fixture. Tables are in vorn, schema public.
struct FixtureVariant {
    bool highOids = false;         // pg_resetwal -o 3000000000 after initdb (deb15v)
    bool catalogVacuumed = false;  // VACUUM FULL of the catalogues in vorn and vorn_ts
    std::string rolledBackTable;   // the table of the rolled-back ALTER TABLEs
    std::vector<uint32_t> rolledBackXids;
    FixtureAbortedVersions pgClass;
    FixtureAbortedVersions pgAttribute;
    std::string escapedNameTable;  // name with '|', backslash, newline and CR
    std::string caseTwinTable;     // "Twin", beside twin
};

struct FixtureManifest {
    std::string label;
    std::string builderHash;
    std::string dir;      // absolute fixture folder
    std::string dataDir;  // absolute data directory
    std::string dictDir;  // absolute <fixture>/dict
    FixtureServer server;
    uint32_t abortedXid = 0;  // the xid of the rolled-back insert into vorn.public.mvcc
    std::optional<FixtureVariant> variant;  // deb15v and pg18v only
    std::vector<FixtureTablespace> tablespaces;
    std::vector<FixtureDatabase> databases;

    const FixtureDatabase* findDatabase(const std::string& name) const;
    const FixtureTablespace* findTablespace(const std::string& name) const;
    const FixtureTable* findTable(const std::string& database, const std::string& schema,
                                  const std::string& name) const;
    // As findTable, but throws std::runtime_error naming the table when it is absent.
    const FixtureTable& table(const std::string& database, const std::string& schema,
                              const std::string& name) const;
};

// The server builds with a fixture: deb15, pg10 .. pg18, and the variants deb15v and pg18v.
std::vector<std::string> fixtureLabels();

// Reads $VORN_FIXTURES/<label>.path and the manifest of the fixture it names. Throws
// std::runtime_error with the reason when the variable, the file or the manifest is missing.
// Tests reach a fixture through VORN_FIXTURE_OR_SKIP (fixture_skip.h) instead, which skips
// the test when the fixture is not built.
FixtureManifest loadFixture(const std::string& label);

// Reads <fixtureDir>/manifest.json.
FixtureManifest loadFixtureDir(const std::string& fixtureDir);

}  // namespace vorn::test
