// The writers against the servers themselves: every table of the fixture databases vorn,
// vorn_latin1 and vorn_ts is unloaded through CopyTextWriter and CopyBinaryWriter into an
// export directory, and each file is compared with the server's own COPY of the table
// (text: DELIMITER '|', NULL ''; binary: FORMAT binary).
//
// A table none of whose columns is listed below must come out byte for byte as the
// server's file. The others are compared row by row and field by field, every field exactly
// except these known differences:
//   - text, columns without a text output (jsonb, uuid, inet, the enum mood, int4[]): our
//     field is empty where the server printed the value;
//   - text, money: the server prints its lc_monetary form ("-$1,234.56"); ours must be the
//     same after taking out "$" and ",";
//   - text, float4 and float8 on servers before 12: taken with extra_float_digits 3; both
//     texts must read back to the same bits;
//   - binary, columns without an encoder (jsonb among them): our field is NULL.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/file_logger.h"
#include "export/copy_binary_writer.h"
#include "export/copy_text_writer.h"
#include "export/export_settings.h"
#include "export/file_names.h"
#include "storage/copy_binary_encode.h"
#include "storage/value_text.h"
#include "tests/storage/support/copy_binary.h"
#include "tests/storage/support/copy_text.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

constexpr size_t kMismatchesShown = 5;  // per table
constexpr int kShortestFloatsFromMajor = 12;

// How one field of the text file is compared.
enum class TextRule { exact, emptyOnOurSide, money, float4, float8 };

class FixtureExport : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        VORN_FIXTURE_OR_SKIP(manifest, GetParam());
        manifest_ = manifest;
        settings_.use(manifest_);
        exportDirectory = dir_.path();
        textDelimiter = '|';
        unloadLog().open(dir_.path().c_str());
        resetTableFileNames();
        shortestFloats_ = manifest_.server.major >= kShortestFloatsFromMajor;
    }
    void TearDown() override {
        exportDirectory = savedDirectory_;
        textDelimiter = savedDelimiter_;
        resetTableFileNames();
    }

    void checkText(const FixtureDatabase& db, const FixtureTable& t);
    void checkBinary(const FixtureDatabase& db, const FixtureTable& t);

    FixtureManifest manifest_;
    FixtureServerSettings settings_;
    TempDir dir_;
    // Saved before SetUp(), which may skip, for TearDown() to put back.
    std::string savedDirectory_ = exportDirectory;
    char savedDelimiter_ = textDelimiter;
    bool shortestFloats_ = true;
    size_t wholeFiles_ = 0;  // tables compared as whole files
};

// Unloads the table through `writer` and returns the file it wrote.
template <typename Writer>
std::string unloadThrough(PgTable& table, Writer& writer) {
    testing::internal::CaptureStdout();  // the warnings of columns without output
    const UnloadResult result = table.unload(writer, nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(result.failed) << writer.messages();
    EXPECT_EQ(result.damage.total(), 0u) << result.damage.summary();
    return readFileBytes(writer.filePath());
}

void FixtureExport::checkText(const FixtureDatabase& db, const FixtureTable& t) {
    const std::string where = GetParam() + " " + db.name + "." + t.schema + "." + t.name;
    SCOPED_TRACE(where + " (text)");
    FixturePgTable fixture(db, t);
    PgTable& table = fixture.table();
    const ColumnLayout& layout = table.columns();
    CopyTextWriter writer(&layout, table.schemaName(), table.name(), "", table.oid());
    const std::string ours = unloadThrough(table, writer);
    const std::string theirs = readFileBytes(t.copyText);

    std::vector<TextRule> rules;
    bool anyDifference = false;
    for (size_t c : copyFieldColumns(layout)) {
        TextRule rule = TextRule::exact;
        if (textOutputFor(layout[c]) == nullptr)
            rule = TextRule::emptyOnOurSide;
        else if (layout[c].atttypid == typeoid::kMoney)
            rule = TextRule::money;
        else if (!shortestFloats_ && layout[c].atttypid == typeoid::kFloat4)
            rule = TextRule::float4;
        else if (!shortestFloats_ && layout[c].atttypid == typeoid::kFloat8)
            rule = TextRule::float8;
        anyDifference = anyDifference || rule != TextRule::exact;
        rules.push_back(rule);
    }
    if (!anyDifference) {
        ++wholeFiles_;
        EXPECT_TRUE(ours == theirs) << "text files differ: ours " << ours.size()
                                    << " bytes, the server's " << theirs.size();
        if (ours == theirs)
            return;
    }

    const std::vector<CopyTextRow> want = parseCopyText(theirs);
    std::vector<CopyTextRow> have;
    ASSERT_NO_THROW(have = parseCopyText(ours));
    ASSERT_EQ(have.size(), want.size()) << "rows";
    size_t mismatches = 0;
    for (size_t r = 0; r < want.size() && mismatches < kMismatchesShown; ++r) {
        ASSERT_EQ(want[r].size(), rules.size()) << "server fields of row " << r;
        ASSERT_EQ(have[r].size(), rules.size()) << "our fields of row " << r;
        for (size_t f = 0; f < rules.size(); ++f) {
            const std::string& w = want[r][f];
            const std::string& h = have[r][f];
            bool same = false;
            switch (rules[f]) {
                case TextRule::exact:
                    same = h == w;
                    break;
                case TextRule::emptyOnOurSide:
                    same = h.empty();
                    break;
                case TextRule::money:
                    same = h == plainMoney(w);
                    break;
                case TextRule::float4:
                    same = sameFloat<float>(w, h);
                    break;
                case TextRule::float8:
                    same = sameFloat<double>(w, h);
                    break;
            }
            if (!same && mismatches++ < kMismatchesShown)
                ADD_FAILURE() << "row " << r << " field " << f << ": server \"" << w
                              << "\", ours \"" << h << "\"";
        }
    }
}

void FixtureExport::checkBinary(const FixtureDatabase& db, const FixtureTable& t) {
    const std::string where = GetParam() + " " + db.name + "." + t.schema + "." + t.name;
    SCOPED_TRACE(where + " (binary)");
    FixturePgTable fixture(db, t);
    PgTable& table = fixture.table();
    const ColumnLayout& layout = table.columns();
    CopyBinaryWriter writer(&layout, table.schemaName(), table.name(), "", table.oid());
    writer.setClientEncoding(db.encodingName);  // as the writer factory sets it
    const std::string ours = unloadThrough(table, writer);
    const std::string theirs = readFileBytes(t.copyBinary);

    std::vector<bool> sentAsNull;
    bool anyDifference = false;
    for (size_t c : copyFieldColumns(layout)) {
        sentAsNull.push_back(binaryEncoderFor(layout[c]) == nullptr);
        anyDifference = anyDifference || sentAsNull.back();
    }
    if (!anyDifference) {
        ++wholeFiles_;
        EXPECT_TRUE(ours == theirs) << "binary files differ: ours " << ours.size()
                                    << " bytes, the server's " << theirs.size();
        if (ours == theirs)
            return;
    }

    const CopyBinaryFile want = parseCopyBinary(theirs);
    CopyBinaryFile have;
    ASSERT_NO_THROW(have = parseCopyBinary(ours));
    ASSERT_EQ(have.rows.size(), want.rows.size()) << "rows";
    size_t mismatches = 0;
    for (size_t r = 0; r < want.rows.size() && mismatches < kMismatchesShown; ++r) {
        ASSERT_EQ(want.rows[r].size(), sentAsNull.size()) << "server fields of row " << r;
        ASSERT_EQ(have.rows[r].size(), sentAsNull.size()) << "our fields of row " << r;
        for (size_t f = 0; f < sentAsNull.size(); ++f) {
            const std::optional<std::string> expected =
                sentAsNull[f] ? std::nullopt : want.rows[r][f];
            if (have.rows[r][f] != expected && mismatches++ < kMismatchesShown)
                ADD_FAILURE() << "row " << r << " field " << f << ": server "
                              << hexPrefix(want.rows[r][f]) << ", ours "
                              << hexPrefix(have.rows[r][f]);
        }
    }
}

TEST_P(FixtureExport, TextFilesAreTheServersCopyText) {
    const size_t tables = forEachFixtureTable(
        manifest_, [&](const FixtureDatabase& db, const FixtureTable& t) { checkText(db, t); });
    EXPECT_GT(tables, 40u);
    EXPECT_GT(wholeFiles_, tables / 2) << "most tables compare as whole files";
}

TEST_P(FixtureExport, BinaryFilesAreTheServersCopyBinary) {
    const size_t tables = forEachFixtureTable(
        manifest_, [&](const FixtureDatabase& db, const FixtureTable& t) { checkBinary(db, t); });
    EXPECT_GT(tables, 40u);
    EXPECT_GT(wholeFiles_, tables / 2) << "most tables compare as whole files";
}

INSTANTIATE_TEST_SUITE_P(Builds, FixtureExport, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
