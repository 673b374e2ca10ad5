// The CREATE TABLE text against a real server: the statement written for every fixture
// table runs and declares the columns the original server had (format_type of each column,
// in order).

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "export/create_table_ddl.h"
#include "storage/sql_type_name.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/pg_server.h"

namespace vorn::test {
namespace {

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Every fixture table's statement, run in a fresh database per fixture database, must give
// the column names and format_type() the original server had. Tables with a column of a type
// without a name get no statement; they are counted, and must be the ones the manifest says.
class CreateTableDdlReal : public ::testing::TestWithParam<std::string> {};

TEST_P(CreateTableDdlReal, RunsAndDeclaresTheOriginalTypes) {
    const std::string label = GetParam();
    VORN_FIXTURE_OR_SKIP(manifest, label);
    PgServer& server = PgServer::shared();

    struct Pending {
        const FixtureTable* table;
        std::string key;  // hex of the UTF-8 schema and table name, as the query below gives
    };
    std::map<std::string, std::string> scripts;  // fixture database -> script
    std::map<std::string, std::vector<Pending>> pending;
    std::map<std::string, const FixtureDatabase*> databases;
    std::vector<std::string> skipped;
    forEachFixtureTable(manifest, [&](const FixtureDatabase& db, const FixtureTable& t) {
        std::string unnamed;
        const std::string ddl = buildCreateTableDdl(t.schema, bytesFromHex(t.nameHex),
                                                    fixtureLayout(t), true, &unnamed);
        bool hasUnnamed = false;
        for (const FixtureColumn* c : t.liveColumns()) {
            ColumnDef d;
            d.atttypid = c->typeOid;
            d.atttypmod = c->typmod;
            hasUnnamed = hasUnnamed || sqlTypeName(d).empty();
        }
        EXPECT_EQ(ddl.empty(), hasUnnamed) << t.schema << "." << t.name;
        if (ddl.empty()) {
            EXPECT_FALSE(unnamed.empty());
            skipped.push_back(db.name + "." + t.schema + "." + t.name + ": " + unnamed);
            return;
        }
        databases[db.name] = &db;
        scripts[db.name] +=
            "CREATE SCHEMA IF NOT EXISTS " + quoteIdentifier(t.schema) + ";\n" + ddl + ";\n";
        pending[db.name].push_back({&t, hex(t.schema) + "|" + hex(t.name)});
    });
    for (const std::string& s : skipped)
        std::cout << "  no CREATE TABLE: " << s << "\n";

    for (const auto& [dbName, script] : scripts) {
        const FixtureDatabase& db = *databases[dbName];
        const std::string target = "ddl_" + label + "_" + dbName;
        server.psql("DROP DATABASE IF EXISTS \"" + target + "\";");
        server.createDatabase(target, db.encodingName);
        server.psql(script, target, db.encodingName);
        const std::string listing = server.psql(
            "SELECT encode(convert_to(n.nspname, 'UTF8'), 'hex') || '|' ||"
            "       encode(convert_to(c.relname, 'UTF8'), 'hex'),"
            "       encode(convert_to(a.attname, 'UTF8'), 'hex'),"
            "       format_type(a.atttypid, a.atttypmod)"
            " FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid"
            " JOIN pg_namespace n ON n.oid = c.relnamespace"
            " WHERE c.relkind = 'r' AND a.attnum > 0 AND NOT a.attisdropped"
            "   AND n.nspname NOT IN ('pg_catalog', 'information_schema')"
            " ORDER BY c.oid, a.attnum;",
            target, "UTF8");
        std::map<std::string, std::vector<std::pair<std::string, std::string>>> created;
        for (const std::string& line : splitLines(listing)) {
            // schema|table|name|type; the type may hold '|' no more than names do (hex).
            size_t p1 = line.find('|'), p2 = line.find('|', p1 + 1), p3 = line.find('|', p2 + 1);
            ASSERT_NE(p3, std::string::npos) << line;
            created[line.substr(0, p2)].emplace_back(line.substr(p2 + 1, p3 - p2 - 1),
                                                     line.substr(p3 + 1));
        }
        for (const Pending& p : pending[dbName]) {
            SCOPED_TRACE(label + " " + dbName + "." + p.table->schema + "." + p.table->name);
            std::vector<std::pair<std::string, std::string>> expected;
            for (const FixtureColumn* c : p.table->liveColumns()) {
                expected.emplace_back(hex(c->name), c->type);
            }
            EXPECT_EQ(created[p.key], expected);
        }
        server.psql("DROP DATABASE \"" + target + "\";");
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, CreateTableDdlReal, ::testing::Values("deb15", "pg17"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vorn::test
