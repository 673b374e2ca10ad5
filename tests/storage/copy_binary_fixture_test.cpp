// The COPY binary encoders and SQL type names against real servers. Every table of the
// fixture databases vorn, vorn_latin1 and vorn_ts is unloaded, each live column's values are
// encoded into one whole PGCOPY stream (header, rows, trailer) the way the binary writers
// build it, and the stream is compared with the server's own COPY (FORMAT binary) file:
//   - byte for byte, for every table whose columns all have an encoder;
//   - row by row and field by field otherwise, with the server's field of each column
//     without an encoder replaced by NULL, which is what we must send for it. Those types:
//     jsonb (the stored tree is not the send form), inet, uuid, the enum mood and int4[].
// The system column "oid" of tables WITH OIDS is no field: the COPY files were taken
// without OIDS.
//
// The type names are compared with the format_type() text of the manifest, after spelling
// the server's SQL-standard names the way sqlTypeName does (aliases below); only the enum
// has no name.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/file_logger.h"
#include "storage/copy_binary_encode.h"
#include "storage/sql_type_name.h"
#include "storage/table.h"
#include "tests/storage/support/capturing_writer.h"
#include "tests/storage/support/copy_binary.h"
#include "tests/storage/support/copy_text.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

constexpr size_t kMismatchesShown = 5;

// The fixture's one column that has neither an encoder nor a name.
bool isFixtureEnum(const FixtureColumn& c) {
    return c.type == "mood";
}

// The whole PGCOPY stream of the captured rows, built as the binary writers build it.
// `xmlEncoding`: the encoding xml declarations name (empty for UTF8 and SQL_ASCII).
std::string encodeStream(const ColumnLayout& layout, const std::vector<CapturedRow>& rows,
                         const std::string& xmlEncoding) {
    std::vector<BinaryEncodeFn> encoders(layout.size());
    for (size_t c = 0; c < layout.size(); ++c)
        encoders[c] = binaryEncoderFor(layout[c]);
    const uint16_t fields = copyFieldCount(layout);
    CopyBinaryBuffer buffer;
    std::string stream;
    buffer.appendHeader();
    for (const CapturedRow& row : rows) {
        buffer.appendFieldCount(fields);
        for (size_t c = 0; c < layout.size(); ++c) {
            if (!isCopyField(layout[c]))
                continue;
            if (!row[c] || encoders[c] == nullptr) {
                buffer.appendNull();
                continue;
            }
            const auto* value = reinterpret_cast<const uint8_t*>(row[c]->data());
            const auto length = static_cast<uint32_t>(row[c]->size());
            const bool written = encoders[c] == encodeBinaryXml && !xmlEncoding.empty()
                                     ? encodeBinaryXmlDeclaring(value, length, xmlEncoding, buffer)
                                     : encoders[c](value, length, buffer);
            if (!written)
                buffer.appendNull();
        }
        if (buffer.full()) {  // as the writers flush: after a complete row
            stream.append(reinterpret_cast<const char*>(buffer.data()), buffer.size());
            buffer.clear();
        }
    }
    buffer.appendTrailer();
    stream.append(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    return stream;
}

class FixtureCopyBinary : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        VORN_FIXTURE_OR_SKIP(manifest, GetParam());
        unloadLog().open(logDir_.path().c_str());
        manifest_ = manifest;
        settings_.use(manifest_);
    }

    void checkTable(const FixtureDatabase& db, const FixtureTable& t);

    FixtureServerSettings settings_;
    FixtureManifest manifest_;
    TempDir logDir_;
};

void FixtureCopyBinary::checkTable(const FixtureDatabase& db, const FixtureTable& t) {
    const std::string where = GetParam() + " " + db.name + "." + t.schema + "." + t.name;
    SCOPED_TRACE(where);

    FixturePgTable fixture(db, t);
    PgTable& table = fixture.table();
    const ColumnLayout& layout = table.columns();

    CapturingWriter writer(layout);
    const UnloadResult result = table.unload(writer, nullptr);
    ASSERT_FALSE(result.failed) << writer.messages();

    const std::string xmlEncoding =
        db.encodingName == "UTF8" || db.encodingName == "SQL_ASCII" ? "" : db.encodingName;
    const std::string ours = encodeStream(layout, writer.capturedRows(), xmlEncoding);
    const std::string theirs = readFileBytes(t.copyBinary);

    // Copy field f is the f-th live column; those without an encoder must be NULL on our side.
    std::vector<bool> withoutEncoder;
    std::vector<const ColumnDef*> fieldColumns;
    for (const ColumnDef& d : layout) {
        if (!isCopyField(d))
            continue;
        fieldColumns.push_back(&d);
        withoutEncoder.push_back(binaryEncoderFor(d) == nullptr);
    }
    const bool anyWithout =
        std::find(withoutEncoder.begin(), withoutEncoder.end(), true) != withoutEncoder.end();
    if (!anyWithout && ours == theirs)
        return;

    const CopyBinaryFile want = parseCopyBinary(theirs);
    CopyBinaryFile have;
    ASSERT_NO_THROW(have = parseCopyBinary(ours));
    ASSERT_EQ(have.rows.size(), want.rows.size()) << "rows";
    size_t mismatches = 0;
    for (size_t r = 0; r < want.rows.size() && mismatches < kMismatchesShown; ++r) {
        ASSERT_EQ(want.rows[r].size(), fieldColumns.size()) << "server fields of row " << r;
        ASSERT_EQ(have.rows[r].size(), fieldColumns.size()) << "our fields of row " << r;
        for (size_t f = 0; f < fieldColumns.size(); ++f) {
            const std::optional<std::string> expected =
                withoutEncoder[f] ? std::nullopt : want.rows[r][f];
            if (have.rows[r][f] != expected && mismatches++ < kMismatchesShown) {
                ADD_FAILURE() << "row " << r << " column " << fieldColumns[f]->name() << " (type "
                              << fieldColumns[f]->atttypid << "): server "
                              << hexPrefix(want.rows[r][f]) << ", ours "
                              << hexPrefix(have.rows[r][f]);
            }
        }
    }
    if (!anyWithout) {
        EXPECT_EQ(ours, theirs) << "same fields, different stream bytes";
    }
}

TEST_P(FixtureCopyBinary, EveryTableEncodesAsTheServersBinaryCopy) {
    const size_t checked = forEachFixtureTable(
        manifest_, [&](const FixtureDatabase& db, const FixtureTable& t) { checkTable(db, t); });
    EXPECT_GT(checked, 40u);
}

// format_type() spells a few names the SQL-standard way; sqlTypeName uses the short ones.
std::string shortSpelling(std::string name) {
    std::string array;  // an array type: its element's name, then "[]"
    while (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) {
        array += "[]";
        name.resize(name.size() - 2);
    }
    const auto replacePrefix = [&](const std::string& from, const std::string& to) {
        if (name.compare(0, from.size(), from) == 0)
            name = to + name.substr(from.size());
    };
    replacePrefix("character varying", "varchar");
    replacePrefix("character", "char");
    replacePrefix("bit varying", "varbit");
    const std::string without = " without time zone";
    if (name.size() > without.size() &&
        name.compare(name.size() - without.size(), without.size(), without) == 0)
        name.resize(name.size() - without.size());
    return name + array;
}

TEST_P(FixtureCopyBinary, TypeNamesMatchFormatType) {
    std::set<std::string> seen;
    forEachFixtureTable(manifest_, [&](const FixtureDatabase&, const FixtureTable& t) {
        for (const FixtureColumn& c : t.columns) {
            if (c.dropped)
                continue;
            ColumnDef column;
            column.atttypid = c.typeOid;
            column.atttypmod = c.typmod;
            const std::string name = sqlTypeName(column);
            seen.insert(c.type);
            if (name.empty()) {
                EXPECT_TRUE(isFixtureEnum(c))
                    << t.name << "." << c.name << ": no name for " << c.type;
                continue;
            }
            EXPECT_EQ(name, shortSpelling(c.type))
                << t.name << "." << c.name << " typmod " << c.typmod;
        }
    });
    EXPECT_GT(seen.size(), 30u);  // the fixtures' types, not a few by accident
}

INSTANTIATE_TEST_SUITE_P(Builds, FixtureCopyBinary, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
