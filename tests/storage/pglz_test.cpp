// pglz decompression: streams of the test compressor, hand-made tags and damaged input.

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "storage/value_buffer.h"
#include "tests/storage/support/page_builder.h"

namespace vorn::test {
namespace {

// Decompresses into a buffer of exactly `rawSize` bytes (the sanitizer build catches a write
// past it) from a copy of the stream of exactly its length (and a read past that).
std::optional<Bytes> decompress(const Bytes& stream, size_t rawSize) {
    const std::unique_ptr<uint8_t[]> source(new uint8_t[stream.size() + 1]);
    std::copy(stream.begin(), stream.end(), source.get());
    const std::unique_ptr<uint8_t[]> dest(new uint8_t[rawSize + 1]);
    const int32_t n = pglzDecompress(source.get(), static_cast<int32_t>(stream.size()), dest.get(),
                                     static_cast<int32_t>(rawSize));
    if (n < 0)
        return std::nullopt;
    EXPECT_LE(static_cast<size_t>(n), rawSize);
    return Bytes(dest.get(), dest.get() + n);
}

// A byte-at-a-time decoder following PostgreSQL's rules, for comparison on mutated streams.
std::optional<Bytes> reference(const Bytes& src, size_t rawSize) {
    Bytes out;
    size_t sp = 0;
    while (sp < src.size() && out.size() < rawSize) {
        const uint8_t control = src[sp++];
        for (int bit = 0; bit < 8 && sp < src.size() && out.size() < rawSize; ++bit) {
            if ((control >> bit & 1) == 0) {
                out.push_back(src[sp++]);
                continue;
            }
            if (sp + 2 > src.size())
                return std::nullopt;
            size_t length = (src[sp] & 0x0F) + 3;
            const size_t offset = (size_t{src[sp]} & 0xF0) << 4 | src[sp + 1];
            sp += 2;
            if (length == 18) {
                if (sp >= src.size())
                    return std::nullopt;
                length += src[sp++];
            }
            if (offset == 0 || offset > out.size())
                return std::nullopt;
            for (size_t k = 0; k < length && out.size() < rawSize; ++k)
                out.push_back(out[out.size() - offset]);
        }
    }
    if (sp < src.size())
        return std::nullopt;
    return out;
}

Bytes randomBytes(size_t n, uint32_t seed, int alphabet) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>('a' + rng() % alphabet);
    return out;
}

TEST(PglzTest, RoundTripsTheTestCompressor) {
    struct Case {
        const char* name;
        Bytes raw;
    };
    Bytes farMatch = randomBytes(4095, 1, 26);  // a match reaching the largest offset
    const Bytes head(farMatch.begin(), farMatch.begin() + 300);
    farMatch.insert(farMatch.end(), head.begin(), head.end());
    const std::vector<Case> cases = {
        {"empty", {}},
        {"no repeats", bytesOf("abcdefghijklmnopqrstuvwxyz")},
        {"one byte repeated (overlapping copies)", Bytes(5000, 'a')},
        {"short period", repeated("ab", 3000)},
        {"text", repeated("The quick brown fox jumps over the lazy dog. ", 400)},
        {"small alphabet", randomBytes(20000, 7, 3)},
        {"incompressible", randomBytes(5000, 9, 256)},
        {"match at offset 4095", farMatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = decompress(pglzCompress(c.raw), c.raw.size());
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(*out, c.raw);
    }
}

TEST(PglzTest, HandMadeStreams) {
    struct Case {
        const char* name;
        Bytes stream;
        size_t rawSize;
        std::optional<std::string> result;  // nullopt: corrupt (-1)
    };
    // Tag bytes: (offset >> 8) << 4 | (length - 3), offset & 0xFF [, length - 18].
    const std::vector<Case> cases = {
        {"literals", {0x00, 'a', 'b', 'c'}, 3, "abc"},
        {"run of one byte", {0x02, 'a', 0x02, 0x01}, 6, "aaaaaa"},
        {"run of two bytes, odd length", {0x04, 'a', 'b', 0x04, 0x02}, 9, "ababababa"},
        {"long tag", {0x02, 'x', 0x0F, 0x01, 0x02}, 21, std::string(21, 'x')},
        {"copy clipped to the raw size", {0x02, 'a', 0x07, 0x01}, 4, "aaaa"},
        {"stream shorter than the raw size", {0x00, 'a', 'b'}, 10, "ab"},
        {"control byte only", {0x00}, 5, ""},
        {"tag cut after its first byte", {0x02, 'a', 0x02}, 6, std::nullopt},
        {"long tag without its length byte", {0x02, 'a', 0x0F, 0x01}, 30, std::nullopt},
        {"offset 0", {0x02, 'a', 0x00, 0x00}, 4, std::nullopt},
        {"offset before the output start", {0x02, 'a', 0x00, 0x02}, 4, std::nullopt},
        {"offset far before the start", {0x01, 0xF0, 0xFF}, 4, std::nullopt},
        {"bytes left when the output is full", {0x00, 'a', 'b', 'c'}, 2, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = decompress(c.stream, c.rawSize);
        ASSERT_EQ(out.has_value(), c.result.has_value());
        if (out) {
            EXPECT_EQ(std::string(out->begin(), out->end()), *c.result);
        }
    }
}

TEST(PglzTest, DamagedStreamsMatchTheByteWiseRules) {
    // Flipped and cut streams must neither read nor write out of bounds (sanitizer build),
    // and must give what the byte-wise rules give: the same bytes or -1.
    const Bytes raw = repeated("pglz damage test 0123456789 ", 150);
    const Bytes good = pglzCompress(raw);
    std::mt19937 rng(42);
    for (int round = 0; round < 3000; ++round) {
        Bytes stream = good;
        const int flips = 1 + static_cast<int>(rng() % 3);
        for (int f = 0; f < flips; ++f)
            stream[rng() % stream.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        if (rng() % 4 == 0)
            stream.resize(rng() % stream.size());
        const size_t rawSize = rng() % 2 == 0 ? raw.size() : rng() % (raw.size() * 2);
        SCOPED_TRACE(round);
        const auto got = decompress(stream, rawSize);
        const auto want = reference(stream, rawSize);
        ASSERT_EQ(got.has_value(), want.has_value());
        if (got) {
            ASSERT_EQ(*got, *want);
        }
    }
}

TEST(PglzTest, RefusesBadArguments) {
    uint8_t out[4];
    const uint8_t in[2] = {0x00, 'a'};
    EXPECT_EQ(pglzDecompress(nullptr, 2, out, 4), -1);
    EXPECT_EQ(pglzDecompress(in, 2, nullptr, 4), -1);
    EXPECT_EQ(pglzDecompress(in, -1, out, 4), -1);
    EXPECT_EQ(pglzDecompress(in, 2, out, -1), -1);
    EXPECT_EQ(pglzDecompress(in, 0, out, 4), 0);
}

}  // namespace
}  // namespace vorn::test
