// COPY text escaping against what the server's COPY TO writes for the same bytes.

#include "export/copy_text_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn::test {
namespace {

std::string escaped(std::string_view in, char delimiter) {
    CopyTextEscape escape(delimiter);
    TextBuffer out;
    escape.append(in.data(), in.size(), out);
    return std::string(out.view());
}

TEST(CopyTextEscape, EscapesAsTheServersCopyTo) {
    struct Case {
        std::string in;
        char delimiter;
        std::string out;
    };
    const Case cases[] = {
        {"plain text 123", '|', "plain text 123"},
        {"", '|', ""},
        {"a\\b", '|', "a\\\\b"},
        {"\\x00ff", '|', "\\\\x00ff"},  // bytea's prefix, doubled
        {"\b\f\n\r\t\v", '|', "\\b\\f\\n\\r\\t\\v"},
        {"a|b||", '|', "a\\|b\\|\\|"},
        {"a,b|c", ',', "a\\,b|c"},
        // A tab delimiter is a tab: "\t" either way.
        {"a\tb", '\t', "a\\tb"},
        // Other control bytes, DEL and bytes from 0x80 on pass unchanged.
        {std::string("\x01\x1f\x7f\x00", 4), '|', std::string("\x01\x1f\x7f\x00", 4)},
        {"gr\xc3\xbc\xc3\x9f \xe2\x82\xac", '|', "gr\xc3\xbc\xc3\x9f \xe2\x82\xac"},
        // A control byte as delimiter: backslash and the byte itself.
        {"a\x01z", '\x01', "a\\\x01z"},
        {"\\\n|", '|', "\\\\\\n\\|"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(escaped(c.in, c.delimiter), c.out) << "input of " << c.in.size() << " bytes";
}

TEST(CopyTextEscape, EveryByteEscapedOnlyWhenTheServerDoes) {
    CopyTextEscape escape('|');
    for (int c = 0; c < 256; ++c) {
        const char e = escape.escapeOf(static_cast<unsigned char>(c));
        switch (c) {
            case '\b':
                EXPECT_EQ(e, 'b');
                break;
            case '\f':
                EXPECT_EQ(e, 'f');
                break;
            case '\n':
                EXPECT_EQ(e, 'n');
                break;
            case '\r':
                EXPECT_EQ(e, 'r');
                break;
            case '\t':
                EXPECT_EQ(e, 't');
                break;
            case '\v':
                EXPECT_EQ(e, 'v');
                break;
            case '\\':
                EXPECT_EQ(e, '\\');
                break;
            case '|':
                EXPECT_EQ(e, '|');
                break;
            default:
                EXPECT_EQ(e, 0) << "byte " << c;
        }
    }
}

TEST(CopyTextEscape, LongValueOfOnlyEscapesDoublesInLength) {
    const std::string in(100000, '\n');
    const std::string out = escaped(in, '|');
    ASSERT_EQ(out.size(), 2 * in.size());
    for (size_t i = 0; i < out.size(); i += 2)
        ASSERT_EQ(out.substr(i, 2), "\\n");
}

// The eight-bytes-at-a-time scan finds the same first byte as a byte-by-byte look-up, for
// every delimiter and a special byte at every position of values of many lengths.
TEST(CopyTextEscape, FirstSpecialAgreesWithTheTable) {
    for (int d = 1; d < 256; ++d) {
        const CopyTextEscape escape(static_cast<char>(d));
        for (size_t length = 0; length <= 40; length += 3) {
            for (int c = 0; c < 256; c += 7) {
                for (size_t at = 0; at < length; at += 5) {
                    std::string text(length, 'a');
                    if (d == 'a')
                        text.assign(length, 'b');
                    text[at] = static_cast<char>(c);
                    size_t expected = length;
                    for (size_t i = 0; i < length; ++i)
                        if (escape.escapeOf(static_cast<unsigned char>(text[i])) != 0) {
                            expected = i;
                            break;
                        }
                    ASSERT_EQ(escape.firstSpecial(text.data(), length), expected)
                        << "delimiter " << d << " byte " << c << " at " << at;
                }
            }
        }
    }
}

}  // namespace
}  // namespace vorn::test
