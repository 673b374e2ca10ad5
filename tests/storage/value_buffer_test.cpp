// Varlena forms read in line: header forms, alignment fill, truncation and in-line
// compression. Values fetched from a TOAST relation are tested in toast_test.cpp.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/value_buffer.h"
#include "tests/storage/support/page_builder.h"

namespace vorn::test {
namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Reads `bytes` as one attribute. The value string starts out holding stale bytes, as the
// page readers' reused strings do, so a failure that leaves them behind is caught.
struct Read {
    VarlenaRead result;
    std::string value;
};
Read readAll(const Bytes& bytes, bool skipZeroFill, ToastFetcher* toast = nullptr) {
    ValueBuffer reader(toast);
    Read r;
    r.value = "stale";
    r.result = reader.readVarlena(bytes.data(), static_cast<uint32_t>(bytes.size()), skipZeroFill,
                                  r.value);
    return r;
}

// A compressed varlena whose tcinfo says `rawSize` and `method`, around `stream`.
Bytes compressedWithHeader(uint32_t rawSize, uint32_t method, const Bytes& stream) {
    return concat({le<uint32_t>(static_cast<uint32_t>(stream.size() + 8) << 2 | 2),
                   le<uint32_t>(rawSize | method << 30), stream});
}

struct FormCase {
    const char* name;
    Bytes bytes;
    bool skipZeroFill;
    uint32_t consumed;
    ValueStatus status;
    std::string value;
};

TEST(ValueBufferTest, HeaderFormsFillAndTruncation) {
    const Bytes hello = varlena4Bytes(bytesOf("hello"));
    const Bytes abc = varlena4Bytes(bytesOf("abc"));
    // 60 value bytes make a total of 64: the header's first byte is 0 and must not be taken
    // for alignment fill.
    const Bytes zeroLowByte = varlena4Bytes(Bytes(60, 'z'));
    const Bytes tag1 = concat({{0x01, 0x01}, Bytes(8, 0xAA)});
    const Bytes onDisk = externalPointerBytes(104, 100, 7, 9);

    const std::vector<FormCase> cases = {
        {"short empty", {0x03}, false, 1, ValueStatus::kOk, ""},
        {"short one byte", {0x05, 'x'}, false, 2, ValueStatus::kOk, "x"},
        {"short, rest of tuple after it", concat({{0x07, 'a', 'b'}, {0xEE}}), false, 3,
         ValueStatus::kOk, "ab"},
        {"short past the tuple", {0x09, 'a'}, false, 2, ValueStatus::kTruncated, ""},
        {"4-byte plain", hello, false, 9, ValueStatus::kOk, "hello"},
        {"4-byte empty", varlena4Bytes({}), false, 4, ValueStatus::kOk, ""},
        {"4-byte past the tuple", Bytes(hello.begin(), hello.end() - 1), false, 8,
         ValueStatus::kTruncated, ""},
        {"4-byte size below its header", concat({le<uint32_t>(2 << 2), Bytes(4, 'q')}), false, 8,
         ValueStatus::kCorrupt, ""},
        {"even byte, fewer than 4 left", {0x10, 0x00}, false, 2, ValueStatus::kTruncated, ""},
        {"zero low byte is a header", zeroLowByte, true, 64, ValueStatus::kOk,
         std::string(60, 'z')},
        {"one fill byte", concat({{0}, abc}), true, 8, ValueStatus::kOk, "abc"},
        {"two fill bytes", concat({{0, 0}, abc}), true, 9, ValueStatus::kOk, "abc"},
        {"three fill bytes", concat({{0, 0, 0}, abc}), true, 10, ValueStatus::kOk, "abc"},
        {"fill before a short header", {0, 0x05, 'x'}, true, 3, ValueStatus::kOk, "x"},
        {"fill not skipped on heap pages", concat({{0, 0, 0}, abc}), false, 10,
         ValueStatus::kTruncated, ""},
        {"nothing but fill", {0, 0, 0}, true, 3, ValueStatus::kTruncated, ""},
        {"pointer tag 1", tag1, false, 10, ValueStatus::kUnsupported, ""},
        {"pointer tag 1 after fill", concat({{0, 0}, tag1}), true, 12, ValueStatus::kUnsupported,
         ""},
        {"pointer of unknown tag",
         {0x01, 0x63, 1, 2, 3, 4},
         false,
         6,
         ValueStatus::kUnsupported,
         ""},
        {"pointer without its tag", {0x01}, false, 1, ValueStatus::kTruncated, ""},
        {"pointer tag 18 cut short", Bytes(onDisk.begin(), onDisk.begin() + 10), false, 10,
         ValueStatus::kTruncated, ""},
        {"pointer tag 18 without TOAST", onDisk, false, 18, ValueStatus::kNoToast, ""},
    };
    for (const FormCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Read r = readAll(c.bytes, c.skipZeroFill);
        EXPECT_EQ(r.result.consumed, c.consumed);
        EXPECT_EQ(r.result.status, c.status);
        EXPECT_EQ(r.value, c.value);
    }
}

TEST(ValueBufferTest, NoBytesLeftConsumesNothing) {
    ValueBuffer reader(nullptr);
    std::string value = "stale";
    const uint8_t byte = 0x05;
    const VarlenaRead r = reader.readVarlena(&byte, 0, true, value);
    EXPECT_EQ(r.consumed, 0u);
    EXPECT_EQ(r.status, ValueStatus::kTruncated);
    EXPECT_TRUE(value.empty());
}

TEST(ValueBufferTest, InlineCompressed) {
    const Bytes raw = repeated("compress me, compress me again; ", 200);
    const Bytes pglz = pglzCompress(raw);
    Bytes badLz4 = compressedVarlenaBytes(raw, kLz4);
    badLz4.resize(badLz4.size() - 5);
    setU32(badLz4, 0, static_cast<uint32_t>(badLz4.size()) << 2 | 2);
    Bytes cutPglz = pglz;
    cutPglz.pop_back();  // the last item, a tag, loses its second byte

    struct Case {
        const char* name;
        Bytes bytes;
        ValueStatus status;
    };
    const std::vector<Case> cases = {
        {"pglz", compressedVarlenaBytes(raw, kPglz), ValueStatus::kOk},
        {"lz4", compressedVarlenaBytes(raw, kLz4), ValueStatus::kOk},
        {"method 2", compressedVarlenaBytes(raw, 2), ValueStatus::kUnsupported},
        {"method 3", compressedVarlenaBytes(raw, 3), ValueStatus::kUnsupported},
        {"pglz stream shorter than its raw size",
         compressedWithHeader(static_cast<uint32_t>(raw.size() + 1), kPglz, pglz),
         ValueStatus::kCorrupt},
        // Items left over once the raw size is reached: PostgreSQL refuses the stream too.
        {"pglz stream longer than its raw size",
         compressedWithHeader(static_cast<uint32_t>(raw.size() / 2), kPglz, pglz),
         ValueStatus::kCorrupt},
        {"pglz last tag cut",
         compressedWithHeader(static_cast<uint32_t>(raw.size()), kPglz, cutPglz),
         ValueStatus::kCorrupt},
        {"lz4 stream cut", badLz4, ValueStatus::kCorrupt},
        {"lz4 raw size off by one",
         compressedWithHeader(static_cast<uint32_t>(raw.size() + 1), kLz4, lz4Compress(raw)),
         ValueStatus::kCorrupt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Read r = readAll(c.bytes, false);
        EXPECT_EQ(r.result.consumed, c.bytes.size());
        EXPECT_EQ(r.result.status, c.status);
        if (c.status != ValueStatus::kOk) {
            EXPECT_TRUE(r.value.empty());
        }
    }
    EXPECT_EQ(readAll(compressedVarlenaBytes(raw, kPglz), false).value, text(raw));
    EXPECT_EQ(readAll(compressedVarlenaBytes(raw, kLz4), false).value, text(raw));
}

TEST(ValueBufferTest, CompressedHeaderShapes) {
    Bytes cut = compressedVarlenaBytes(bytesOf("abcabcabcabc"), kPglz);
    cut.pop_back();
    const Read truncated = readAll(cut, false);
    EXPECT_EQ(truncated.result.status, ValueStatus::kTruncated);
    EXPECT_EQ(truncated.result.consumed, cut.size());

    // A compressed header whose size leaves no room for the raw-size word.
    const Bytes tiny = concat({le<uint32_t>(6 << 2 | 2), Bytes(4, 0)});
    const Read corrupt = readAll(tiny, false);
    EXPECT_EQ(corrupt.result.status, ValueStatus::kCorrupt);
    EXPECT_EQ(corrupt.result.consumed, tiny.size());

    // Fill bytes in front of a compressed value on a U page.
    const Bytes filled = concat({{0, 0}, compressedVarlenaBytes(bytesOf("abcabcabcabc"), kLz4)});
    const Read r = readAll(filled, true);
    EXPECT_EQ(r.result.status, ValueStatus::kOk);
    EXPECT_EQ(r.result.consumed, filled.size());
    EXPECT_EQ(r.value, "abcabcabcabc");
}

TEST(ValueBufferTest, InlineRawSizeLimit) {
    // 10 MiB of a short pattern compresses to a few hundred kB.
    const Bytes big = repeated("0123456789abcdef", ValueBuffer::kMaxInlineRawSize / 16);
    ASSERT_EQ(big.size(), ValueBuffer::kMaxInlineRawSize);
    const Bytes atLimit = compressedVarlenaBytes(big, kLz4);
    const Read r = readAll(atLimit, false);
    EXPECT_EQ(r.result.status, ValueStatus::kOk);
    EXPECT_EQ(r.value.size(), big.size());
    EXPECT_EQ(r.value, text(big));

    Bytes overLimit = concat({big, Bytes{'!'}});
    const Bytes over = compressedVarlenaBytes(overLimit, kLz4);
    const Read tooLarge = readAll(over, false);
    EXPECT_EQ(tooLarge.result.status, ValueStatus::kTooLarge);
    EXPECT_EQ(tooLarge.result.consumed, over.size());
    EXPECT_TRUE(tooLarge.value.empty());
}

TEST(ValueBufferTest, ReaderServesValuesInTurn) {
    // One reader, one reused string: a small value after a large one, a failure between.
    ValueBuffer reader(nullptr);
    std::string value;
    const Bytes large = compressedVarlenaBytes(repeated("xyz", 1 << 20), kPglz);  // grows
    const Bytes broken = compressedVarlenaBytes(bytesOf("abcabcabc"), 2);
    const Bytes small = varlenaShortBytes(bytesOf("ok"));
    const auto size = [](const Bytes& b) { return static_cast<uint32_t>(b.size()); };
    EXPECT_EQ(reader.readVarlena(large.data(), size(large), false, value).status, ValueStatus::kOk);
    EXPECT_EQ(value.size(), 3u << 20);
    EXPECT_EQ(reader.readVarlena(broken.data(), size(broken), false, value).status,
              ValueStatus::kUnsupported);
    EXPECT_TRUE(value.empty());
    EXPECT_EQ(reader.readVarlena(small.data(), size(small), false, value).status, ValueStatus::kOk);
    EXPECT_EQ(value, "ok");
}

}  // namespace
}  // namespace vorn::test
