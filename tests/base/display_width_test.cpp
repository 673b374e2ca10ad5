#include "base/display_width.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace vorn {
namespace {

TEST(DisplayWidthTest, CountsWideAndFullwidthAsTwo) {
    const struct {
        const char* text;
        uint32_t width;
    } cases[] = {
        {"", 0},
        {"customers1", 10},
        {"\xe6\x95\xb0\xe6\x8d\xae\xe5\xba\x93\xe8\xa1\xa8\xe5\x90\x8d", 10},  // 5 ideographs
        {"\xef\xbc\xa1", 2},                                                   // U+FF21
        {"\xce\xb1", 1},          // Greek alpha, East Asian Ambiguous
        {"e\xcc\x81", 2},         // e + combining acute: 1 + 1
        {"\xf0\xa0\x80\x80", 2},  // U+20000, outside the BMP, one code point
        {"\xf0\xa0\x80\x80x", 3},
        {"\xef\xbd\xb1", 1},  // halfwidth katakana
        {"a\xff"
         "b",
         3},               // an ill-formed byte becomes U+FFFD
        {"tab\there", 8},  // a control character counts 1
    };
    for (const auto& c : cases) {
        EXPECT_EQ(displayWidth(c.text), c.width) << c.text;
    }
    EXPECT_EQ(displayWidth(nullptr), 0u);
}

TEST(DisplayWidthTest, PadsToTheWidth) {
    const std::string cjk = "\xe6\x95\xb0\xe6\x8d\xae\xe5\xba\x93\xe8\xa1\xa8\xe5\x90\x8d";
    const struct {
        std::string text;
        int32_t width;
        bool leftAlign;
        std::string expected;
    } cases[] = {
        {"customers1", 30, true, "customers1" + std::string(20, ' ')},
        {"customers1", 30, false, std::string(20, ' ') + "customers1"},
        {cjk, 30, true, cjk + std::string(20, ' ')},
        {"", 30, true, std::string(30, ' ')},
        {"a_rather_long_table_name_of_40_columns__", 30, true,
         "a_rather_long_table_name_of_40_columns__"},
        {"abc", -5, false, "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char buf[256];
        padToWidth(buf, sizeof buf, c.text.c_str(), c.width, c.leftAlign);
        EXPECT_EQ(std::string(buf), c.expected);
    }
}

TEST(DisplayWidthTest, CutsAtTheBufferSizeAndNeverWritesBeyond) {
    // 1 + 85 * 3 = 256 bytes of text: the last character loses its third byte.
    std::string text = "a";
    for (int i = 0; i < 85; ++i)
        text += "\xe6\x95\xb0";
    char buf[256];
    padToWidth(buf, sizeof buf, text.c_str(), 30, true);
    EXPECT_EQ(std::strlen(buf), 255u);
    EXPECT_EQ(std::string(buf), text.substr(0, 255));

    // Padding is cut too; the bytes past `size` stay as they were.
    char small[16];
    std::memset(small, 'X', sizeof small);
    padToWidth(small, 8, "ab", 30, true);
    EXPECT_EQ(std::string(small), "ab     ");
    EXPECT_EQ(std::string(small + 8, 8), std::string(8, 'X'));

    std::memset(small, 'X', sizeof small);
    padToWidth(small, 1, "ab", 30, false);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[1], 'X');
    padToWidth(small, 0, "ab", 30, false);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[1], 'X');
}

}  // namespace
}  // namespace vorn
