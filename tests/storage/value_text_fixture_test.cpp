// The text outputs against the servers themselves: every table of the fixture databases
// vorn, vorn_latin1 and vorn_ts is unloaded, each non-NULL value whose type has a text output
// is rendered, and the text is compared with the field of the same row and column in the
// server's own text COPY (taken with TimeZone UTC, DateStyle ISO, IntervalStyle postgres,
// bytea_output hex, the database's encoding as client encoding). A NULL on our side must be
// an empty field there.
//
// Compared byte for byte: every type with an output, except
//   - money: the server prints it with its lc_monetary ("$1,234.56", "-$0.01"); compared
//     after taking out "$" and ",";
//   - float4 and float8 on servers before 12: taken with extra_float_digits 3, so not the
//     shortest digits; both texts are read back and compared as bit patterns (NaN = NaN).
// Not compared: the types without a text output, whose fields stay empty in our COPY text:
// jsonb, uuid, inet, the enum mood and int4[] (all_types).
// The system column "oid" of tables WITH OIDS is not in the COPY files.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/file_logger.h"
#include "storage/value_text.h"
#include "tests/storage/support/capturing_writer.h"
#include "tests/storage/support/copy_text.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

constexpr size_t kMismatchesShown = 5;  // per table, so one bug does not flood the output
// Before this version the fixtures' floats carry extra_float_digits 3.
constexpr int kShortestFloatsFromMajor = 12;

std::string shown(const std::string& text) {
    std::string out;
    for (unsigned char c : text.substr(0, 80)) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return "\"" + out + (text.size() > 80 ? "...\"" : "\"");
}

class FixtureValueText : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override { unloadLog().open(logDir_.path().c_str()); }

    void checkTable(const std::string& label, const FixtureDatabase& db, const FixtureTable& t);

    FixtureServerSettings settings_;
    bool shortestFloats_ = true;
    std::map<uint32_t, size_t> comparedByType_;

  private:
    TempDir logDir_;
};

void FixtureValueText::checkTable(const std::string& label, const FixtureDatabase& db,
                                  const FixtureTable& t) {
    const std::string where = label + " " + db.name + "." + t.schema + "." + t.name;
    SCOPED_TRACE(where);

    FixturePgTable fixture(db, t);
    PgTable& table = fixture.table();
    CapturingWriter writer(table.columns());
    const UnloadResult result = table.unload(writer, nullptr);
    ASSERT_FALSE(result.failed) << writer.messages();

    const std::vector<CopyTextRow> expected = readCopyTextFile(t.copyText);
    const std::vector<CapturedRow>& got = writer.capturedRows();
    ASSERT_EQ(got.size(), expected.size()) << "rows";

    const ColumnLayout& layout = table.columns();
    const std::vector<size_t> fields = copyFieldColumns(layout);
    std::vector<TextOutputFn> outputs;
    for (size_t c : fields)
        outputs.push_back(textOutputFor(layout[c]));

    TextBuffer out;
    size_t mismatches = 0;
    for (size_t r = 0; r < got.size(); ++r) {
        ASSERT_EQ(expected[r].size(), fields.size()) << "fields of COPY row " << r;
        for (size_t f = 0; f < fields.size(); ++f) {
            const ColumnDef& column = layout[fields[f]];
            const std::string& want = expected[r][f];
            const std::optional<std::string>& have = got[r][fields[f]];
            if (outputs[f] == nullptr)
                continue;
            std::string text;
            bool decoded = true;
            bool same;
            if (!have) {
                same = want.empty();
            } else {
                out.clear();
                decoded = outputs[f](reinterpret_cast<const uint8_t*>(have->data()),
                                     static_cast<uint32_t>(have->size()), column, out);
                text = std::string(out.view());
                switch (column.atttypid) {
                    case typeoid::kMoney:
                        same = plainMoney(want) == text;
                        break;
                    case typeoid::kFloat4:
                        same = shortestFloats_ ? want == text : sameFloat<float>(want, text);
                        break;
                    case typeoid::kFloat8:
                        same = shortestFloats_ ? want == text : sameFloat<double>(want, text);
                        break;
                    default:
                        same = want == text;
                }
            }
            same = same && decoded;
            ++comparedByType_[column.atttypid];
            if (!same && mismatches++ < kMismatchesShown) {
                ADD_FAILURE() << where << " row " << r << " column " << column.name() << " (type "
                              << column.atttypid << "): server " << shown(want) << ", ours "
                              << (!have      ? "NULL"
                                  : !decoded ? "cannot be decoded"
                                             : shown(text));
            }
        }
    }
}

TEST_P(FixtureValueText, EveryValueReadsAsTheServersText) {
    const std::string label = GetParam();
    VORN_FIXTURE_OR_SKIP(manifest, label);
    settings_.use(manifest);
    shortestFloats_ = manifest.server.major >= kShortestFloatsFromMajor;

    const size_t tables = forEachFixtureTable(
        manifest,
        [&](const FixtureDatabase& db, const FixtureTable& t) { checkTable(label, db, t); });
    EXPECT_GT(tables, 40u);
    // Every type with an output that the fixtures hold was compared somewhere.
    using namespace typeoid;
    for (uint32_t type :
         {kBool,   kChar,   kName,  kInt2, kInt4,    kInt8,      kOid,         kXid,      kFloat4,
          kFloat8, kMoney,  kDate,  kTime, kTimeTz,  kTimestamp, kTimestampTz, kInterval, kNumeric,
          kBit,    kVarbit, kBytea, kText, kVarchar, kBpchar,    kJson,        kXml})
        EXPECT_GT(comparedByType_[type], 0u) << "no value of type " << type << " compared";
}

INSTANTIATE_TEST_SUITE_P(Builds, FixtureValueText, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
