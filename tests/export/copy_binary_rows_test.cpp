// The binary row loop writes the common kinds inline rather than through their encoders;
// for every type of the type table, each stored value must come out of the loop as the
// type's encoder alone sends it (NULL where the encoder refuses it), with the refusals
// counted.

#include "export/copy_binary_rows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/type_table.h"
#include "tests/export/export_test_env.h"

namespace vorn::test {
namespace {

std::string le(uint64_t v, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += static_cast<char>(v >> (8 * i));
    return out;
}

// Stored values of every length a slot or string could hold: well-formed and damaged,
// the extremes of the integer forms and dates and times outside the server's ranges.
std::vector<std::string> probeValues(size_t room) {
    std::vector<std::string> values = {"", "t", "f", std::string(1, '\0'), "ab"};
    for (const size_t n : {1, 2, 3, 4, 5, 6, 8, 12, 16, 63, 64}) {
        values.push_back(std::string(n, '\0'));
        values.push_back(std::string(n, '\xff'));
        std::string counting;
        for (size_t i = 0; i < n; ++i)
            counting += static_cast<char>(i * 37 + 1);
        values.push_back(counting);
    }
    for (const uint64_t v : {uint64_t(INT32_MIN), uint64_t(INT32_MAX), uint64_t(-2451546),
                             uint64_t(2147483494 - 2451545)})
        values.push_back(le(v, 4));
    for (const uint64_t v :
         {uint64_t(INT64_MIN), uint64_t(INT64_MAX), uint64_t(-211813488000000001),
          uint64_t(9223371331200000000), uint64_t(86400000001), uint64_t(1) << 32})
        values.push_back(le(v, 8));
    values.push_back(le(3, 4) + "\xa0");                           // varbit of 3 bits
    values.push_back(le(9, 4) + "\xff");                           // a bit count beyond the bytes
    values.push_back(std::string("\x80\x80\x01\x00\x88\x13", 6));  // numeric 1.5
    values.push_back(std::string("\x80\x80\x01\x00\x10\x27", 6));  // a digit above 9999
    values.push_back("<?xml version=\"1.0\"?><a/>");
    std::vector<std::string> fitting;
    for (const std::string& v : values)
        if (v.size() <= room)
            fitting.push_back(v);
    return fitting;
}

TEST(CopyBinaryRows, EveryKindSendsWhatItsEncoderSends) {
    size_t typesChecked = 0;
    for (const TypeInfo& type : typeTable()) {
        if (type.binary.encoder == nullptr)
            continue;
        SCOPED_TRACE("type " + std::to_string(type.oid));
        ColumnLayout layout = {column(1, "v", type.oid)};
        ColumnBatch batch = makeColumnBatch(layout);
        const std::vector<std::string> values =
            probeValues(batch[0].byRef ? SIZE_MAX : size_t(batch[0].stride));
        ASSERT_LE(values.size(), kBatchRows);
        for (size_t row = 0; row < values.size(); ++row)
            setValue(batch[0], static_cast<uint32_t>(row), values[row]);

        CopyBinaryRows rows;
        rows.plan(layout, "t");
        ASSERT_TRUE(rows.bind(batch));
        CopyBinaryBuffer loop;
        ASSERT_EQ(rows.encode(0, static_cast<uint32_t>(values.size()), loop), values.size());

        CopyBinaryBuffer alone;
        uint64_t refused = 0;
        for (const std::string& value : values) {
            alone.appendFieldCount(1);
            if (!type.binary.encoder(reinterpret_cast<const uint8_t*>(value.data()),
                                     static_cast<uint32_t>(value.size()), alone)) {
                alone.appendNull();
                ++refused;
            }
        }
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(loop.data()), loop.size()),
                  std::string(reinterpret_cast<const char*>(alone.data()), alone.size()));
        ASSERT_EQ(rows.refusedValues().size(), 1u);
        EXPECT_EQ(rows.refusedValues()[0].second, refused);
        freeColumnBatch(batch);
        ++typesChecked;
    }
    EXPECT_GT(typesChecked, 30u);  // the decoded types, not a few by accident
}

// xml of a database in an encoding other than UTF8 and SQL_ASCII names it in a declaration
// (what the server sends such a client, and what the receiving server needs to read the
// bytes); the other columns of the row are as in a UTF8 database.
TEST(CopyBinaryRows, XmlOfADatabaseInAnotherEncodingNamesIt) {
    const ColumnLayout layout = {column(1, "id", typeoid::kInt4), column(2, "x", typeoid::kXml),
                                 column(3, "t", typeoid::kText)};
    ColumnBatch batch = makeColumnBatch(layout);
    setValue(batch[0], 0, le(7, 4));
    setValue(batch[1], 0, "<a>caf\xe9</a>");
    setValue(batch[2], 0, "<a/>");
    const auto encoded = [&](const std::string& encoding) {
        CopyBinaryRows rows;
        rows.plan(layout, "t", encoding);
        EXPECT_TRUE(rows.bind(batch));
        CopyBinaryBuffer out;
        EXPECT_EQ(rows.encode(0, 1, out), 1u);
        return std::string(reinterpret_cast<const char*>(out.data()), out.size());
    };
    const auto field = [](const std::string& body) {
        return std::string("\0\0\0", 3) + static_cast<char>(body.size()) + body;
    };
    const std::string head = std::string("\0\3", 2) + field(std::string("\0\0\0\7", 4));
    EXPECT_EQ(
        encoded("LATIN1"),
        head + field("<?xml version=\"1.0\" encoding=\"LATIN1\"?><a>caf\xe9</a>") + field("<a/>"));
    for (const char* plain : {"UTF8", "SQL_ASCII"})
        EXPECT_EQ(encoded(plain), head + field("<a>caf\xe9</a>") + field("<a/>")) << plain;
    freeColumnBatch(batch);
}

}  // namespace
}  // namespace vorn::test
