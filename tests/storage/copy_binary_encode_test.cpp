// COPY binary encoders, value by value: the stored bytes a page reader leaves (little-endian,
// varlena header removed) against the field the server's send function and COPY write.
// Every input lies in a heap block of exactly its length, so the sanitizer build catches an
// encoder that reads past its value.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "storage/copy_binary_encode.h"

namespace vorn::test {
namespace {

using Bytes = std::vector<uint8_t>;

// "00 00 00 04 de ad" -> bytes; blanks are ignored.
Bytes hex(const char* text) {
    Bytes out;
    int high = -1;
    for (const char* p = text; *p != '\0'; ++p) {
        const char c = *p;
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string show(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Runs `encode` on a copy of `stored` in a block of exactly its size, after `prefix` bytes
// already in the buffer, and returns the field the writer sends: what the encoder appended,
// or NULL (ff ff ff ff) when it refused the value, which it must do without appending
// anything. The prefix must be untouched.
Bytes encodeOnce(BinaryEncodeFn encode, const Bytes& stored, const Bytes& prefix = {}) {
    CopyBinaryBuffer out;
    if (!prefix.empty()) {
        std::memcpy(out.ensure(prefix.size()), prefix.data(), prefix.size());
        out.advance(prefix.size());
    }
    std::unique_ptr<uint8_t[]> exact(new uint8_t[stored.size()]);
    if (!stored.empty())
        std::memcpy(exact.get(), stored.data(), stored.size());
    const bool encoded = encode(exact.get(), static_cast<uint32_t>(stored.size()), out);
    EXPECT_EQ(Bytes(out.data(), out.data() + prefix.size()), prefix) << "prefix overwritten";
    if (!encoded) {
        EXPECT_EQ(out.size(), prefix.size()) << "a refused value left bytes behind";
        return Bytes(4, 0xFF);
    }
    return Bytes(out.data() + prefix.size(), out.data() + out.size());
}

const char* const kNull = "ff ff ff ff";

struct EncodeCase {
    const char* name;
    BinaryEncodeFn encode;
    Bytes stored;
    const char* field;  // the whole field: length word and body
};

void PrintTo(const EncodeCase& c, std::ostream* os) {
    *os << c.name << " stored " << show(c.stored);
}

class EncodeFields : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeFields, WritesTheServersField) {
    const EncodeCase& c = GetParam();
    EXPECT_EQ(show(encodeOnce(c.encode, c.stored)), show(hex(c.field)));
    // The same after other fields: nothing depends on the field starting the buffer.
    EXPECT_EQ(show(encodeOnce(c.encode, c.stored, hex("00 02 ff ff ff ff"))), show(hex(c.field)));
}

// clang-format off
const EncodeCase kFixedWidthCases[] = {
    {"bool_one", encodeBinaryBool, hex("01"), "00 00 00 01 01"},
    {"bool_zero", encodeBinaryBool, hex("00"), "00 00 00 01 00"},
    {"bool_t", encodeBinaryBool, text("t"), "00 00 00 01 01"},
    {"bool_f", encodeBinaryBool, text("f"), "00 00 00 01 00"},
    {"bool_empty", encodeBinaryBool, {}, kNull},
    {"bool_two_bytes", encodeBinaryBool, hex("01 01"), kNull},
    {"char_letter", encodeBinaryChar, text("a"), "00 00 00 01 61"},
    {"char_high_byte", encodeBinaryChar, hex("e9"), "00 00 00 01 e9"},
    // charsend sends the zero byte like any other; '' in text is that byte
    {"char_zero", encodeBinaryChar, hex("00"), "00 00 00 01 00"},
    {"char_empty", encodeBinaryChar, {}, "00 00 00 01 00"},
    {"char_two_bytes", encodeBinaryChar, text("ab"), kNull},
    {"tinyint", encodeBinaryTinyint, hex("ff"), "00 00 00 01 ff"},
    {"tinyint_empty", encodeBinaryTinyint, {}, kNull},
    {"int2", encodeBinaryInt16, hex("02 01"), "00 00 00 02 01 02"},
    {"int2_minus_one", encodeBinaryInt16, hex("ff ff"), "00 00 00 02 ff ff"},
    {"int2_short", encodeBinaryInt16, hex("01"), kNull},
    {"int4_one", encodeBinaryInt32, hex("01 00 00 00"), "00 00 00 04 00 00 00 01"},
    {"int4_min", encodeBinaryInt32, hex("00 00 00 80"), "00 00 00 04 80 00 00 00"},
    {"float4_1_5", encodeBinaryInt32, hex("00 00 c0 3f"), "00 00 00 04 3f c0 00 00"},
    {"date_minus_one", encodeBinaryDate, hex("ff ff ff ff"), "00 00 00 04 ff ff ff ff"},
    {"int4_short", encodeBinaryInt32, hex("01 00 00"), kNull},
    {"int4_long", encodeBinaryInt32, hex("01 00 00 00 00 00 00 00"), kNull},
    {"xid_heap", encodeBinaryXid, hex("e8 03 00 00"), "00 00 00 04 00 00 03 e8"},
    {"xid_u_page_fits", encodeBinaryXid, hex("e8 03 00 00 00 00 00 00"), "00 00 00 04 00 00 03 e8"},
    {"xid_u_page_max32", encodeBinaryXid, hex("ff ff ff ff 00 00 00 00"), "00 00 00 04 ff ff ff ff"},
    // the type's send form has 32 bits: a larger xid cannot be sent
    {"xid_u_page_too_big", encodeBinaryXid, hex("00 00 00 00 01 00 00 00"), kNull},
    {"xid_odd_length", encodeBinaryXid, hex("01 00"), kNull},
    {"int8_one", encodeBinaryInt64, hex("01 00 00 00 00 00 00 00"),
     "00 00 00 08 00 00 00 00 00 00 00 01"},
    {"int8_minus_two", encodeBinaryInt64, hex("fe ff ff ff ff ff ff ff"),
     "00 00 00 08 ff ff ff ff ff ff ff fe"},
    {"int8_short", encodeBinaryInt64, hex("01 00 00 00"), kNull},
    {"timestamptz", encodeBinaryTimestampTz, hex("88 77 66 55 44 33 22 11"),
     "00 00 00 08 11 22 33 44 55 66 77 88"},
    {"timestamptz_short", encodeBinaryTimestampTz, hex("88 77"), kNull},
    // 3 microseconds, zone -3600 (an hour east of UTC)
    {"timetz", encodeBinaryTimeTz, hex("03 00 00 00 00 00 00 00 f0 f1 ff ff"),
     "00 00 00 0c 00 00 00 00 00 00 00 03 ff ff f1 f0"},
    {"timetz_short", encodeBinaryTimeTz, hex("03 00 00 00 00 00 00 00"), kNull},
    // 1 month, 2 days, 3 microseconds
    {"interval", encodeBinaryInterval, hex("03 00 00 00 00 00 00 00 02 00 00 00 01 00 00 00"),
     "00 00 00 10 00 00 00 00 00 00 00 03 00 00 00 02 00 00 00 01"},
    {"interval_short", encodeBinaryInterval, hex("03 00 00 00 00 00 00 00 02 00 00 00"), kNull},
};

const EncodeCase kVariableCases[] = {
    {"name", encodeBinaryName, [] { Bytes b = text("hello"); b.resize(64); return b; }(),
     "00 00 00 05 68 65 6c 6c 6f"},
    {"name_empty", encodeBinaryName, Bytes(64), "00 00 00 00"},
    // namerecv refuses 64 bytes; no server stores a name without its NUL
    {"name_without_nul", encodeBinaryName, Bytes(64, 'x'), kNull},
    {"name_shorter_slot", encodeBinaryName, text("ab"), "00 00 00 02 61 62"},
    {"bytes", encodeBinaryBytes, text("ab"), "00 00 00 02 61 62"},
    {"bytes_empty", encodeBinaryBytes, {}, "00 00 00 00"},
    {"bytes_zero_byte", encodeBinaryBytes, hex("00"), "00 00 00 01 00"},
    {"varbit_3_bits", encodeBinaryBit, hex("03 00 00 00 a0"), "00 00 00 05 00 00 00 03 a0"},
    {"bit_12_bits", encodeBinaryBit, hex("0c 00 00 00 ab c0"), "00 00 00 06 00 00 00 0c ab c0"},
    {"varbit_empty", encodeBinaryBit, hex("00 00 00 00"), "00 00 00 04 00 00 00 00"},
    {"bit_fill_after_bits_dropped", encodeBinaryBit, hex("03 00 00 00 a0 00"),
     "00 00 00 05 00 00 00 03 a0"},
    {"bit_count_beyond_bytes", encodeBinaryBit, hex("09 00 00 00 ff"), kNull},
    {"bit_count_negative", encodeBinaryBit, hex("ff ff ff ff ff"), kNull},
    {"bit_count_huge", encodeBinaryBit, hex("ff ff ff 7f ff"), kNull},
    {"bit_no_count", encodeBinaryBit, hex("03 00 00"), kNull},
};

const EncodeCase kNumericCases[] = {
    {"nan", encodeBinaryNumeric, hex("00 c0"), "00 00 00 08 00 00 00 00 c0 00 00 00"},
    {"plus_infinity", encodeBinaryNumeric, hex("00 d0"), "00 00 00 08 00 00 00 00 d0 00 00 20"},
    {"minus_infinity", encodeBinaryNumeric, hex("00 f0"), "00 00 00 08 00 00 00 00 f0 00 00 20"},
    // servers before 9.1 wrote NaN with a 4-byte header; later ones read its weight as a
    // digit 0
    {"nan_long_header", encodeBinaryNumeric, hex("00 c0 00 00"),
     "00 00 00 0a 00 01 00 00 c0 00 00 00 00 00"},
    {"special_unknown", encodeBinaryNumeric, hex("00 e0"), kNull},
    {"zero", encodeBinaryNumeric, hex("00 80"), "00 00 00 08 00 00 00 00 00 00 00 00"},
    // 1.5: short form, dscale 1, weight 0, digits 1 5000
    {"short_1_5", encodeBinaryNumeric, hex("80 80 01 00 88 13"),
     "00 00 00 0c 00 02 00 00 00 00 00 01 00 01 13 88"},
    // -0.0001: short form, negative, dscale 4, weight -1 (7-bit 0x7f), digit 1
    {"short_negative_weight", encodeBinaryNumeric, hex("7f a2 01 00"),
     "00 00 00 0a 00 01 ff ff 40 00 00 04 00 01"},
    // dscale 63, the largest the short form holds
    {"short_dscale_63", encodeBinaryNumeric, hex("80 9f 01 00"),
     "00 00 00 0a 00 01 00 00 00 00 00 3f 00 01"},
    // long form: negative, dscale 2, weight 5, digit 12
    {"long_negative", encodeBinaryNumeric, hex("02 40 05 00 0c 00"),
     "00 00 00 0a 00 01 00 05 40 00 00 02 00 0c"},
    // long form: dscale 16383, weight -300, digit 9999
    {"long_extremes", encodeBinaryNumeric, hex("ff 3f d4 fe 0f 27"),
     "00 00 00 0a 00 01 fe d4 00 00 3f ff 27 0f"},
    {"digit_above_9999", encodeBinaryNumeric, hex("80 80 01 00 10 27"), kNull},
    {"long_digit_above_9999", encodeBinaryNumeric, hex("00 00 00 00 ff ff"), kNull},
    {"one_byte", encodeBinaryNumeric, hex("80"), kNull},
    {"empty", encodeBinaryNumeric, {}, kNull},
    {"long_header_cut", encodeBinaryNumeric, hex("00 00 01"), kNull},
    {"odd_digit_bytes", encodeBinaryNumeric, hex("80 80 01 00 88"), kNull},
};
// clang-format on

std::string caseName(const ::testing::TestParamInfo<EncodeCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(FixedWidth, EncodeFields, ::testing::ValuesIn(kFixedWidthCases), caseName);
INSTANTIATE_TEST_SUITE_P(Variable, EncodeFields, ::testing::ValuesIn(kVariableCases), caseName);
INSTANTIATE_TEST_SUITE_P(Numeric, EncodeFields, ::testing::ValuesIn(kNumericCases), caseName);

TEST(EncodeNumeric, ManyDigitsInOneField) {
    // 40 groups of 1234 after a long header of weight 39: 8 + 80 body bytes.
    Bytes stored = hex("00 00 27 00");
    for (int i = 0; i < 40; ++i) {
        stored.push_back(0xd2);
        stored.push_back(0x04);
    }
    const Bytes field = encodeOnce(encodeBinaryNumeric, stored);
    ASSERT_EQ(field.size(), 4u + 8 + 80);
    EXPECT_EQ(show(Bytes(field.begin(), field.begin() + 12)),
              "00 00 00 58 00 28 00 27 00 00 00 00");
    for (size_t i = 12; i < field.size(); i += 2)
        EXPECT_EQ(show(Bytes(field.begin() + i, field.begin() + i + 2)), "04 d2") << i;
}

TEST(EncodeNumeric, BadDigitLateInTheValueTakesBackEverything) {
    Bytes stored = hex("00 00 00 00");
    for (int i = 0; i < 30; ++i) {
        stored.push_back(0x01);
        stored.push_back(0x00);
    }
    stored.push_back(0x10);  // 10000
    stored.push_back(0x27);
    EXPECT_EQ(show(encodeOnce(encodeBinaryNumeric, stored, hex("00 03"))), kNull);
}

TEST(EncodeName, SixtyThreeBytesIsTheLongestName) {
    Bytes stored(63, 'x');
    stored.push_back(0);
    Bytes want = hex("00 00 00 3f");
    want.insert(want.end(), 63, 'x');
    EXPECT_EQ(show(encodeOnce(encodeBinaryName, stored)), show(want));
}

struct EncoderChoice {
    uint32_t typeOid;
    BinaryEncodeFn encoder;
};

TEST(BinaryEncoderFor, ChoosesByTypeOid) {
    using namespace typeoid;
    const EncoderChoice choices[] = {
        {kBool, encodeBinaryBool},
        {kChar, encodeBinaryChar},
        {kTinyint, encodeBinaryTinyint},
        {kInt2, encodeBinaryInt16},
        {kInt4, encodeBinaryInt32},
        {kOid, encodeBinaryInt32},
        {kXid32, encodeBinaryInt32},
        {kFloat4, encodeBinaryInt32},
        {kDate, encodeBinaryDate},
        {kXid, encodeBinaryXid},
        {kInt8, encodeBinaryInt64},
        {kFloat8, encodeBinaryInt64},
        {kMoney, encodeBinaryInt64},
        {kTime, encodeBinaryTime},
        {kTimestamp, encodeBinaryTimestamp},
        {kDatetime, encodeBinaryInt64},
        {kTimestampTz, encodeBinaryTimestampTz},
        {kTimeTz, encodeBinaryTimeTz},
        {kInterval, encodeBinaryInterval},
        {kNumeric, encodeBinaryNumeric},
        {kBit, encodeBinaryBit},
        {kVarbit, encodeBinaryBit},
        {kName, encodeBinaryName},
        {kBytea, encodeBinaryBytes},
        {kText, encodeBinaryBytes},
        {kBlob, encodeBinaryBytes},
        {kClob, encodeBinaryBytes},
        {kJson, encodeBinaryBytes},
        {kXml, encodeBinaryXml},
        {kBpchar, encodeBinaryBytes},
        {kVarchar, encodeBinaryBytes},
        // No send form from the stored bytes: sent as NULL by the writer.
        {kJsonb, nullptr},
        {kNvarchar2, nullptr},
        {0, nullptr},      // dropped
        {2950, nullptr},   // uuid
        {869, nullptr},    // inet
        {1007, nullptr},   // int4[]
        {16417, nullptr},  // an enum
        // OIDs past 16 bits whose low 16 bits are bool and int4: not those types
        {65536 + 16, nullptr},
        {65536 + 23, nullptr},
    };
    for (const EncoderChoice& choice : choices) {
        ColumnDef column;
        column.atttypid = choice.typeOid;
        EXPECT_EQ(binaryEncoderFor(column), choice.encoder) << "type OID " << choice.typeOid;
    }
}

TEST(CopyFieldCount, CountsLiveUserColumnsOnly) {
    ColumnLayout layout(5);
    layout[0].attnum = -2;  // the "oid" of a table WITH OIDS
    layout[0].atttypid = typeoid::kOid;
    layout[1].attnum = 1;
    layout[1].atttypid = typeoid::kInt4;
    layout[2].attnum = 2;  // dropped
    layout[3].attnum = 3;
    layout[3].atttypid = typeoid::kJsonb;  // a field, sent as NULL
    layout[4].attnum = 4;
    layout[4].atttypid = 2950;
    EXPECT_EQ(copyFieldCount(layout), 3);
    EXPECT_FALSE(isCopyField(layout[0]));
    EXPECT_FALSE(isCopyField(layout[2]));
    EXPECT_EQ(copyFieldCount({}), 0);
}

}  // namespace
}  // namespace vorn::test
