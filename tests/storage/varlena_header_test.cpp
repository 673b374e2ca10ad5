// The varlena header decoder on every form, cut at every length: what it finds, and that it
// reads nothing past the bytes it is given (each prefix is a buffer of exactly that size, so
// the sanitizer build catches a read one byte beyond).

#include "storage/varlena_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "tests/storage/support/page_builder.h"

namespace vorn::test {
namespace {

TEST(VarlenaHeader, EveryFormAtEveryLength) {
    const Bytes compressed = compressedVarlenaBytes(bytesOf("abcabcabcabc"), kPglz);
    const struct {
        const char* name;
        Bytes bytes;
        VarlenaForm form;
        uint32_t headerBytes;   // fewer bytes than this: the header is cut
        VarlenaCheck complete;  // with the header there and every byte it claims
        uint32_t total;
        uint8_t headerSize;
        bool inPlace;
    } cases[] = {
        {"1-byte header", {0x07, 'a', 'b'}, VarlenaForm::kShort, 1, VarlenaCheck::kOk, 3, 1, true},
        {"1-byte header, empty", {0x03}, VarlenaForm::kShort, 1, VarlenaCheck::kOk, 1, 1, true},
        {"4-byte header", varlena4Bytes(bytesOf("hello")), VarlenaForm::kPlain, 4,
         VarlenaCheck::kOk, 9, 4, true},
        {"4-byte header below its size", le<uint32_t>(3 << 2), VarlenaForm::kPlain, 4,
         VarlenaCheck::kBelowHeader, 3, 4, false},
        {"compressed", compressed, VarlenaForm::kCompressed, 4, VarlenaCheck::kOk,
         static_cast<uint32_t>(compressed.size()), 4, false},
        {"external, on disk", externalPointerBytes(104, 100, 7, 9), VarlenaForm::kExternal, 2,
         VarlenaCheck::kOk, 18, 2, false},
        {"external, in memory",
         {0x01, 0x02, 1, 2, 3, 4, 5, 6, 7, 8},
         VarlenaForm::kExternal,
         2,
         VarlenaCheck::kOk,
         10,
         2,
         false},
        {"external, unknown tag",
         {0x01, 0x63, 1, 2},
         VarlenaForm::kExternal,
         2,
         VarlenaCheck::kUnknownTag,
         0,
         2,
         false},
    };
    for (const auto& c : cases) {
        const uint32_t total = c.total;
        for (size_t left = 0; left <= c.bytes.size(); ++left) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(left) + " bytes");
            auto buffer = std::make_unique<uint8_t[]>(left);
            std::copy(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(left),
                      buffer.get());
            const VarlenaHeader h = readVarlenaHeader(buffer.get(), static_cast<uint32_t>(left));
            VarlenaCheck expected = c.complete;
            if (left < c.headerBytes)
                expected = VarlenaCheck::kCut;
            else if (expected == VarlenaCheck::kOk && left < total)
                expected = VarlenaCheck::kPastEnd;
            EXPECT_EQ(h.check, expected);
            if (left == 0)
                continue;
            EXPECT_EQ(h.form, c.form);
            EXPECT_EQ(h.headerSize, c.headerSize);
            if (expected != VarlenaCheck::kCut) {
                EXPECT_EQ(h.total, total);
            }
            EXPECT_EQ(h.inPlace(), c.inPlace && expected == VarlenaCheck::kOk);
            if (h.inPlace()) {
                EXPECT_EQ(h.valueSize(), total - c.headerSize);
            }
        }
    }
}

// Zero bytes in front of a value on a U page are fill until one starts a 4-byte header of a
// plausible size.
TEST(VarlenaHeader, ZeroFillEndsAtAPlausibleHeader) {
    const Bytes abc = varlena4Bytes(bytesOf("abc"));  // 7 bytes, first byte 0x1C
    Bytes filled(3 + abc.size(), 0);
    std::copy(abc.begin(), abc.end(), filled.begin() + 3);
    const struct {
        const char* name;
        Bytes bytes;
        uint32_t fill;
    } cases[] = {
        {"no fill", abc, 0},
        {"three fill bytes", filled, 3},
        {"a header whose first byte is 0", varlena4Bytes(Bytes(60, 'z')), 0},  // total 64
        {"nothing but fill", {0, 0, 0, 0, 0}, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(varlenaZeroFill(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), c.fill);
    }
}

}  // namespace
}  // namespace vorn::test
