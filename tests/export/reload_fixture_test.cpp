// The export files loaded back into a real server. Every table of the fixture databases is
// unloaded to TEXT and to BINARY; each file is loaded with COPY FROM into a table made from
// the writer's own DDL script, the server's own COPY file of the same format into a twin of
// it, and the two are compared row by row (the rows' text, both ways, EXCEPT ALL). This is
// the users' test: what vorn writes must load, and load as what the server itself wrote.
//
// Allowed differences, masked to NULL on both sides before comparing:
//   - columns of a type with no output: jsonb (its on-disk tree is neither its text nor its
//     send form), uuid, inet, geometric types, ranges, arrays, enums and the others the
//     engine has no decoder for. Their fields are written empty (TEXT) or NULL (BINARY), and
//     the test checks that they do load as NULL;
//   - TEXT only: an empty value reads back as NULL. The engine's rows do not tell NULL from
//     an empty value (length 0 both), and the TEXT writer gives both an empty field, which
//     the loader's NULL '' reads as NULL: an empty string, and an empty bytea, which the
//     server writes as \x. (BINARY keeps them apart.)
// A table with a column of a user type (the fixture's enum) gets no DDL script (no statement
// could declare it); the test creates it from the manifest's format_type() names instead,
// after the enum. Built-in types without output are declared by the DDL script.

#include <gtest/gtest.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/file_logger.h"
#include "catalog/dictionary.h"
#include "export/create_table_ddl.h"
#include "export/export_settings.h"
#include "export/file_names.h"
#include "export/writer_factory.h"
#include "storage/table.h"
#include "tests/export/fixture_databases.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/pg_server.h"
#include "tests/support/temp_dir.h"

namespace fs = boost::filesystem;

namespace vorn::test {
namespace {

constexpr uint32_t kFirstUserOid = 16384;
constexpr int kParallelLoads = 8;

// See the top of the file: the PostgreSQL types whose values the engine writes, named here
// by OID so that a type losing its output fails the comparison. Every other type has none.
bool hasNoOutput(const FixtureColumn& c) {
    static const std::set<uint32_t> written = {
        16,  17,  18,   19,   20,   21,   23,   25,   26,   28,   114,  142,  700,
        701, 790, 1042, 1043, 1082, 1083, 1114, 1184, 1186, 1266, 1560, 1562, 1700,
    };
    return written.count(c.typeOid) == 0;
}

// Only a user type (OID 16384 and up: the fixture's enum) has no SQL name, which leaves the
// table without a CREATE TABLE; built-in types without output are declared.
bool hasNoSqlName(const FixtureColumn& c) {
    return c.typeOid >= kFirstUserOid;
}

// The one file with `extension` in `dir`; empty when there is none.
std::string findFile(const std::string& dir, const std::string& extension) {
    std::string found;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == extension) {
            EXPECT_TRUE(found.empty()) << "two " << extension << " files in " << dir;
            found = e.path().string();
        }
    }
    return found;
}

std::string readWhole(const std::string& path) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            out += separator;
        out += parts[i];
    }
    return out;
}

// The newest server build of the fixtures: it loads what every older version wrote (an
// interval 'infinity' from version 17 on, which 15 refuses). One for the whole binary.
PgServer& loadingServer() {
    static PgServer server(newestFixtureServerOptions());
    return server;
}

// The database a fixture database's files are loaded into, and its encoding.
struct Target {
    std::string name;
    std::string encoding;
};

// The fixture database's own encoding, since the files hold its bytes; but before version 15
// the server wrote a "char" with the high bit set as that raw byte (from 15 on as an octal
// escape), which no UTF8 database accepts, not even from the server's own COPY file. Those
// load into SQL_ASCII, which takes bytes as they are.
std::string loadingEncoding(const FixtureManifest& manifest, const FixtureDatabase& db) {
    if (db.encodingName == "UTF8" && manifest.server.major < 15)
        return "SQL_ASCII";
    return db.encodingName;
}

class Reload : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        unloadLog().open(logDir_.path().c_str());
        savedExportDirectory_ = exportDirectory;
        savedDatabases_ = Dictionary::instance().databases;
    }
    void TearDown() override {
        exportDirectory = savedExportDirectory_;
        Dictionary::instance().databases = savedDatabases_;
    }

    // Unloads `t` with `format` into a fresh folder below `dir`; returns the folder.
    std::string unload(const FixtureDatabase& db, const FixtureTable& t, int format,
                       const std::string& dir);
    // Unloads `t` and queues the script that loads and compares it.
    void prepareTable(const std::string& label, const FixtureDatabase& db, const FixtureTable& t,
                      const Target& target);
    // Runs the queued scripts, several at a time (each psql call waits mostly on the server).
    void runLoads();

    struct Load {
        std::string where;
        std::string database;
        std::string encoding;
        std::string script;
        int64_t rows = 0;
        std::string output;
        std::string error;
    };

    FixtureServerSettings settings_;
    TempDir logDir_;
    TempDir out_;
    std::string savedExportDirectory_;
    DatabaseList savedDatabases_;
    std::vector<Load> loads_;
    struct Schemas {
        std::string encoding;
        std::set<std::string> names;  // quoted
    };
    std::map<std::string, Schemas> schemas_;  // by loading database
};

std::string Reload::unload(const FixtureDatabase& db, const FixtureTable& t, int format,
                           const std::string& dir) {
    fs::create_directories(dir);
    exportDirectory = dir;
    resetTableFileNames();
    FixturePgTable fixture(db, t);
    std::unique_ptr<IDataWriter> writer = makeDataWriter(format, fixture.table(), "");
    EXPECT_NE(writer, nullptr);
    if (writer == nullptr)
        return dir;
    const UnloadResult result = fixture.table().unload(*writer, nullptr);
    EXPECT_FALSE(result.failed) << writer->messages();
    EXPECT_EQ(result.rows, static_cast<uint64_t>(t.rows));
    return dir;
}

void Reload::prepareTable(const std::string& label, const FixtureDatabase& db,
                          const FixtureTable& t, const Target& target) {
    const std::string where = label + " " + db.name + "." + t.schema + "." + t.name;
    SCOPED_TRACE(where);
    const std::string base = out_.path() + "/" + db.name + "/" + std::to_string(t.oid);
    const std::string textDir = unload(db, t, kExportText, base + "/text");
    const std::string binaryDir = unload(db, t, kExportBinary, base + "/binary");
    const std::string textFile = findFile(textDir, ".txt");
    const std::string binaryFile = findFile(binaryDir, ".bin");
    ASSERT_FALSE(textFile.empty());
    ASSERT_FALSE(binaryFile.empty());

    const std::string qualified =
        quoteIdentifier(t.schema) + "." + quoteIdentifier(bytesFromHex(t.nameHex));
    bool declarable = true;
    std::vector<std::string> plain, text, masked;  // per live column: select expressions
    std::vector<std::string> manifestColumns;
    for (const FixtureColumn* c : t.liveColumns()) {
        const std::string name = quoteIdentifier(bytesFromHex(c->nameHex));
        manifestColumns.push_back(name + " " + c->type);
        if (hasNoSqlName(*c))
            declarable = false;
        if (hasNoOutput(*c)) {
            masked.push_back(name + " IS NULL");
            plain.push_back("NULL");
            text.push_back("NULL");
        } else {
            plain.push_back(name);
            text.push_back(c->typeOid == 17 ? "NULLIF(" + name + ", ''::bytea)::text"
                                            : "NULLIF(" + name + "::text, '')");
        }
    }

    // Schemas are made before the loads run side by side: two CREATE SCHEMA IF NOT EXISTS
    // of one name at once make one of them fail.
    Schemas& schemas = schemas_[target.name];
    schemas.encoding = target.encoding;
    schemas.names.insert(quoteIdentifier(t.schema));
    std::string script;
    const std::string ddlFile = findFile(textDir, ".sql");
    if (declarable) {
        ASSERT_FALSE(ddlFile.empty()) << "no DDL script";
        EXPECT_FALSE(findFile(binaryDir, ".sql").empty());
        script += readWhole(ddlFile) + "\n";
    } else {
        EXPECT_TRUE(ddlFile.empty()) << "a DDL script for a table it cannot declare";
        script += "CREATE TABLE " + qualified + " (" + join(manifestColumns, ", ") + ");\n";
    }
    // a/e: TEXT, ours and the server's; b/f: BINARY, ours and the server's.
    const std::string stem = "reload.t" + std::to_string(t.oid);
    auto tab = [&](char which) { return stem + which; };
    for (char which : {'a', 'e', 'b', 'f'}) {
        script += "CREATE TABLE " + tab(which) + " (LIKE " + qualified + ");\n";
    }
    auto copy = [&](char which, const std::string& file, const std::string& options) {
        script += "\\copy " + tab(which) + " FROM " + PgServer::quoteLiteral(file) + " WITH (" +
                  options + ")\n";
    };
    copy('a', textFile, "DELIMITER '|', NULL ''");
    copy('e', t.copyText, "DELIMITER '|', NULL ''");
    copy('b', binaryFile, "FORMAT binary");
    copy('f', t.copyBinary, "FORMAT binary");

    auto rows = [&](char which, const std::vector<std::string>& exprs) {
        return "SELECT ROW(" + join(exprs, ", ") + ")::text AS r FROM " + tab(which);
    };
    auto except = [&](char lhs, char rhs, const std::vector<std::string>& exprs) {
        return "(" + rows(lhs, exprs) + " EXCEPT ALL " + rows(rhs, exprs) + ")";
    };
    const std::string notMasked = masked.empty() ? "false" : "NOT (" + join(masked, " AND ") + ")";
    script += "SELECT 'counts', (SELECT count(*) FROM " + tab('a') + "), (SELECT count(*) FROM " +
              tab('e') + "), (SELECT count(*) FROM " + tab('b') + "), (SELECT count(*) FROM " +
              tab('f') + "), (SELECT count(*) FROM " + except('a', 'e', text) +
              " x), (SELECT count(*) FROM " + except('e', 'a', text) +
              " x), (SELECT count(*) FROM " + except('b', 'f', plain) +
              " x), (SELECT count(*) FROM " + except('f', 'b', plain) +
              " x), (SELECT count(*) FROM " + tab('a') + " WHERE " + notMasked +
              "), (SELECT count(*) FROM " + tab('b') + " WHERE " + notMasked + ");\n";
    // A few rows of each difference, to show what went wrong.
    script += "(SELECT 'only in our TEXT', r FROM " + except('a', 'e', text) +
              " x LIMIT 3) UNION ALL (SELECT 'only in the server''s TEXT', r FROM " +
              except('e', 'a', text) +
              " x LIMIT 3) UNION ALL (SELECT 'only in our BINARY', r FROM " +
              except('b', 'f', plain) +
              " x LIMIT 3) UNION ALL (SELECT 'only in the server''s BINARY', r FROM " +
              except('f', 'b', plain) + " x LIMIT 3);\n";

    loads_.push_back({where, target.name, target.encoding, script, t.rows, {}, {}});
}

void Reload::runLoads() {
    for (const auto& [database, schemas] : schemas_) {
        std::string script;
        for (const std::string& name : schemas.names) {
            script += "CREATE SCHEMA IF NOT EXISTS " + name + ";\n";
        }
        loadingServer().psql(script, database, schemas.encoding);
    }
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < loads_.size();) {
            Load& load = loads_[i];
            try {
                load.output = loadingServer().psql(load.script, load.database, load.encoding);
            } catch (const std::exception& e) {
                load.error = e.what();
            }
        }
    };
    std::vector<std::thread> workers;
    for (int n = 0; n < kParallelLoads; ++n)
        workers.emplace_back(work);
    for (std::thread& w : workers)
        w.join();

    for (const Load& load : loads_) {
        SCOPED_TRACE(load.where);
        if (!load.error.empty()) {
            ADD_FAILURE() << load.error;
            continue;
        }
        const std::string& output = load.output;
        const size_t end = output.find('\n');
        const std::string counts = output.substr(0, end);
        const std::string rows64 = std::to_string(load.rows);
        EXPECT_EQ(counts,
                  "counts|" + rows64 + "|" + rows64 + "|" + rows64 + "|" + rows64 + "|0|0|0|0|0|0")
            << "counts|TEXT ours|TEXT server's|BINARY ours|BINARY server's|only in ours (TEXT)|"
               "only in the server's (TEXT)|... (BINARY)|... (BINARY)|masked not NULL (TEXT)|"
               "(BINARY)\n"
            << output.substr(end == std::string::npos ? output.size() : end + 1);
    }
}

TEST_P(Reload, EveryTableLoadsAsTheServersCopy) {
    const std::string label = GetParam();
    VORN_FIXTURE_OR_SKIP(manifest, label);
    if (const std::optional<std::string> missing = newestFixtureServerMissing())
        GTEST_SKIP() << *missing;
    settings_.use(manifest);
    PgServer& server = loadingServer();
    // The databases as a bootstrap lists them: the writers take their encodings from there.
    listFixtureDatabases(manifest);

    std::map<std::string, Target> targets;  // by fixture database
    const size_t tables = forEachFixtureTable(manifest, [&](const FixtureDatabase& db,
                                                            const FixtureTable& t) {
        auto [it, fresh] = targets.emplace(
            db.name, Target{"reload_" + label + "_" + db.name, loadingEncoding(manifest, db)});
        const Target& target = it->second;
        if (fresh) {
            server.psql("DROP DATABASE IF EXISTS \"" + target.name + "\";");
            server.createDatabase(target.name, target.encoding);
            // The fixture's enum (tests/fixtures/pg/sql/vorn.sql), for all_types.
            server.psql("CREATE SCHEMA reload;" +
                            std::string(db.name == "vorn"
                                            ? " CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy');"
                                            : ""),
                        target.name);
        }
        prepareTable(label, db, t, target);
    });
    EXPECT_GT(tables, 0u);
    runLoads();
    for (const auto& [unused, target] : targets) {
        server.psql("DROP DATABASE \"" + target.name + "\";");
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, Reload, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
