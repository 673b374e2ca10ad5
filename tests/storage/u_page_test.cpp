// U page reader: synthetic U pages (layout versions 7 and 9) from the page builder, read with
// UTableBlock and UToastBlock.

#include <gtest/gtest.h>

#include <functional>

#include "storage/page_reader.h"
#include "tests/storage/page_reader_test_util.h"
#include "tests/storage/support/page_builder.h"

namespace vorn::test {
namespace {

using namespace typeoid;
using UT = UTupleBuilder;

constexpr uint16_t kBlock = 8192;

PageRows readU(const Bytes& page, const ColumnLayout& layout, uint16_t blockSize = kBlock) {
    UTableBlock reader(layout, nullptr);
    return readAll(reader, page, layout, blockSize);
}

Bytes uPageOf(const std::vector<Bytes>& tuples, uint8_t version = 7, uint16_t slots = 2) {
    UPageBuilder page(kBlock, version, slots);
    for (const Bytes& t : tuples)
        page.addTuple(t);
    return page.build();
}

const ColumnDef kBoolCol = column(kBool, 1, 'c');
const ColumnDef kInt4Col = column(kInt4, 4, 'i');
const ColumnDef kTextCol = column(kText, -1, 'i');

TEST(UPage, FixedValuesAreUnalignedExceptIntervalAndTimetz) {
    // Data offset 11. bool 11, int8 12, int2 20, int4 22, xid (8 bytes here) 26, interval
    // aligned to 40, timetz to 56, then a text right behind it at 68.
    const ColumnLayout layout = layoutOf(
        {kBoolCol, column(kInt8, 8, 'd'), column(kInt2, 2, 's'), kInt4Col, column(kXid, 8, 'd'),
         column(kInterval, 16, 'd'), column(kTimeTz, 12, 'd'), kTextCol});
    const Bytes interval = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const Bytes timetz = {21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    const Bytes tuple = UT().fixed({1}, 1)
                            .fixed(le<int64_t>(-7), 1)
                            .fixed(le<int16_t>(3), 1)
                            .fixed(le<int32_t>(4), 1)
                            .fixed(le<uint64_t>(1ull << 40), 1)
                            .fixed(interval, 8)
                            .fixed(timetz, 8)
                            .varlenaShort(bytesOf("end"))
                            .build();
    ASSERT_EQ(tuple.size(), 72u);
    const PageRows got = readU(uPageOf({tuple}), layout);
    ASSERT_EQ(got.rows.size(), 1u);
    EXPECT_EQ(got.rows[0],
              (Row{val(Bytes{1}), val(le<int64_t>(-7)), val(le<int16_t>(3)), val(le<int32_t>(4)),
                   val(le<uint64_t>(1ull << 40)), val(interval), val(timetz), val("end")}));

    // An interval at tuple offset 13 skips 3 fill bytes.
    const ColumnLayout two = layoutOf({kBoolCol, kBoolCol, column(kInterval, 16, 'd')});
    const Bytes at13 = UT().fixed({1}, 1).fixed({0}, 1).fixed(interval, 8).build();
    ASSERT_EQ(at13.size(), 16u + 16u);
    EXPECT_EQ(readU(uPageOf({at13}), two).rows,
              (std::vector<Row>{{val(Bytes{1}), val(Bytes{0}), val(interval)}}));
}

TEST(UPage, VarlenasNullsDroppedAndMissingColumns) {
    // A 4-byte header after two bools sits behind 3 zero fill bytes (offset 16); a dropped
    // int8 is stepped over unaligned; a column beyond the tuple's attributes takes its
    // missing value.
    const ColumnLayout layout = layoutOf({kBoolCol, kBoolCol, kTextCol, dropped(8, 'd'), kTextCol,
                                          kInt4Col, withMissing(kInt4Col, le<int32_t>(42))});
    const Bytes page = uPageOf({
        UT().fixed({1}, 1)
            .fixed({1}, 1)
            .varlena4(bytesOf("aligned"), 4)
            .fixed(le<int64_t>(-1), 1)
            .varlenaShort(bytesOf("after"))
            .fixed(le<int32_t>(6), 1)
            .build(),
        UT().null().fixed({0}, 1).varlenaShort({}).null().null().fixed(le<int32_t>(5), 1).build(),
    });
    const PageRows got = readU(page, layout);
    ASSERT_EQ(got.rows.size(), 2u);
    EXPECT_EQ(got.rows[0], (Row{val(Bytes{1}), val(Bytes{1}), val("aligned"), kNull, val("after"),
                                val(le<int32_t>(6)), val(le<int32_t>(42))}));
    EXPECT_EQ(got.rows[1], (Row{kNull, val(Bytes{0}), val(""), kNull, kNull, val(le<int32_t>(5)),
                                val(le<int32_t>(42))}));
    EXPECT_EQ(got.report.valuesUnreadable, 0u);
}

TEST(UPage, EveryNormalLinePointerIsARow) {
    // No visibility test: whatever the flags and header bytes 0-5 hold, the tuple is read.
    UT marked;
    marked.flags(0xFFFE).fixed(le<int32_t>(1), 1);
    Bytes tuple = marked.build();
    for (size_t i = 0; i < 6; ++i)
        tuple[i] = 0xEE;
    UPageBuilder builder(kBlock, 9, 0);
    const uint16_t at = builder.addTuple(tuple);
    builder.addLinePointer(linePointer(at, 3, 15));  // dead
    builder.addLinePointer(linePointer(0, 0, 0));    // unused
    const PageRows got = readU(builder.build(), layoutOf({kInt4Col}));
    EXPECT_EQ(got.rows, (std::vector<Row>{{val(le<int32_t>(1))}}));
    EXPECT_EQ(got.report.tuplesRejected, 0u);
}

TEST(UPage, PageHeaderChecks) {
    const ColumnLayout layout = layoutOf({kInt4Col});
    const Bytes good = uPageOf({UT().fixed(le<int32_t>(1), 1).build()}, 7, 2);  // lower 92
    struct Case {
        const char* name;
        std::function<void(Bytes&)> change;
        size_t rows;
        const char* reason;  // nullptr: not damage
    };
    const Case cases[] = {
        {"version 7", [](Bytes&) {}, 1, nullptr},
        {"version 9", [](Bytes& p) { setU16(p, 18, 8192 | 9); }, 1, nullptr},
        {"version 8", [](Bytes& p) { setU16(p, 18, 8192 | 8); }, 0,
         "layout version 8, expected 7 or 9"},
        {"version 5", [](Bytes& p) { setU16(p, 18, 8192 | 5); }, 0,
         "layout version 5, expected 7 or 9"},
        {"page size of another cluster", [](Bytes& p) { setU16(p, 18, 4096 | 7); }, 0,
         "page size 4096 in the header, expected 8192"},
        {"slots reach past lower", [](Bytes& p) { setU16(p, 22, 3); }, 0,
         "lower 92 below the header end 104"},
        // 56 + 16 x 65535 wraps in 16 bits; in 32 it is far past any page.
        {"huge slot count", [](Bytes& p) { setU16(p, 22, 65535); }, 0,
         "lower 92 below the header end 1048616"},
        {"lower above upper", [](Bytes& p) { setU16(p, 12, 8190); }, 0,
         "lower 8190 above upper 8176"},
        {"upper past the block",
         [](Bytes& p) {
             setU16(p, 14, 9000);
             setU16(p, 12, 8500);
         },
         0, "upper 9000 beyond the block size 8192"},
        {"upper 0 on a used page", [](Bytes& p) { setU16(p, 14, 0); }, 0,
         "upper 0 on a page that is not all zero"},
        {"new page, all zero", [](Bytes& p) { std::fill(p.begin(), p.end(), 0); }, 0, nullptr},
        {"no line pointers", [](Bytes& p) { setU16(p, 12, 88); }, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes page = good;
        c.change(page);
        const PageRows got = readU(page, layout);
        EXPECT_EQ(got.rows.size(), c.rows);
        EXPECT_EQ(got.report.rejected, c.reason != nullptr);
        EXPECT_EQ(got.reason, c.reason ? c.reason : "");
    }
}

TEST(UPage, DamagedTuplesAreCountedAndTheirRowReused) {
    const ColumnLayout layout = layoutOf({kInt4Col, column(kInt8, 8, 'd'), kTextCol});
    const Bytes good = UT().fixed(le<int32_t>(1), 1)
                           .fixed(le<int64_t>(2), 1)
                           .varlenaShort(bytesOf("ok"))
                           .build();  // 11 + 4 + 8 + 3 = 26
    const auto cut = [](Bytes t, size_t n) {
        truncate(t, n);
        return t;
    };
    struct Case {
        const char* name;
        std::function<void(UPageBuilder&)> add;
        const char* reason;
    };
    const Case cases[] = {
        {"item shorter than a tuple header",
         [](UPageBuilder& p) { p.addLinePointer(linePointer(8000, 1, 10)); },
         "item length 10 shorter than the tuple header 11"},
        {"item past the page end",
         [](UPageBuilder& p) { p.addLinePointer(linePointer(8180, 1, 20)); },
         "item at offset 8180, length 20 outside the page"},
        {"item inside the header",
         [](UPageBuilder& p) { p.addLinePointer(linePointer(40, 1, 20)); },
         "item at offset 40, length 20 outside the page"},
        {"data offset over the null bitmap",
         [](UPageBuilder& p) {
             p.addTuple(UT().fixed(le<int32_t>(1), 1).null().dataOffset(11).build());
         },
         "data offset 11, expected 12 to 16 (header, null bitmap of 2 attributes)"},
        {"data offset past the item",
         [](UPageBuilder& p) { p.addTuple(UT().fixed(le<int32_t>(1), 1).dataOffset(40).build()); },
         "data offset 40, expected 11 to 16 (header, null bitmap of 1 attributes)"},
        {"int8 cut short", [&](UPageBuilder& p) { p.addTuple(cut(good, 20)); },
         "attribute 2: 8 bytes at offset 15 pass the tuple end 20"},
        {"varlena cut short", [&](UPageBuilder& p) { p.addTuple(cut(good, 25)); },
         "attribute 3: varlena at offset 23 passes the tuple end 25"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UPageBuilder page(kBlock, 7, 1);
        c.add(page);
        page.addTuple(good);
        const PageRows got = readU(page.build(), layout);
        ASSERT_EQ(got.rows.size(), 1u);
        EXPECT_EQ(got.rows[0][2], val("ok"));
        EXPECT_EQ(got.report.tuplesRejected, 1u);
        EXPECT_EQ(got.report.reasonItem, 1u);
        EXPECT_EQ(got.reason, c.reason);
    }
}

TEST(UPage, MoreThanABatchOfTuplesIsReadInTwoCalls) {
    const ColumnLayout layout = layoutOf({kInt4Col});
    UPageBuilder builder(32768, 9, 0);
    int32_t n = 0;
    for (; builder.fits(15); ++n)
        builder.addTuple(UT().fixed(le<int32_t>(n), 1).build());
    ASSERT_GT(n, 1000);
    const PageRows got = readU(builder.build(), layout, 32768);
    EXPECT_EQ(got.calls,
              (std::vector<uint32_t>{kBatchRows, static_cast<uint32_t>(n) - kBatchRows}));
    ASSERT_EQ(got.rows.size(), static_cast<size_t>(n));
    EXPECT_EQ(got.rows[1000], (Row{val(le<int32_t>(1000))}));
    EXPECT_EQ(got.rows.back(), (Row{val(le<int32_t>(n - 1))}));
}

TEST(UPage, RandomDamageStaysInsideThePage) {
    const ColumnLayout layout =
        layoutOf({kInt4Col, column(kInt8, 8, 'd'), kTextCol, column(kTimeTz, 12, 'd'),
                  dropped(-1, 'i'), column(kNumeric, -1, 'i', ((6 << 16) | 2) + 4)});
    UPageBuilder builder(kBlock, 7, 3);
    for (int i = 0; builder.fits(120); ++i) {
        UT t;
        t.fixed(le<int32_t>(i), 1).fixed(le<int64_t>(i), 1).varlena4(Bytes(i % 40, 'u'), 4);
        t.fixed(Bytes(12, 2), 8).varlenaShort(bytesOf("gone")).varlenaShort({0x81, 0, 5, 0});
        builder.addTuple(t.build());
    }
    builder.addTuple(uToastTuple({5, 0, Bytes(30, 'k')}));
    const Bytes good = builder.build();
    UTableBlock reader(layout, nullptr);
    UToastBlock chunks;
    expectRandomDamageStaysInside(reader, chunks, good, layout, 777, kBlock);
}

// ---- TOAST chunk lister --------------------------------------------------------------------

struct Listed {
    std::vector<ToastChunkRef> chunks;
    PageReport report;
};

Listed listU(const Bytes& page) {
    UToastBlock reader;
    reader.setBuffer(page.data(), kBlock);
    Listed out;
    reader.collectChunks(out.chunks);
    out.report = reader.pageReport();
    return out;
}

std::string chunkBytes(const Bytes& page, const ToastChunkRef& c) {
    return std::string(page.begin() + c.dataOffset, page.begin() + c.dataOffset + c.dataLength);
}

TEST(UToastPage, ChunkDataFollowsIdAndSequence) {
    UPageBuilder builder(kBlock, 7, 1);
    // Data offset 11: chunk_id 11, chunk_seq 15, one fill byte, chunk_data's header at 20.
    const uint16_t at0 = builder.addTuple(uToastTuple({9, 0, bytesOf("first chunk")}));
    // A null bitmap byte moves the data offset to 12: the header lies at 20 without fill.
    const uint16_t at1 = builder.addTuple(UT().raw({0x07})
                                              .dataOffset(12)
                                              .fixed(le<uint32_t>(9), 1)
                                              .fixed(le<int32_t>(1), 1)
                                              .varlena4(bytesOf("second"), 4)
                                              .build());
    // A 1-byte header right after chunk_seq.
    const uint16_t at2 = builder.addTuple(UT().fixed(le<uint32_t>(10), 1)
                                              .fixed(le<int32_t>(0), 1)
                                              .varlenaShort(bytesOf("tiny"))
                                              .build());
    const Bytes page = builder.build();
    const Listed got = listU(page);
    ASSERT_EQ(got.chunks.size(), 3u);
    EXPECT_EQ(got.chunks[0].chunkId, 9u);
    EXPECT_EQ(got.chunks[0].chunkSeq, 0);
    EXPECT_EQ(got.chunks[0].lpOff, at0);
    EXPECT_EQ(got.chunks[0].dataOffset, at0 + 20 + 4);
    EXPECT_EQ(chunkBytes(page, got.chunks[0]), "first chunk");
    EXPECT_EQ(got.chunks[1].chunkSeq, 1);
    EXPECT_EQ(got.chunks[1].dataOffset, at1 + 20 + 4);
    EXPECT_EQ(chunkBytes(page, got.chunks[1]), "second");
    EXPECT_EQ(got.chunks[2].dataOffset, at2 + 19 + 1);
    EXPECT_EQ(chunkBytes(page, got.chunks[2]), "tiny");
    EXPECT_EQ(got.report.tuplesRejected, 0u);
}

TEST(UToastPage, ShortOrIncompleteChunkTuplesAreNotListed) {
    UPageBuilder builder(kBlock, 9, 0);
    // 7 data bytes: not even chunk_id and chunk_seq.
    builder.addTuple(UT().fixed(le<uint32_t>(1), 1).fixed({0, 0, 0}, 1).natts(3).build());
    // 8 data bytes: chunk_id and chunk_seq, but no chunk_data.
    builder.addTuple(UT().fixed(le<uint32_t>(2), 1).fixed(le<int32_t>(0), 1).natts(3).build());
    // chunk_data that claims more bytes than the tuple holds.
    Bytes cut = uToastTuple({3, 0, Bytes(40, 'x')});
    truncate(cut, cut.size() - 5);
    builder.addTuple(cut);
    builder.addTuple(uToastTuple({4, 0, bytesOf("good")}));
    const Listed got = listU(builder.build());
    ASSERT_EQ(got.chunks.size(), 1u);
    EXPECT_EQ(got.chunks[0].chunkId, 4u);
    EXPECT_EQ(got.report.tuplesRejected, 3u);
}

}  // namespace
}  // namespace vorn::test
