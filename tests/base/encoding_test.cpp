#include "base/encoding.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace vorn {
namespace {

TEST(EncodingTableTest, FindByIdUsesTheLow16Bits) {
    const struct {
        int id;
        const char* name;  // null: no row
        const char* iconvName;
    } cases[] = {
        {0, "SQL_ASCII", "US-ASCII"}, {6, "UTF8", "UTF-8"},
        {7, "MULE_INTERNAL", ""},     {41, "SHIFT_JIS_2004", "SHIFT_JISX0213"},
        {6 + 65536, "UTF8", "UTF-8"}, {42, nullptr, nullptr},
        {-1, nullptr, nullptr},       {65535, nullptr, nullptr},  // -1 as int16
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const EncodingInfo* row = findEncodingById(c.id);
        if (c.name == nullptr) {
            EXPECT_EQ(row, nullptr);
            continue;
        }
        ASSERT_NE(row, nullptr);
        EXPECT_STREQ(row->name, c.name);
        EXPECT_STREQ(row->iconvName, c.iconvName);
    }
}

// A misspelt iconv name would leave that encoding's names unconverted at run time.
TEST(EncodingTableTest, RowsAreInIdOrderAndIconvKnowsEveryName) {
    for (int i = 0; i < kEncodingCount; ++i) {
        const EncodingInfo& row = encodingTable[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.id, i);
        if (row.iconvName[0] == '\0')
            continue;
        const iconv_t handle = iconv_open("UTF-8", row.iconvName);
        EXPECT_NE(handle, reinterpret_cast<iconv_t>(-1)) << row.iconvName;
        if (handle != reinterpret_cast<iconv_t>(-1))
            iconv_close(handle);
    }
    EXPECT_STREQ(encodingTable[16].iconvName, "LATIN-9");
    EXPECT_STREQ(encodingTable[26].iconvName, "ISO_8859-6");
}

std::string convert(CharsetConverter& converter, const std::string& in, uint32_t room = 256) {
    std::string out(room, '\0');
    const uint32_t written =
        converter.convert(in.data(), static_cast<uint32_t>(in.size()), out.data(), room);
    out.resize(written);
    return out;
}

TEST(CharsetConverterTest, ConvertsAndDropsWhatCannotBeConverted) {
    const struct {
        const char* target;
        const char* source;
        std::string in;
        std::string out;
    } cases[] = {
        {"UTF-8", "LATIN1", "caf\xe9", "caf\xc3\xa9"},
        {"UTF-8", "KOI8-R", "\xd0\xd2\xc9", "\xd0\xbf\xd1\x80\xd0\xb8"},  // "при"
        {"UTF-8", "EUC-JP", "\xa4\xa2\xa4\xa4", "\xe3\x81\x82\xe3\x81\x84"},
        {"UTF-8", "UTF-8", "plain ascii", "plain ascii"},
        // The euro sign has no LATIN1 form: it is dropped and the rest converted.
        {"LATIN1", "UTF-8",
         "a\xe2\x82\xac"
         "b\xc3\xa9",
         "ab\xe9"},
        // Bytes that are no character of the source are dropped, wherever they are.
        {"UTF-8", "UTF-8",
         "a\xff"
         "b\x80\x80"
         "c",
         "abc"},
        {"UTF-8", "EUC-JP", "\xff\xa4\xa2\xff", "\xe3\x81\x82"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " -> " + c.target + ": " + c.in);
        CharsetConverter converter;
        converter.open(c.target, c.source);
        EXPECT_EQ(convert(converter, c.in), c.out);
    }
}

TEST(CharsetConverterTest, FailuresGiveZero) {
    CharsetConverter unopened;
    EXPECT_EQ(convert(unopened, "abc"), "");

    CharsetConverter converter;
    converter.open("UTF-8", "LATIN1");
    // "é" needs 2 bytes in UTF-8; 3 characters do not fit in 4 bytes.
    EXPECT_EQ(convert(converter, "\xe9\xe9\xe9", 4), "");
    EXPECT_EQ(convert(converter, "\xe9\xe9", 4), "\xc3\xa9\xc3\xa9");  // exactly fits
    EXPECT_EQ(convert(converter, ""), "");

    CharsetConverter fromUtf8;
    fromUtf8.open("LATIN1", "UTF-8");
    // The input ends inside a two-byte character.
    EXPECT_EQ(convert(fromUtf8, "ab\xc3"), "");
    // The converter is still usable afterwards.
    EXPECT_EQ(convert(fromUtf8, "ab\xc3\xa9"), "ab\xe9");
}

TEST(CharsetConverterTest, OpenKeepsTheLastMatchingRow) {
    CharsetConverter converter;
    converter.open("UTF-8", "EUC-JP");
    EXPECT_EQ(converter.source().id, 5);
    EXPECT_STREQ(converter.source().name, "EUC_JIS_2004");
    EXPECT_EQ(converter.target().id, 6);
    EXPECT_STREQ(converter.target().name, "UTF8");
}

TEST(CharsetConverterTest, UnknownNameKeepsItsSideAndReopenReplacesTheHandle) {
    CharsetConverter converter;
    // "UTF8" is PostgreSQL's name, not an iconv name of the table: the target stays empty,
    // which iconv takes as the locale's character set (ASCII in the C locale).
    converter.open("UTF8", "UTF-8");
    EXPECT_STREQ(converter.target().name, "");
    EXPECT_EQ(convert(converter, "a\xc3\xa9z"), "az");

    converter.open("UTF-8", "LATIN1");
    EXPECT_EQ(convert(converter, "\xe9"), "\xc3\xa9");
    // A name matching no row leaves the side from the previous open.
    converter.open("no-such-charset", "LATIN2");
    EXPECT_STREQ(converter.target().iconvName, "UTF-8");
    EXPECT_EQ(convert(converter, "\xb1"), "\xc4\x85");  // LATIN2 "ą"
}

}  // namespace
}  // namespace vorn
