// The DB format against a real target with the fixtures' tables: a PostgreSQL 15 server of
// the test's own (target_db.h) reached over its unix socket with password authentication.
//
// Every table of every fixture build is streamed through the writer factory's CopyDBWriter,
// as the role vorn_loader (no superuser; its password holds '@', '/', ':' and a blank),
// into a table made from vorn's CREATE TABLE text in a target database of the fixture
// database's encoding (LATIN1 for vorn_latin1). The target's rows are then read back with
// COPY TO (FORMAT binary) in that encoding and compared field by field with the source
// server's own binary COPY of the table (the fixture's copy/<db>/<oid>.bin): what arrived
// must be what the source server held, byte for byte in the types' send forms. Binary
// rather than text, because those send forms are the same on every server version, while
// the target (15) cannot read some of the newer servers' text (an interval 'infinity' from
// 17 on). The one allowed difference: columns of a type without a binary encoder (jsonb,
// uuid, inet, arrays, enums) arrive as NULL. Such a table has no CREATE TABLE text; its
// target is declared from the manifest's type names.
//
// Then one fixture table (deb15 vorn.public.bulk, 20000 rows) goes into targets that refuse
// it in the ways a user meets, or lose the connection on the way: the table must be reported
// failed with the server's reason and 0 rows, and the target must keep exactly what it had.

#include "export/copy_db_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalog/dictionary.h"
#include "export/create_table_ddl.h"
#include "export/export_settings.h"
#include "export/writer_factory.h"
#include "storage/copy_binary_encode.h"
#include "tests/export/export_test_env.h"
#include "tests/export/fixture_databases.h"
#include "tests/export/target_db.h"
#include "tests/storage/support/copy_binary.h"
#include "tests/storage/support/copy_text.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

constexpr size_t kMismatchesShown = 5;  // per table
constexpr int kStreams = 4;             // tables streamed at once

std::string qualifiedName(const FixtureTable& t) {
    return quoteIdentifier(t.schema) + "." + quoteIdentifier(bytesFromHex(t.nameHex));
}

// The target table of `t`: vorn's own CREATE TABLE text, or, for a table with a column no
// statement of vorn's can declare, the manifest's type names.
std::string createStatement(const FixtureTable& t, const ColumnLayout& layout) {
    std::string ddl = buildCreateTableDdl(t.schema, bytesFromHex(t.nameHex), layout, false);
    if (!ddl.empty())
        return ddl + ";\n";
    std::string columns;
    for (const FixtureColumn* c : t.liveColumns()) {
        if (!columns.empty())
            columns += ", ";
        columns += quoteIdentifier(bytesFromHex(c->nameHex)) + " " + c->type;
    }
    return "CREATE TABLE " + qualifiedName(t) + " (" + columns + ");\n";
}

// Compares the target's binary COPY of the table with the source server's.
void compareWithSource(const FixtureTable& t, const ColumnLayout& layout,
                       const std::string& targetBytes) {
    std::vector<bool> sentAsNull;
    for (size_t c : copyFieldColumns(layout))
        sentAsNull.push_back(binaryEncoderFor(layout[c]) == nullptr);
    const CopyBinaryFile want = parseCopyBinary(readFileBytes(t.copyBinary));
    CopyBinaryFile have;
    ASSERT_NO_THROW(have = parseCopyBinary(targetBytes));
    ASSERT_EQ(have.rows.size(), want.rows.size()) << "rows";
    size_t mismatches = 0;
    for (size_t r = 0; r < want.rows.size() && mismatches < kMismatchesShown; ++r) {
        ASSERT_EQ(want.rows[r].size(), sentAsNull.size()) << "source fields of row " << r;
        ASSERT_EQ(have.rows[r].size(), sentAsNull.size()) << "target fields of row " << r;
        for (size_t f = 0; f < sentAsNull.size(); ++f) {
            const std::optional<std::string> expected =
                sentAsNull[f] ? std::nullopt : want.rows[r][f];
            if (have.rows[r][f] != expected && mismatches++ < kMismatchesShown)
                ADD_FAILURE() << "row " << r << " field " << f << ": source "
                              << hexPrefix(want.rows[r][f]) << ", target "
                              << hexPrefix(have.rows[r][f]);
        }
    }
}

// The tables of one fixture database and the target database they go to.
struct TargetDatabase {
    const FixtureDatabase* source = nullptr;
    std::string name;
    std::vector<const FixtureTable*> tables;
};

// Streams one table into its target and compares what the target then holds.
void streamTable(const std::string& label, const TargetDatabase& target, const FixtureTable& t) {
    const FixtureDatabase& source = *target.source;
    SCOPED_TRACE(label + " " + source.name + "." + t.schema + "." + t.name);
    FixturePgTable fixture(source, t);
    std::unique_ptr<IDataWriter> writer = makeDataWriter(kExportDb, fixture.table(), "");
    auto* dbWriter = dynamic_cast<CopyDBWriter*>(writer.get());
    ASSERT_NE(dbWriter, nullptr);
    EXPECT_EQ(dbWriter->clientEncoding(), source.encodingName);
    const UnloadResult result = fixture.table().unload(*writer, nullptr);
    ASSERT_FALSE(result.failed) << writer->messages();
    EXPECT_EQ(result.damage.total(), 0u) << result.damage.summary();
    EXPECT_EQ(result.rows, static_cast<uint64_t>(t.rows));
    writer.reset();
    std::string bytes;
    ASSERT_NO_THROW(bytes = targetDb().copyOut(
                        target.name, "COPY " + qualifiedName(t) + " TO STDOUT (FORMAT binary)",
                        source.encodingName));
    compareWithSource(t, fixture.table().columns(), bytes);
}

void streamDatabase(const std::string& label, TargetDatabase& target) {
    TargetDb& db = targetDb();
    const FixtureDatabase& source = *target.source;
    const std::string& encoding = source.encodingName;

    db.server().psql("DROP DATABASE IF EXISTS \"" + target.name + "\";");
    db.server().createDatabase(target.name, encoding);
    std::string script;
    if (source.name == "vorn")  // the fixture's enum (tests/fixtures/pg/sql/vorn.sql)
        script += "CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy');\n";
    std::set<std::string> schemas;
    for (const FixtureTable* t : target.tables)
        schemas.insert(quoteIdentifier(t->schema));
    for (const std::string& schema : schemas)
        script += "CREATE SCHEMA IF NOT EXISTS " + schema + ";\n";
    for (const FixtureTable* t : target.tables)
        script += createStatement(*t, fixtureLayout(*t));
    for (const std::string& schema : schemas) {
        script += "GRANT USAGE ON SCHEMA " + schema + " TO " + TargetDb::kLoader + ";\n";
        script +=
            "GRANT INSERT ON ALL TABLES IN SCHEMA " + schema + " TO " + TargetDb::kLoader + ";\n";
    }
    db.server().psql(script, target.name, encoding);

    // Each writer takes the connect string when it is made.
    targetConnectString = db.loaderConnectString(target.name);
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < target.tables.size();)
            streamTable(label, target, *target.tables[i]);
    };
    std::vector<std::thread> streams;
    for (int n = 0; n < kStreams; ++n)
        streams.emplace_back(work);
    for (std::thread& s : streams)
        s.join();
    db.server().psql("DROP DATABASE \"" + target.name + "\";");
}

TEST(CopyDbWriter, EveryFixtureTableArrivesAsTheSourceServerHeldIt) {
    for (const std::string& label : fixtureLabels()) {
        if (const std::optional<std::string> missing = fixtureMissing(label))
            GTEST_SKIP() << *missing;
    }
    DbFormatEnv env;
    for (const std::string& label : fixtureLabels()) {
        SCOPED_TRACE(label);
        const FixtureManifest& manifest = sharedFixture(label);
        FixtureServerSettings settings;
        settings.use(manifest);
        // The dictionary the factory asks for the encoding of each table's database.
        listFixtureDatabases(manifest);

        std::map<std::string, TargetDatabase> targets;  // by fixture database
        const size_t tables =
            forEachFixtureTable(manifest, [&](const FixtureDatabase& d, const FixtureTable& t) {
                TargetDatabase& target = targets[d.name];
                target.source = &d;
                target.name = "t_" + label + "_" + d.name;
                target.tables.push_back(&t);
            });
        EXPECT_GT(tables, 40u);
        for (auto& [unused, target] : targets)
            streamDatabase(label, target);
    }
}

// ---- tables the target refuses -----------------------------------------------------------

// The one fixture table of the refusals: its rows take more than one chunk.
class BulkTable {
  public:
    // `deb15` is the fixture's shared manifest, which outlives the object.
    explicit BulkTable(const FixtureManifest& deb15) {
        settings_.use(deb15);
        database_ = deb15.findDatabase("vorn");
        table_ = &deb15.table("vorn", "public", "bulk");
    }
    const FixtureDatabase& database() const { return *database_; }
    const FixtureTable& table() const { return *table_; }

  private:
    FixtureServerSettings settings_;
    const FixtureDatabase* database_ = nullptr;
    const FixtureTable* table_ = nullptr;
};

struct Streamed {
    UnloadResult result;
    std::string messages;
};

Streamed streamBulk(const BulkTable& bulk, const std::string& connectString) {
    targetConnectString = connectString;
    FixturePgTable fixture(bulk.database(), bulk.table());
    CopyDBWriter writer(&fixture.table().columns(), "public", "bulk", "", fixture.table().oid(),
                        "UTF8");
    Streamed streamed;
    streamed.result = fixture.table().unload(writer, nullptr);
    streamed.messages = writer.messages();
    return streamed;
}

TEST(CopyDbWriter, TargetTakesAllRowsOrNone) {
    VORN_FIXTURE_OR_SKIP(deb15, "deb15");
    DbFormatEnv env;
    BulkTable bulk(deb15);
    ASSERT_EQ(bulk.table().rows, 20000);
    ASSERT_EQ(bulk.table().liveColumns().size(), 4u);  // id int4, v text, f float8, ts tstz
    TargetDb& db = targetDb();
    db.server().createDatabase("refusals");
    const std::string superuser = db.superuserConnectString("refusals");
    const std::string loader = db.loaderConnectString("refusals");

    struct Refusal {
        const char* what;
        const char* setup;  // after DROP TABLE of bulk and "Bulk"
        const std::string* connectString;
        const char* phase;    // the step of the unload that reports the failure
        const char* reason;   // from the server's message
        const char* counted;  // the table whose rows are counted before and after
    };
    const Refusal cases[] = {
        {"no such table (only one of another case)",
         "CREATE TABLE \"Bulk\" (id int, v text, f float8, ts timestamptz);"
         "INSERT INTO \"Bulk\" VALUES (1, 'kept', 0, now());",
         &superuser, "Begin unload table", "relation \"public.bulk\" does not exist", "\"Bulk\""},
        {"a column the target lacks", "CREATE TABLE bulk (id int, v text, f float8);", &superuser,
         "Begin unload table", "column \"ts\" of relation \"bulk\" does not exist", "bulk"},
        {"no INSERT privilege", "CREATE TABLE bulk (id int, v text, f float8, ts timestamptz);",
         &loader, "Begin unload table", "permission denied for table bulk", "bulk"},
        {"a CHECK constraint that a late row breaks",
         "CREATE TABLE bulk (id int CHECK (id < 15000), v text, f float8, ts timestamptz);",
         &superuser, "Finish unload table", "violates check constraint \"bulk_id_check\"", "bulk"},
        {"a value too long for the column",
         "CREATE TABLE bulk (id int, v varchar(1), f float8, ts timestamptz);"
         "GRANT INSERT ON bulk TO vorn_loader;",
         &loader, "Finish unload table", "value too long for type character varying(1)", "bulk"},
        {"a column of another type", "CREATE TABLE bulk (id int, v text, f int, ts timestamptz);",
         &superuser, "Finish unload table", "incorrect binary data format", "bulk"},
        {"a key the target holds already",
         "CREATE TABLE bulk (id int PRIMARY KEY, v text, f float8, ts timestamptz);"
         "INSERT INTO bulk VALUES (19999, 'kept', 0, now());",
         &superuser, "Finish unload table", "duplicate key value violates unique constraint",
         "bulk"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        db.server().psql(
            std::string("DROP TABLE IF EXISTS bulk; DROP TABLE IF EXISTS \"Bulk\";") + c.setup,
            "refusals");
        const int64_t before = db.count("refusals", c.counted);

        const Streamed streamed = streamBulk(bulk, *c.connectString);
        EXPECT_TRUE(streamed.result.failed);
        EXPECT_EQ(streamed.result.rows, 0u);
        EXPECT_NE(streamed.messages.find(c.phase), std::string::npos) << streamed.messages;
        EXPECT_NE(streamed.messages.find(c.reason), std::string::npos) << streamed.messages;
        EXPECT_EQ(db.count("refusals", c.counted), before);
    }

    // The same table into a target that takes it: all rows, as the loader.
    db.server().psql(std::string("DROP TABLE IF EXISTS bulk; DROP TABLE IF EXISTS \"Bulk\";"
                                 "CREATE TABLE bulk (id int, v text, f float8, ts timestamptz);"
                                 "GRANT INSERT ON bulk TO ") +
                         TargetDb::kLoader + ";",
                     "refusals");
    const Streamed taken = streamBulk(bulk, loader);
    EXPECT_FALSE(taken.result.failed) << taken.messages;
    EXPECT_EQ(taken.result.rows, 20000u);
    EXPECT_EQ(db.count("refusals", "bulk"), 20000);
}

// Forwards to a CopyDBWriter and, after its first page of rows, has the target's server end
// the writer's session, as a restart or a network failure would.
class SessionKillingWriter : public DataWriter {
  public:
    SessionKillingWriter(CopyDBWriter& inner, const std::string& database)
        : DataWriter(&inner.columns(), inner.schemaName(), inner.tableName(), "", 1),
          inner_(inner),
          database_(database) {}
    void open() override { inner_.open(); }
    uint32_t writeRows(const ColumnBatch* batch, uint32_t rows) override {
        inner_.writeRows(batch, rows);
        if (!killed_) {
            killed_ = true;
            targetDb().server().psql(
                "SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE datname = " +
                PgServer::quoteLiteral(database_) + " AND pid <> pg_backend_pid();");
        }
        return rows;
    }
    void finish() override { inner_.finish(); }

  private:
    CopyDBWriter& inner_;
    std::string database_;
    bool killed_ = false;
};

TEST(CopyDbWriter, LostConnectionFailsTheTable) {
    VORN_FIXTURE_OR_SKIP(deb15, "deb15");
    DbFormatEnv env;
    BulkTable bulk(deb15);
    TargetDb& db = targetDb();
    db.server().createDatabase("lost");
    db.server().psql("CREATE TABLE bulk (id int, v text, f float8, ts timestamptz);", "lost");
    targetConnectString = db.superuserConnectString("lost");

    FixturePgTable fixture(bulk.database(), bulk.table());
    CopyDBWriter writer(&fixture.table().columns(), "public", "bulk", "", fixture.table().oid(),
                        "UTF8");
    SessionKillingWriter killing(writer, "lost");
    const UnloadResult result = fixture.table().unload(killing, nullptr);
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.rows, 0u);
    const std::string messages = killing.messages();
    EXPECT_TRUE(
        messages.find("Write rows of table \"public\".\"bulk\" error: ") != std::string::npos ||
        messages.find("Finish unload table \"public\".\"bulk\" error: ") != std::string::npos)
        << messages;
    EXPECT_EQ(db.count("lost", "bulk"), 0);
}

}  // namespace
}  // namespace vorn::test
