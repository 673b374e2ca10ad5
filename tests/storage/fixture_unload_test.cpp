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

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/file_logger.h"
#include "storage/storage_settings.h"
#include "storage/table.h"
#include "tests/storage/support/capturing_writer.h"
#include "tests/storage/support/copy_binary.h"
#include "tests/support/fixture_manifest.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

const char* const kDatabases[] = {"vorn", "vorn_latin1", "vorn_ts"};
constexpr size_t kMismatchesShown = 5;  // per table, so one bug does not flood the output

std::string hexPrefix(const std::optional<std::string>& value) {
    if (!value)
        return "NULL";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const size_t n = std::min<size_t>(value->size(), 32);
    for (size_t i = 0; i < n; ++i) {
        out += digits[uint8_t((*value)[i]) >> 4];
        out += digits[uint8_t((*value)[i]) & 15];
    }
    if (value->size() > n)
        out += "...";
    return out + " (" + std::to_string(value->size()) + " bytes)";
}

std::string fromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// attmissingval as text ("{42}", "{dflt}", "{\"a b\"}") in the stored form the readers
// would have produced, for the types the fixtures add columns of.
std::string missingValueBytes(const FixtureColumn& column) {
    std::string text = column.missingValue.value_or("");
    if (text.size() < 2 || text.front() != '{' || text.back() != '}')
        throw std::runtime_error("missing value of " + column.name + " is not an array: " + text);
    text = text.substr(1, text.size() - 2);
    if (!text.empty() && text.front() == '"') {
        std::string unquoted;
        for (size_t i = 1; i + 1 < text.size(); ++i) {
            if (text[i] == '\\' && i + 2 < text.size())
                ++i;
            unquoted += text[i];
        }
        text = unquoted;
    }
    switch (column.typeOid) {
        case typeoid::kInt4: {
            const int32_t v = std::stoi(text);
            std::string bytes(4, '\0');
            std::memcpy(bytes.data(), &v, 4);
            return bytes;
        }
        case typeoid::kText:
            return text;
        default:
            throw std::runtime_error("no stored form for the missing value of " + column.name);
    }
}

ColumnLayout layoutOf(const FixtureTable& t) {
    ColumnLayout layout;
    if (t.hasOids) {
        ColumnDef oid;
        oid.attnum = -2;
        oid.setName("oid");
        oid.atttypid = typeoid::kOid;
        oid.attlen = 4;
        oid.attalign = 'i';
        oid.attbyval = true;
        oid.nullable = false;
        layout.push_back(oid);
    }
    for (const FixtureColumn& c : t.columns) {
        ColumnDef d;
        d.attnum = static_cast<int16_t>(c.attnum);
        d.setName(fromHex(c.nameHex));
        d.atttypid = c.dropped ? 0 : c.typeOid;
        d.atttypmod = c.typmod;
        d.attlen = c.len;
        d.attalign = c.align;
        d.attbyval = c.byval;
        if (c.hasMissing && !c.dropped) {
            d.hasMissing = true;
            d.missingValue = missingValueBytes(c);
        }
        layout.push_back(d);
    }
    return layout;
}

void describe(PgClass& rel, const FixtureDatabase& db, uint32_t oid, uint32_t fileNode,
              uint32_t tablespace) {
    rel.dboid = db.oid;
    rel.oid = oid;
    rel.relfilenode = fileNode;
    rel.reltablespace = tablespace;
    rel.dbTablespace = db.tablespace;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
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
    void SetUp() override {
        savedDirectory_ = dataDirectory;
        savedBlockSize_ = blockSize;
        savedVersion_ = serverVersion;
        unloadLog().open((logDir_.path()).c_str());
    }
    void TearDown() override {
        dataDirectory = savedDirectory_;
        blockSize = savedBlockSize_;
        serverVersion = savedVersion_;
    }

    void checkTable(const std::string& label, const FixtureDatabase& db, const FixtureTable& t);

    TempDir logDir_;

  private:
    std::string savedDirectory_;
    uint16_t savedBlockSize_ = 8192;
    ServerVersion savedVersion_;
};

void FixtureUnload::checkTable(const std::string& label, const FixtureDatabase& db,
                               const FixtureTable& t) {
    const std::string where = label + " " + db.name + "." + t.schema + "." + t.name;
    SCOPED_TRACE(where);

    PgToastTable toast;
    PgTable table;
    describe(table, db, t.oid, t.relfilenode, t.tablespace);
    table.setRelname(fromHex(t.nameHex));
    table.relkind = 'r';
    table.schemaNameOverride = t.schema;
    if (t.toast) {
        describe(toast, db, t.toast->oid, t.toast->relfilenode, t.tablespace);
        toast.relkind = 't';
        table.reltoastrelid = t.toast->oid;
        table.toast = &toast;
    }
    const ColumnLayout layout = layoutOf(t);
    table.setColumns(layout);
    table.relnatts = static_cast<int16_t>(t.columns.size());

    CapturingWriter writer(table.columns());
    const UnloadResult result = table.unload(writer, nullptr);
    EXPECT_FALSE(result.failed) << writer.messages();
    EXPECT_EQ(result.damage.total(), 0u)
        << result.damage.summary()
        << logLinesOf(readText(logDir_.path() + "/unload_table.log"), t.oid);

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
        if (d.attnum < 1 || d.isDropped())
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
                sent = bytesCompared ? storedToSend(c.def->typeOid, *have) : have;
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
    const FixtureManifest manifest = loadFixture(label);
    dataDirectory = manifest.dataDir;
    blockSize = static_cast<uint16_t>(manifest.server.blockSize);
    serverVersion = {static_cast<int16_t>(manifest.server.major),
                     static_cast<int16_t>(manifest.server.minor)};

    size_t tables = 0;
    for (const char* name : kDatabases) {
        const FixtureDatabase* db = manifest.findDatabase(name);
        ASSERT_NE(db, nullptr) << name;
        for (const FixtureTable& t : db->tables) {
            // A partitioned parent has no file: its rows are its partitions'.
            if (t.relkind != 'r')
                continue;
            checkTable(label, *db, t);
            ++tables;
        }
    }
    EXPECT_GT(tables, 40u);
}

INSTANTIATE_TEST_SUITE_P(Builds, FixtureUnload, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
