// The whole engine against real PostgreSQL data directories: every table of the fixture
// databases vorn, vorn_latin1 and vorn_ts is unloaded with the layout its manifest gives and
// compared, row by row and field by field, with the server's own binary COPY of it.
//
// What is compared, per row and live column:
//   - NULL-ness, for every type in the byte comparison below and for jsonb;
//   - the bytes, after converting what the reader stored to the server's send form
//     (storedToSend), for bool, "char", name, int2, int4, int8, oid, xid, float4, float8,
//     money, date, time, timetz, timestamp, timestamptz, interval, numeric, bit, varbit,
//     bytea, text, varchar, bpchar, json, xml and uuid.
// Not compared at all: jsonb's bytes (stored in its binary tree form, sent as text), and the
// types the engine has no decoder for: inet, the enum mood and int4[] (all_types), whose
// values the readers step over.
// The system column "oid" of tables WITH OIDS (before version 12) is read but not compared:
// the COPY files were taken without OIDS.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/file_logger.h"
#include "storage/table.h"
#include "tests/storage/support/capturing_writer.h"
#include "tests/storage/support/copy_binary.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

constexpr size_t kMismatchesShown = 5;  // per table, so one bug does not flood the output

// The encoding an xml declaration of the database's binary COPY names (its client encoding
// is the database's): none for UTF8 and SQL_ASCII.
std::string xmlEncodingOf(const FixtureDatabase& db) {
    return db.encodingName == "UTF8" || db.encodingName == "SQL_ASCII" ? "" : db.encodingName;
}

// The unload log's lines about one table, to show with its damage.
std::string logLinesOf(const std::string& log, uint32_t oid) {
    const std::string tag = "[obj#: " + std::to_string(oid) + "]";
    std::istringstream in(log);
    std::string line, out;
    while (std::getline(in, line))
        if (line.find(tag) != std::string::npos)
            out += "\n    " + line;
    return out;
}

class FixtureUnload : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override { unloadLog().open(logDir_.path().c_str()); }

    void checkTable(const std::string& label, const FixtureDatabase& db, const FixtureTable& t);

    FixtureServerSettings settings_;
    TempDir logDir_;
};

void FixtureUnload::checkTable(const std::string& label, const FixtureDatabase& db,
                               const FixtureTable& t) {
    const std::string where = label + " " + db.name + "." + t.schema + "." + t.name;
    SCOPED_TRACE(where);

    FixturePgTable fixture(db, t);
    PgTable& table = fixture.table();

    CapturingWriter writer(table.columns());
    const UnloadResult result = table.unload(writer, nullptr);
    EXPECT_FALSE(result.failed) << writer.messages();
    EXPECT_EQ(result.damage.total(), 0u)
        << result.damage.summary() << logLinesOf(logDir_.readFile("unload_table.log"), t.oid);

    const CopyBinaryFile expected = readCopyBinaryFile(t.copyBinary);
    const std::vector<CapturedRow>& got = writer.capturedRows();
    EXPECT_EQ(got.size(), expected.rows.size()) << "rows";
    EXPECT_EQ(result.rows, got.size());

    // Copy field f is the f-th live column; its place in the layout after the oid column.
    struct Compared {
        size_t field;
        size_t column;
        const FixtureColumn* def;
    };
    std::vector<Compared> compared;
    size_t field = 0;
    for (size_t c = 0; c < table.columns().size(); ++c) {
        const ColumnDef& d = table.columns()[c];
        if (d.attnum < 1 || d.isDropped() || d.attgenerated != 0)
            continue;
        const FixtureColumn* def = nullptr;
        for (const FixtureColumn& fc : t.columns)
            if (fc.attnum == d.attnum)
                def = &fc;
        ASSERT_NE(def, nullptr) << "attnum " << d.attnum;
        compared.push_back({field++, c, def});
    }

    size_t mismatches = 0;
    const size_t rows = std::min(got.size(), expected.rows.size());
    for (size_t r = 0; r < rows && mismatches < kMismatchesShown; ++r) {
        ASSERT_EQ(expected.rows[r].size(), compared.size()) << "fields of COPY row " << r;
        for (const Compared& c : compared) {
            const std::optional<std::string>& want = expected.rows[r][c.field];
            const std::optional<std::string>& have = got[r][c.column];
            const bool bytesCompared = storedToSend(c.def->typeOid, "").has_value();
            if (!bytesCompared && c.def->typeOid != typeoid::kJsonb)
                continue;
            std::optional<std::string> sent;
            if (have)
                sent =
                    bytesCompared ? storedToSend(c.def->typeOid, *have, xmlEncodingOf(db)) : have;
            const bool same =
                want.has_value() == sent.has_value() && (!bytesCompared || !want || *want == *sent);
            if (!same && mismatches++ < kMismatchesShown) {
                ADD_FAILURE() << where << " row " << r << " column " << c.def->name << " ("
                              << c.def->type << "): expected " << hexPrefix(want) << ", got "
                              << hexPrefix(sent) << " (stored " << hexPrefix(have) << ")";
            }
        }
    }
}

TEST_P(FixtureUnload, EveryTableComesOutAsTheServersCopy) {
    const std::string label = GetParam();
    VORN_FIXTURE_OR_SKIP(manifest, label);
    settings_.use(manifest);

    const size_t tables = forEachFixtureTable(
        manifest,
        [&](const FixtureDatabase& db, const FixtureTable& t) { checkTable(label, db, t); });
    EXPECT_GT(tables, 40u);
}

INSTANTIATE_TEST_SUITE_P(Builds, FixtureUnload, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
