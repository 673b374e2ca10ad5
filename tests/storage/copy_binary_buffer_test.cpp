// The PGCOPY output buffer: stream framing, and growth past the flush threshold.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "storage/copy_binary_buffer.h"
#include "tests/storage/support/copy_binary.h"

namespace vorn::test {
namespace {

std::string_view bytesOf(const CopyBinaryBuffer& buffer) {
    return std::string_view(reinterpret_cast<const char*>(buffer.data()), buffer.size());
}

TEST(CopyBinaryBuffer, EmptyTableIsHeaderAndTrailer) {
    CopyBinaryBuffer buffer;
    EXPECT_TRUE(buffer.empty());
    EXPECT_GE(buffer.capacity(), copyFlushThreshold);
    buffer.appendHeader();
    EXPECT_EQ(buffer.size(), 19u);
    buffer.appendTrailer();
    EXPECT_EQ(bytesOf(buffer), std::string_view("PGCOPY\n\xff\r\n\0"
                                                "\0\0\0\0"
                                                "\0\0\0\0"
                                                "\xff\xff",
                                                21));
    const CopyBinaryFile parsed = parseCopyBinary(bytesOf(buffer));
    EXPECT_FALSE(parsed.withOids);
    EXPECT_TRUE(parsed.rows.empty());
}

TEST(CopyBinaryBuffer, RowFramingNullEmptyAndValue) {
    CopyBinaryBuffer buffer;
    buffer.appendHeader();
    buffer.appendFieldCount(3);
    buffer.appendNull();
    buffer.appendField(nullptr, 0);  // an empty text: not NULL
    const uint8_t ab[] = {'a', 'b'};
    buffer.appendField(ab, 2);
    buffer.appendTrailer();
    EXPECT_EQ(bytesOf(buffer).substr(19), std::string_view("\x00\x03"
                                                           "\xff\xff\xff\xff"
                                                           "\x00\x00\x00\x00"
                                                           "\x00\x00\x00\x02"
                                                           "ab"
                                                           "\xff\xff",
                                                           18));
    const CopyBinaryFile parsed = parseCopyBinary(bytesOf(buffer));
    ASSERT_EQ(parsed.rows.size(), 1u);
    ASSERT_EQ(parsed.rows[0].size(), 3u);
    EXPECT_FALSE(parsed.rows[0][0].has_value());
    EXPECT_EQ(parsed.rows[0][1], std::string());
    EXPECT_EQ(parsed.rows[0][2], std::string("ab"));
}

TEST(CopyBinaryBuffer, FieldCountIsBigEndian) {
    CopyBinaryBuffer buffer;
    buffer.appendFieldCount(1600);
    EXPECT_EQ(bytesOf(buffer), std::string_view("\x06\x40", 2));
}

TEST(CopyBinaryBuffer, GrowsPastTheThresholdKeepingEveryByte) {
    CopyBinaryBuffer buffer;
    std::string value(100000, '\0');
    for (size_t i = 0; i < value.size(); ++i)
        value[i] = static_cast<char>(i * 7);
    const auto* bytes = reinterpret_cast<const uint8_t*>(value.data());
    size_t fields = 0;
    while (!buffer.full()) {
        buffer.appendField(bytes, value.size());
        ++fields;
    }
    EXPECT_EQ(fields, copyFlushThreshold / (value.size() + 4) + 1);
    // One large value past the first megabyte, then the earlier ones are checked intact.
    const std::string big(3 * copyFlushThreshold, 'z');
    buffer.appendField(reinterpret_cast<const uint8_t*>(big.data()), big.size());
    ASSERT_EQ(buffer.size(), fields * (value.size() + 4) + 4 + big.size());
    const std::string_view all = bytesOf(buffer);
    for (size_t f = 0; f < fields; ++f)
        ASSERT_EQ(all.substr(f * (value.size() + 4) + 4, value.size()), value) << f;
    EXPECT_EQ(all.substr(all.size() - big.size()), big);

    // A flush empties it; the storage stays for the next rows.
    const size_t capacity = buffer.capacity();
    buffer.clear();
    EXPECT_TRUE(buffer.empty());
    EXPECT_FALSE(buffer.full());
    EXPECT_EQ(buffer.capacity(), capacity);
    buffer.appendNull();
    EXPECT_EQ(bytesOf(buffer), std::string_view("\xff\xff\xff\xff", 4));
}

TEST(CopyBinaryBuffer, FullAtExactlyTheThreshold) {
    CopyBinaryBuffer buffer;
    buffer.ensure(copyFlushThreshold - 1);
    buffer.advance(copyFlushThreshold - 1);
    EXPECT_FALSE(buffer.full());
    buffer.ensure(1);
    buffer.advance(1);
    EXPECT_TRUE(buffer.full());
    buffer.truncate(10);
    EXPECT_EQ(buffer.size(), 10u);
    buffer.truncate(20);  // never longer
    EXPECT_EQ(buffer.size(), 10u);
}

}  // namespace
}  // namespace vorn::test
