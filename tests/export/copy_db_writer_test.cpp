// The DB format against a real target (target_db.h) with tables made by hand: a COPY that
// fails after several 1 MiB chunks, tables without rows or without columns; and the
// factory's choice of client encoding. The fixtures' tables go through the same writer in
// copy_db_writer_fixture_test.cpp.

#include "export/copy_db_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "catalog/dictionary.h"
#include "export/export_settings.h"
#include "export/writer_factory.h"
#include "storage/column_batch.h"
#include "tests/export/export_test_env.h"
#include "tests/export/target_db.h"

namespace vorn::test {
namespace {

// 8000 rows of about 1 KB: eight chunks. The server refuses a late row, or loses the session
// after the third chunk; either way the failure reaches the writer (at the latest in
// finish, as libpq only reads the server's answer when the stream ends) and the target keeps
// no row.
TEST(CopyDbWriter, FailuresAfterSeveralChunksLeaveNothing) {
    DbFormatEnv env;
    TargetDb& db = targetDb();
    db.server().createDatabase("chunks");
    const ColumnLayout layout = {column(1, "id", 23), column(2, "v", 25)};
    ColumnBatch batch = makeColumnBatch(layout);
    constexpr int kBatches = 8;

    struct Failure {
        const char* what;
        const char* table;
        int killAfterBatch;  // -1: none
        const char* reason;  // in the writer's message
    };
    const Failure cases[] = {
        {"a CHECK constraint broken in the last chunk",
         "CREATE TABLE t (id int CHECK (id < 7500), v text);", -1,
         "violates check constraint \"t_id_check\""},
        // libpq's text depends on what it reads first: the server's farewell or the end of
        // the socket.
        {"the session ended after three chunks", "CREATE TABLE t (id int, v text);", 3, ""},
    };
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.what);
        db.server().psql(
            std::string("DROP TABLE IF EXISTS t;") + c.table + "GRANT INSERT ON t TO vorn_loader;",
            "chunks");
        targetConnectString = db.loaderConnectString("chunks");
        CopyDBWriter writer(&layout, "public", "t", "", 1, "UTF8");
        ASSERT_NO_THROW(writer.open());
        std::string failure;
        try {
            for (int b = 0; b < kBatches; ++b) {
                for (uint32_t r = 0; r < kBatchRows; ++r) {
                    setValue(batch[0], r, int4Bytes(static_cast<int32_t>(b * kBatchRows + r)));
                    setValue(batch[1], r, std::string(1000, static_cast<char>('a' + b)));
                }
                writer.writeRows(&batch, kBatchRows);
                if (b + 1 == c.killAfterBatch) {
                    db.server().psql(
                        "SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE "
                        "datname = 'chunks' AND pid <> pg_backend_pid();");
                }
            }
            writer.finish();
        } catch (const DBExcept& e) {
            failure = e.what();
        }
        EXPECT_FALSE(failure.empty());
        EXPECT_NE(failure.find(c.reason), std::string::npos) << failure;
        EXPECT_EQ(db.count("chunks", "t"), 0);
    }
    freeColumnBatch(batch);
}

TEST(CopyDbWriter, TablesWithoutRowsOrWithoutColumns) {
    DbFormatEnv env;
    TargetDb& db = targetDb();
    db.server().createDatabase("by_hand");
    db.server().psql(
        "CREATE SCHEMA \"Mixed \"\"Schema\"; CREATE TABLE \"Mixed \"\"Schema\".\"No Rows\" "
        "(\"Id\" int, \"Other Col\" text); CREATE TABLE public.no_columns ();",
        "by_hand");
    targetConnectString = db.loaderConnectString("by_hand");
    db.server().psql(std::string("GRANT USAGE ON SCHEMA \"Mixed \"\"Schema\" TO ") +
                         TargetDb::kLoader + "; GRANT INSERT ON ALL TABLES IN SCHEMA " +
                         "\"Mixed \"\"Schema\", public TO " + TargetDb::kLoader + ";",
                     "by_hand");

    // No rows: the header and the trailer alone end the COPY.
    const ColumnLayout twoColumns = {column(1, "Id", 23), column(2, "Other Col", 25)};
    CopyDBWriter empty(&twoColumns, "Mixed \"Schema", "No Rows", "", 1, "UTF8");
    EXPECT_NO_THROW(empty.open());
    EXPECT_NO_THROW(empty.finish());
    EXPECT_EQ(db.count("by_hand", "\"Mixed \"\"Schema\".\"No Rows\""), 0);

    // No columns: rows of no fields, and no column list in the statement.
    const ColumnLayout none;
    ColumnBatch batch = makeColumnBatch(none);
    CopyDBWriter noColumns(&none, "public", "no_columns", "", 2, "UTF8");
    EXPECT_NO_THROW(noColumns.open());
    EXPECT_NO_THROW(noColumns.writeRows(&batch, 3));
    EXPECT_NO_THROW(noColumns.finish());
    EXPECT_EQ(noColumns.rowsSent(), 3u);
    EXPECT_EQ(db.count("by_hand", "public.no_columns"), 3);
    freeColumnBatch(batch);
}

// ---- the factory ----------------------------------------------------------------------------

TEST(WriterFactory, DbWriterSpeaksTheEncodingOfTheTablesDatabase) {
    DbFormatEnv env;
    targetConnectString = "not even a connect string";  // building a writer connects to nothing
    DatabaseList& databases = Dictionary::instance().databases;
    DatabaseEntry latin1;
    latin1.oid = 16500;
    latin1.encoding = 8;
    DatabaseEntry unknown;
    unknown.oid = 16501;
    unknown.encoding = 99;
    databases = {latin1, unknown};

    PgTable table;
    table.setRelname("t");
    table.schemaNameOverride = "public";
    table.setColumns(ColumnLayout{column(1, "id", 23)});
    for (const auto& [dboid, encoding] : std::vector<std::pair<uint32_t, std::string>>{
             {16500, "LATIN1"}, {16501, "UTF8"}, {16502, "UTF8"}}) {
        table.dboid = dboid;
        std::unique_ptr<IDataWriter> writer = makeDataWriter(kExportDb, table, "");
        auto* db = dynamic_cast<CopyDBWriter*>(writer.get());
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(db->clientEncoding(), encoding) << dboid;
    }
}

}  // namespace
}  // namespace vorn::test
