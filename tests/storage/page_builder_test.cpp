// Byte-level checks of the test page builder against PostgreSQL's layouts, so that the reader
// tests built on it stand on known bytes.

#include "tests/storage/support/page_builder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <filesystem>
#include <random>

namespace vorn::test {
namespace {

// Reference pglz decoder written straight from PostgreSQL's pglz_decompress, byte by byte.
Bytes pglzReference(const Bytes& src, size_t rawSize) {
    Bytes out;
    size_t sp = 0;
    while (sp < src.size() && out.size() < rawSize) {
        const uint8_t control = src[sp++];
        for (int bit = 0; bit < 8 && sp < src.size() && out.size() < rawSize; ++bit) {
            if (control & (1 << bit)) {
                if (sp + 1 >= src.size())
                    throw std::runtime_error("tag cut off");
                size_t len = (src[sp] & 0x0F) + 3;
                const size_t off = (size_t{src[sp]} & 0xF0) << 4 | src[sp + 1];
                sp += 2;
                if (len == 18) {
                    if (sp >= src.size())
                        throw std::runtime_error("length byte cut off");
                    len += src[sp++];
                }
                if (off == 0 || off > out.size())
                    throw std::runtime_error("bad offset");
                for (size_t k = 0; k < len && out.size() < rawSize; ++k)
                    out.push_back(out[out.size() - off]);
            } else {
                out.push_back(src[sp++]);
            }
        }
    }
    return out;
}

TEST(PageBuilderTest, HeapTupleHeaderBitmapAndAlignment) {
    // int4, NULL, int8, short text: bitmap 0b1101, t_hoff MAXALIGN(23 + 1) = 24.
    const Bytes t = HeapTupleBuilder()
                        .fixed(le<int32_t>(7), 4)
                        .null()
                        .fixed(le<int64_t>(-1), 8)
                        .varlenaShort(bytesOf("ab"))
                        .build();
    EXPECT_EQ(getU32(t, 0), 1000u);  // xmin
    EXPECT_EQ(getU32(t, 4), 0u);     // xmax
    EXPECT_EQ(getU16(t, 18) & 0x07FF, 4);
    EXPECT_EQ(getU16(t, 20), 0x0100 | 0x0800 | 0x0001 | 0x0002);
    EXPECT_EQ(t[22], 24);
    EXPECT_EQ(t[23], 0b1101);
    EXPECT_EQ(getU32(t, 24), 7u);
    EXPECT_EQ(getU32(t, 28), 0u);  // fill before the int8
    EXPECT_EQ(getU32(t, 32), 0xFFFFFFFFu);
    EXPECT_EQ(t[40], (3 << 1) | 1);  // 1-byte header, never aligned
    EXPECT_EQ(t.size(), 43u);
}

TEST(PageBuilderTest, HeapTupleOidAndOverrides) {
    const Bytes t = HeapTupleBuilder().oid(4242).fixed(le<int16_t>(5), 2).build();
    EXPECT_EQ(t[22], 32);  // MAXALIGN(23 + 4)
    EXPECT_EQ(getU32(t, 28), 4242u);
    EXPECT_EQ(getU16(t, 20) & 0x0008, 0x0008);
    EXPECT_EQ(getU16(t, 32), 5);

    const Bytes d = HeapTupleBuilder().exactInfomask(0x0200).natts(9).hoff(200).xmax(77).build();
    EXPECT_EQ(getU16(d, 20), 0x0200);
    EXPECT_EQ(getU16(d, 18), 9);
    EXPECT_EQ(d[22], 200);
    EXPECT_EQ(getU32(d, 4), 77u);
    EXPECT_EQ(d.size(), 24u);
}

TEST(PageBuilderTest, VarlenaForms) {
    const Bytes v4 = varlena4Bytes(bytesOf("xyz"));
    EXPECT_EQ(getU32(v4, 0), 7u << 2);
    const Bytes ext = externalPointerBytes(5004, 5000, 99, 16390);
    ASSERT_EQ(ext.size(), 18u);
    EXPECT_EQ(ext[0], 0x01);
    EXPECT_EQ(ext[1], 18);
    EXPECT_EQ(getU32(ext, 2), 5004u);
    EXPECT_EQ(getU32(ext, 10), 99u);
    EXPECT_THROW(varlenaShortBytes(Bytes(127, 'a')), std::invalid_argument);

    // A 4-byte varlena after a 1-byte value is aligned to 4 with zero fill.
    const Bytes t = HeapTupleBuilder().fixed({1}, 1).varlena4(bytesOf("q")).build();
    EXPECT_EQ(t[24], 1);
    EXPECT_EQ(getU32(t, 25) & 0xFFFFFF, 0u);
    EXPECT_EQ(getU32(t, 28), 5u << 2);
}

TEST(PageBuilderTest, CompressorsRoundTrip) {
    std::mt19937 rng(1);
    Bytes noise(5000);
    for (auto& b : noise)
        b = static_cast<uint8_t>(rng());
    Bytes text;
    for (int i = 0; i < 400; ++i)
        for (char c : std::string("row ") + std::to_string(i % 37) + " of the table; ")
            text.push_back(static_cast<uint8_t>(c));
    const std::vector<Bytes> inputs = {Bytes{}, Bytes{'a'}, Bytes(100000, 0), noise, text};
    for (const Bytes& raw : inputs) {
        const Bytes pglz = pglzCompress(raw);
        EXPECT_EQ(pglzReference(pglz, raw.size()), raw) << raw.size();
        const Bytes lz4 = lz4Compress(raw);
        Bytes back(raw.size());
        if (!raw.empty()) {
            EXPECT_EQ(
                LZ4_decompress_safe(reinterpret_cast<const char*>(lz4.data()),
                                    reinterpret_cast<char*>(back.data()),
                                    static_cast<int>(lz4.size()), static_cast<int>(back.size())),
                static_cast<int>(raw.size()));
            EXPECT_EQ(back, raw);
        }
    }
    // Long runs use the 3-byte tag (length 18 + extra byte).
    const Bytes zeros = pglzCompress(Bytes(1000, 0));
    EXPECT_LT(zeros.size(), 30u);
    EXPECT_EQ(zeros[2] & 0x0F, 0x0F);

    const Bytes inl = compressedVarlenaBytes(text, kLz4);
    EXPECT_EQ(inl[0] & 3, 2);
    EXPECT_EQ(getU32(inl, 0) >> 2, inl.size());
    EXPECT_EQ(getU32(inl, 4), text.size() | 1u << 30);
}

TEST(PageBuilderTest, HeapPageLayout) {
    for (uint8_t version : {uint8_t{4}, uint8_t{6}}) {
        HeapPageBuilder b(8192, version);
        b.setFlags(HeapPageBuilder::kAllVisible);
        const Bytes t1 = HeapTupleBuilder().fixed(le<int32_t>(1), 4).build();  // 28 bytes
        EXPECT_EQ(b.addTuple(t1), 8192 - 32);
        EXPECT_EQ(b.addTuple(t1, 3), 8192 - 64);
        b.addLinePointer(0xDEADBEEF);
        const Bytes page = b.build();
        ASSERT_EQ(page.size(), 8192u);
        const uint16_t first = version == 6 ? 40 : 24;
        EXPECT_EQ(getU16(page, 10), 0x0004);
        EXPECT_EQ(getU16(page, 12), first + 12);
        EXPECT_EQ(getU16(page, 14), 8192 - 64);
        EXPECT_EQ(getU16(page, 18), 0x2000 | version);
        const uint32_t lp = getU32(page, first);
        EXPECT_EQ(lp & 0x7FFF, 8192u - 32);
        EXPECT_EQ((lp >> 15) & 3, 1u);
        EXPECT_EQ(lp >> 17, 28u);
        EXPECT_EQ((getU32(page, first + 4) >> 15) & 3, 3u);
        EXPECT_EQ(getU32(page, first + 8), 0xDEADBEEFu);
        EXPECT_EQ(getU32(page, 8192 - 32 + 24), 1u);
    }
    HeapPageBuilder full(2048);
    const Bytes big(1000, 0);
    full.addTuple(big);
    full.addTuple(big);
    EXPECT_FALSE(full.fits(big.size()));
    EXPECT_THROW(full.addTuple(big), std::length_error);
}

TEST(PageBuilderTest, UTupleAndPageLayout) {
    const Bytes t = UTupleBuilder()
                        .fixed({9}, 1)
                        .fixed(le<int64_t>(3), 1)
                        .null()
                        .fixed(Bytes(16, 0xAB), 8)
                        .build();
    EXPECT_EQ(getU16(t, 6), 1);
    EXPECT_EQ(getU16(t, 8), 4);
    EXPECT_EQ(t[10], 12);  // 11 + one bitmap byte
    EXPECT_EQ(t[11], 0b1011);
    EXPECT_EQ(t[12], 9);
    EXPECT_EQ(t[13], 3);     // int8 right after the byte: unaligned
    EXPECT_EQ(t[24], 0xAB);  // 21 aligned up to 24 from the tuple start
    EXPECT_EQ(t.size(), 40u);

    UPageBuilder b(8192, 7, 3);
    EXPECT_EQ(b.linePointerStart(), 56 + 48);
    EXPECT_EQ(b.addTuple(t), 8192 - 40);
    const Bytes page = b.build();
    EXPECT_EQ(getU16(page, 12), 56 + 48 + 4);
    EXPECT_EQ(getU16(page, 14), 8192 - 40);
    EXPECT_EQ(getU16(page, 18), 0x2007);
    EXPECT_EQ(getU16(page, 22), 3);
    EXPECT_EQ(getU32(page, 104), linePointer(8192 - 40, 1, 40));
}

TEST(PageBuilderTest, ToastChunksAndRelationFiles) {
    const Bytes value(4000, 'v');
    const auto chunks = toastChunks(77, value, 1996);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[2].data.size(), 8u);
    EXPECT_EQ(chunks[2].seq, 2);

    const Bytes h = heapToastTuple(chunks[0]);
    EXPECT_EQ(h[22], 24);
    EXPECT_EQ(getU32(h, 24), 77u);
    EXPECT_EQ(getU32(h, 28), 0u);
    EXPECT_EQ(getU32(h, 24 + 8) >> 2, 2000u);
    const Bytes u = uToastTuple(chunks[1]);
    EXPECT_EQ(u[10], 11);
    EXPECT_EQ(getU32(u, 11), 77u);
    EXPECT_EQ(getU32(u, 15), 1u);
    EXPECT_EQ(getU32(u, 11 + 9) >> 2, 2000u);

    std::vector<TuplePlace> places;
    const auto pages = packHeapPages({h, h, h, h, h}, 8192, &places);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(places[3].block, 0u);
    EXPECT_EQ(places[4].block, 1u);
    EXPECT_EQ(places[4].offset, 8192 - 2032);

    const TempDir tmp;
    const std::string dir = tmp.path() + "/rel";
    const auto paths = writeRelation(dir, 16384, {pages[0], pages[1], pages[0]}, 2);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[1], dir + "/16384.1");
    EXPECT_EQ(std::filesystem::file_size(paths[0]), 16384u);
    EXPECT_EQ(std::filesystem::file_size(paths[1]), 8192u);
}

}  // namespace
}  // namespace vorn::test
