// Heap page reader: synthetic pages from the page builder, read with TableBlock and
// ToastBlock. Values are compared byte for byte with what the builder wrote.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "storage/block_except.h"
#include "storage/page_reader.h"
#include "tests/storage/page_reader_test_util.h"
#include "tests/storage/support/page_builder.h"

namespace vorn::test {
namespace {

using namespace typeoid;
using HT = HeapTupleBuilder;

constexpr uint16_t kBlock = 8192;
constexpr uint16_t kLive = HT::kXminCommitted | HT::kXmaxInvalid;

PageRows readHeap(const Bytes& page, const ColumnLayout& layout, uint16_t blockSize = kBlock) {
    TableBlock reader(layout, nullptr);
    return readAll(reader, page, layout, blockSize);
}

Bytes pageOf(const std::vector<Bytes>& tuples, uint16_t blockSize = kBlock, uint8_t version = 4) {
    HeapPageBuilder page(blockSize, version);
    for (const Bytes& t : tuples)
        page.addTuple(t);
    return page.build();
}

const ColumnDef kBoolCol = column(kBool, 1, 'c');
const ColumnDef kInt2Col = column(kInt2, 2, 's');
const ColumnDef kInt4Col = column(kInt4, 4, 'i');
const ColumnDef kInt8Col = column(kInt8, 8, 'd');
const ColumnDef kTextCol = column(kText, -1, 'i');

// ---- values --------------------------------------------------------------------------------

TEST(HeapPage, FixedWidthValuesAreReadAtTheirAlignment) {
    struct Case {
        const char* name;
        ColumnDef col;
        Bytes value;
        uint8_t align;
    };
    const Case cases[] = {
        {"char", column(kChar, 1, 'c'), {'x'}, 1},
        {"int2", kInt2Col, le<int16_t>(-2), 2},
        {"int4", kInt4Col, le<int32_t>(-40000), 4},
        {"oid", column(kOid, 4, 'i'), le<uint32_t>(4000000000u), 4},
        {"xid", column(kXid, 4, 'i'), le<uint32_t>(734), 4},
        {"float4", column(kFloat4, 4, 'i'), le<float>(1.5f), 4},
        {"date", column(kDate, 4, 'i'), le<int32_t>(-1), 4},
        {"int8", kInt8Col, le<int64_t>(-5000000000ll), 8},
        {"float8", column(kFloat8, 8, 'd'), le<double>(2.25), 8},
        {"money", column(kMoney, 8, 'd'), le<int64_t>(12345), 8},
        {"time", column(kTime, 8, 'd'), le<int64_t>(3600000000ll), 8},
        {"timestamptz", column(kTimestampTz, 8, 'd'), le<int64_t>(-1), 8},
        {"interval", column(kInterval, 16, 'd'),
         Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 8},
        {"timetz", column(kTimeTz, 12, 'd'), Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 8},
        // name is 'c': read right after the bool, at offset 25, without fill.
        {"name", column(kName, 64, 'c'), Bytes(64, 'n'), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A bool first puts the value one byte past an 8-byte boundary; an int2 after it
        // shows that the value's width was stepped over exactly.
        const ColumnLayout layout = layoutOf({kBoolCol, c.col, kInt2Col});
        const Bytes tuple =
            HT().fixed({1}, 1).fixed(c.value, c.align).fixed(le<int16_t>(7), 2).build();
        const PageRows got = readHeap(pageOf({tuple}), layout);
        ASSERT_EQ(got.rows.size(), 1u);
        EXPECT_EQ(got.rows[0], (Row{val(Bytes{1}), val(c.value), val(le<int16_t>(7))}));
        EXPECT_EQ(got.report.tuplesRejected, 0u);
    }
}

TEST(HeapPage, VarlenaFormsEmptyValuesAndNulls) {
    // text and bytea by reference; varchar(10) and numeric(12,2) in fixed slots.
    const ColumnLayout layout =
        layoutOf({kTextCol, column(kBytea, -1, 'i'), column(kVarchar, -1, 'i', 10 + 4),
                  column(kNumeric, -1, 'i', ((12 << 16) | 2) + 4)});
    const Bytes numeric = {0x01, 0x80, 0x2a, 0x00};
    const Bytes longText(300, 'q');
    const Bytes repetitive(2000, 'r');
    const Bytes page = pageOf({
        HT().varlenaShort(bytesOf("abc"))
            .varlena4({0, 1, 2})
            .varlenaShort(bytesOf("hello"))
            .varlenaShort(numeric)
            .build(),
        // '' is not NULL, in either header form and in slots as in strings.
        HT().varlenaShort({}).null().varlena4({}).null().build(),
        HT().varlena4(longText)
            .compressedInline(repetitive, kPglz)
            .null()
            .compressedInline(numeric, kPglz)
            .build(),
    });
    const PageRows got = readHeap(page, layout);
    ASSERT_EQ(got.rows.size(), 3u);
    EXPECT_EQ(got.rows[0], (Row{val("abc"), val(Bytes{0, 1, 2}), val("hello"), val(numeric)}));
    EXPECT_EQ(got.rows[1], (Row{val(""), kNull, val(""), kNull}));
    EXPECT_EQ(got.rows[2], (Row{val(longText), val(repetitive), kNull, val(numeric)}));
    EXPECT_EQ(got.report.valuesUnreadable, 0u);
}

TEST(HeapPage, VarlenaIsAlignedOnlyOverAZeroByte) {
    // A 4-byte header after a bool sits on the next 4-byte boundary behind zero fill; a
    // 1-byte header follows the bool directly.
    const ColumnLayout layout = layoutOf({kBoolCol, kTextCol, kBoolCol, kTextCol, kInt4Col});
    const Bytes tuple = HT().fixed({1}, 1)
                            .varlena4(bytesOf("four"), 4)
                            .fixed({0}, 1)
                            .varlenaShort(bytesOf("short"))
                            .fixed(le<int32_t>(9), 4)
                            .build();
    const PageRows got = readHeap(pageOf({tuple}), layout);
    ASSERT_EQ(got.rows.size(), 1u);
    EXPECT_EQ(got.rows[0],
              (Row{val(Bytes{1}), val("four"), val(Bytes{0}), val("short"), val(le<int32_t>(9))}));
}

TEST(HeapPage, DroppedColumnsAreSteppedOverExactly) {
    // A dropped int8 between an int4 and a text: everything after it must still line up.
    // The dropped varlena is an external pointer; it is stepped over, not fetched, so no
    // TOAST value is reported missing.
    const ColumnLayout layout =
        layoutOf({kInt4Col, dropped(8, 'd'), kTextCol, kInt8Col, dropped(-1, 'i'), kInt4Col});
    const Bytes tuple = HT().fixed(le<int32_t>(1), 4)
                            .fixed(le<int64_t>(-1), 8)
                            .varlenaShort(bytesOf("abc"))
                            .fixed(le<int64_t>(99), 8)
                            .externalPointer(5000, 4000, 77, 16400)
                            .fixed(le<int32_t>(5), 4)
                            .build();
    const PageRows got = readHeap(pageOf({tuple}), layout);
    ASSERT_EQ(got.rows.size(), 1u);
    EXPECT_EQ(got.rows[0], (Row{val(le<int32_t>(1)), kNull, val("abc"), val(le<int64_t>(99)), kNull,
                                val(le<int32_t>(5))}));
    EXPECT_EQ(got.report.toastValuesMissing, 0u);
    EXPECT_EQ(got.report.valuesUnreadable, 0u);
}

TEST(HeapPage, TypesWithoutADecoderKeepTheirBytes) {
    // uuid (fixed 16, 'c'), int4[] (a varlena), cstring (attlen -2): stepped over by attlen
    // and attalign, their bytes kept for the writer.
    const ColumnLayout layout =
        layoutOf({column(2950, 16, 'c'), column(1007, -1, 'i'), column(2275, -2, 'c'), kInt4Col});
    const Bytes uuid(16, 0xab);
    const Bytes array = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0};
    const Bytes tuple =
        HT().fixed(uuid, 1).varlena4(array).cstring("text\x01").fixed(le<int32_t>(3), 4).build();
    const PageRows got = readHeap(pageOf({tuple}), layout);
    ASSERT_EQ(got.rows.size(), 1u);
    EXPECT_EQ(got.rows[0], (Row{val(uuid), val(array), val("text\x01"), val(le<int32_t>(3))}));
}

TEST(HeapPage, LayoutGapsFallBackOnWhatPostgresFixes) {
    // A built-in type whose layout lacks attlen and attalign is still read at PostgreSQL's
    // width and alignment: the int8 after the bool is found behind 7 fill bytes.
    const ColumnLayout vague = layoutOf({kBoolCol, column(kInt8, 0, 'c'), column(kInt4, 0, 'c')});
    const Bytes tuple =
        HT().fixed({1}, 1).fixed(le<int64_t>(-3), 8).fixed(le<int32_t>(4), 4).build();
    EXPECT_EQ(readHeap(pageOf({tuple}), vague).rows,
              (std::vector<Row>{{val(Bytes{1}), val(le<int64_t>(-3)), val(le<int32_t>(4))}}));

    // A type nobody knows the width of: the values from there on cannot be located. The
    // row keeps what came before; what is lost is NULL and counted.
    const ColumnLayout unknown = layoutOf({kInt4Col, column(99999, 0, 'c'), kTextCol});
    const Bytes row =
        HT().fixed(le<int32_t>(1), 4).fixed({7, 7}, 1).varlenaShort(bytesOf("lost")).build();
    const PageRows got = readHeap(pageOf({row}), unknown);
    EXPECT_EQ(got.rows, (std::vector<Row>{{val(le<int32_t>(1)), kNull, kNull}}));
    EXPECT_EQ(got.report.valuesUnreadable, 2u);
}

TEST(HeapPage, MissingTrailingAttributesTakeTheirDefault) {
    // Columns added after the tuple was written: with a missing value (ADD COLUMN ...
    // DEFAULT) they read as that value, an empty one included; without, as NULL.
    const ColumnLayout layout =
        layoutOf({kInt4Col, withMissing(kInt4Col, le<int32_t>(42)),
                  withMissing(kTextCol, bytesOf("abc")), withMissing(kTextCol, {}), kInt8Col});
    const Bytes old = HT().fixed(le<int32_t>(1), 4).build();
    const Bytes recent = HT().fixed(le<int32_t>(2), 4)
                             .fixed(le<int32_t>(3), 4)
                             .varlenaShort(bytesOf("x"))
                             .null()
                             .null()
                             .build();
    const PageRows got = readHeap(pageOf({old, recent}), layout);
    ASSERT_EQ(got.rows.size(), 2u);
    EXPECT_EQ(got.rows[0],
              (Row{val(le<int32_t>(1)), val(le<int32_t>(42)), val("abc"), val(""), kNull}));
    EXPECT_EQ(got.rows[1], (Row{val(le<int32_t>(2)), val(le<int32_t>(3)), val("x"), kNull, kNull}));

    // More stored attributes than the relation has: the header is not what it seems, and the
    // tuple is rejected rather than read up to the last column.
    const ColumnLayout shorter = layoutOf({kInt4Col});
    const PageRows wider = readHeap(pageOf({recent}), shorter);
    EXPECT_TRUE(wider.rows.empty());
    EXPECT_EQ(wider.report.tuplesRejected, 1u);
    EXPECT_EQ(wider.reason, "5 attributes stored, the relation has 1");
}

TEST(HeapPage, OidColumnComesFromTheTupleHeader) {
    ColumnDef oid = column(kOid, 4, 'i');
    oid.attnum = -2;
    oid.setName("oid");
    ColumnDef value = kInt4Col;
    value.attnum = 1;
    value.setName("n");
    const ColumnLayout layout = {oid, value};
    const Bytes page =
        pageOf({HT().oid(12345).fixed(le<int32_t>(7), 4).build(), HT().oid(777).null().build(),
                HT().fixed(le<int32_t>(8), 4).build()});
    const PageRows got = readHeap(page, layout);
    ASSERT_EQ(got.rows.size(), 3u);
    EXPECT_EQ(got.rows[0], (Row{val(le<uint32_t>(12345)), val(le<int32_t>(7))}));
    EXPECT_EQ(got.rows[1], (Row{val(le<uint32_t>(777)), kNull}));
    EXPECT_EQ(got.rows[2], (Row{val(le<uint32_t>(0)), val(le<int32_t>(8))}));
}

// ---- visibility ----------------------------------------------------------------------------

TEST(HeapPage, VisibilityFromHintBits) {
    constexpr uint16_t kCommitted = HT::kXminCommitted;
    constexpr uint16_t kLockOnly = 0x0080, kExclLock = 0x0040, kKeyShare = 0x0010;
    constexpr uint16_t kMulti = 0x1000;
    struct Case {
        const char* name;
        uint32_t xmin, xmax;
        uint16_t infomask;
        bool allVisible;
        bool taken;
    };
    const Case cases[] = {
        {"live", 1000, 0, kLive, false, true},
        {"no hints, no xmax", 1000, 0, 0, false, true},
        {"deleted, committed", 1000, 1001, kCommitted, false, false},
        {"deleted, unhinted", 1000, 1001, 0, false, false},
        {"deleter aborted", 1000, 1001, kCommitted | HT::kXmaxInvalid, false, true},
        {"FOR KEY SHARE", 1000, 1001, kCommitted | kLockOnly | kKeyShare, false, true},
        {"FOR UPDATE", 1000, 1001, kCommitted | kLockOnly | kExclLock, false, true},
        {"exclusive lock of old servers", 1000, 1001, kCommitted | kExclLock, false, true},
        {"multixact updater", 1000, 1001, kCommitted | kMulti | kExclLock, false, false},
        {"inserter aborted", 1000, 0, HT::kXminInvalid, false, false},
        {"frozen", 1000, 0, HT::kXminCommitted | HT::kXminInvalid, false, true},
        {"killed speculative insert", 0, 0, HT::kXmaxInvalid, false, false},
        {"xmin 0, frozen", 0, 0, HT::kXminCommitted | HT::kXminInvalid, false, true},
        {"all-visible page, deleted", 1000, 1001, kCommitted, true, true},
        {"all-visible page, inserter invalid", 1000, 0, HT::kXminInvalid, true, true},
        {"all-visible page, killed speculative insert", 0, 0, HT::kXmaxInvalid, true, false},
    };
    const ColumnLayout layout = layoutOf({kInt4Col});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HeapPageBuilder page(kBlock);
        page.addTuple(
            HT().xmin(c.xmin).xmax(c.xmax).infomask(c.infomask).fixed(le<int32_t>(5), 4).build());
        if (c.allVisible)
            page.setFlags(HeapPageBuilder::kAllVisible);
        const PageRows got = readHeap(page.build(), layout);
        EXPECT_EQ(got.rows.size(), c.taken ? 1u : 0u);
        EXPECT_EQ(got.report.tuplesRejected, 0u);  // not taken is not damage
    }
}

TEST(HeapPage, OnlyNormalLinePointersAreTuples) {
    HeapPageBuilder page(kBlock);
    const uint16_t at = page.addTuple(HT().fixed(le<int32_t>(1), 4).build());
    page.addLinePointer(linePointer(0, 0, 0));    // unused
    page.addLinePointer(linePointer(1, 2, 0));    // redirect to item 1
    page.addLinePointer(linePointer(at, 3, 28));  // dead, with storage
    const PageRows got = readHeap(page.build(), layoutOf({kInt4Col}));
    EXPECT_EQ(got.itemCount, 4u);
    EXPECT_EQ(got.rows.size(), 1u);
    EXPECT_EQ(got.report.tuplesRejected, 0u);
}

// ---- page layouts and sizes ----------------------------------------------------------------

TEST(HeapPage, Version6PagesHaveTheirLinePointersAfterA40ByteHeader) {
    const ColumnLayout layout = layoutOf({kInt4Col});
    HeapPageBuilder builder(kBlock, 6);
    uint16_t first = 0;
    for (int32_t i = 1; i <= 3; ++i) {
        const uint16_t at = builder.addTuple(HT().fixed(le<int32_t>(i), 4).build());
        first = first ? first : at;
    }
    Bytes page = builder.build();
    // Bytes 24..39 belong to the header; were they read as line pointers, these would add
    // four more rows.
    for (size_t at = 24; at < 40; at += 4)
        setU32(page, at, linePointer(first, 1, 28));
    const PageRows got = readHeap(page, layout);
    EXPECT_EQ(got.itemCount, 3u);
    EXPECT_EQ(got.rows, (std::vector<Row>{
                            {val(le<int32_t>(1))}, {val(le<int32_t>(2))}, {val(le<int32_t>(3))}}));

    setU16(page, 12, 36);
    const PageRows bad = readHeap(page, layout);
    EXPECT_TRUE(bad.report.rejected);
    EXPECT_EQ(bad.reason, "pd_lower 36 below the header end 40");
}

TEST(HeapPage, EveryBlockSizeFromTwoTo32KiB) {
    const ColumnLayout layout = layoutOf({kInt4Col, kTextCol});
    for (const uint16_t blockSize : {2048, 4096, 8192, 16384, 32768}) {
        SCOPED_TRACE(blockSize);
        HeapPageBuilder builder(blockSize);
        int32_t n = 0;
        for (;; ++n) {
            const Bytes t = HT().fixed(le<int32_t>(n), 4)
                                .varlenaShort(bytesOf("row" + std::to_string(n)))
                                .build();
            if (!builder.fits(t.size()))
                break;
            builder.addTuple(t);
        }
        const Bytes page = builder.build();
        const PageRows got = readHeap(page, layout, blockSize);
        ASSERT_EQ(got.rows.size(), static_cast<size_t>(n));
        EXPECT_EQ(got.rows.back(),
                  (Row{val(le<int32_t>(n - 1)), val("row" + std::to_string(n - 1))}));
        EXPECT_FALSE(got.report.rejected);

        // The same page read as another block size: the header's page size disagrees.
        const uint16_t other = blockSize == 8192 ? 16384 : 8192;
        Bytes bigger = page;
        bigger.resize(std::max(blockSize, other), 0);
        const PageRows wrong = readHeap(bigger, layout, other);
        EXPECT_TRUE(wrong.rows.empty());
        EXPECT_TRUE(wrong.report.rejected);
        EXPECT_NE(wrong.reason.find("page size"), std::string::npos) << wrong.reason;
    }
}

TEST(HeapPage, MoreThanABatchOfTuplesIsReadInTwoCalls) {
    // 24-byte tuples (one NULL bool) fill a 32 KiB page with well over 1000 line pointers;
    // two marked tuples sit on either side of the batch boundary.
    const ColumnLayout layout = layoutOf({kBoolCol});
    HeapPageBuilder builder(32768);
    const Bytes empty = HT().null().build();
    ASSERT_EQ(empty.size(), 24u);
    for (int i = 0; i < 1000 - 1; ++i)
        builder.addTuple(empty);
    builder.addTuple(HT().fixed({1}, 1).build());
    builder.addTuple(HT().fixed({0}, 1).build());
    while (builder.fits(empty.size()))
        builder.addTuple(empty);
    const uint32_t items = builder.itemCount();
    ASSERT_GT(items, 1150u);

    TableBlock reader(layout, nullptr);
    ColumnBatch batch = makeColumnBatch(layout);
    const Bytes page = builder.build();
    reader.setBuffer(page.data(), 32768);
    ASSERT_EQ(reader.itemCount(), items);
    uint32_t next = 0;
    EXPECT_EQ(reader.readTuples(batch, next), kBatchRows);
    EXPECT_EQ(next, kBatchRows);
    EXPECT_EQ(rowOf(batch, 999), (Row{val(Bytes{1})}));
    EXPECT_EQ(reader.readTuples(batch, next), items - kBatchRows);
    EXPECT_EQ(next, items);
    EXPECT_EQ(rowOf(batch, 0), (Row{val(Bytes{0})}));
    EXPECT_EQ(rowOf(batch, 1), (Row{kNull}));
}

// ---- damage --------------------------------------------------------------------------------

TEST(HeapPage, DamagedPageHeadersAreRejectedWithTheReason) {
    const ColumnLayout layout = layoutOf({kInt4Col});
    const Bytes good = pageOf({HT().fixed(le<int32_t>(1), 4).build()});
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
        const char* reason;  // nullptr: no rows, but not damage
    };
    const Case cases[] = {
        {"new page, all zero", [](Bytes& p) { std::fill(p.begin(), p.end(), 0); }, nullptr},
        {"initialised, no line pointers", [](Bytes& p) { setU16(p, 12, 24); }, nullptr},
        {"pd_upper 0 on a used page", [](Bytes& p) { setU16(p, 14, 0); },
         "pd_upper 0 on a page that is not all zero"},
        {"pd_lower inside the header", [](Bytes& p) { setU16(p, 12, 20); },
         "pd_lower 20 below the header end 24"},
        {"pd_lower above pd_upper", [](Bytes& p) { setU16(p, 12, 8180); },
         "pd_lower 8180 above pd_upper 8160"},
        {"pd_upper above pd_special", [](Bytes& p) { setU16(p, 16, 8000); },
         "pd_upper 8160 above pd_special 8000"},
        {"pd_special past the block", [](Bytes& p) { setU16(p, 16, 9000); },
         "pd_special 9000 beyond the block size 8192"},
        {"layout version 5", [](Bytes& p) { setU16(p, 18, 8192 | 5); },
         "layout version 5, expected 4 or 6"},
        {"page size of another cluster", [](Bytes& p) { setU16(p, 18, 16384 | 4); },
         "page size 16384 in the header, expected 8192"},
    };
    TableBlock reader(layout, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes page = good;
        c.damage(page);
        const PageRows got = readAll(reader, page, layout, kBlock);
        EXPECT_TRUE(got.rows.empty());
        EXPECT_EQ(got.itemCount, 0u);
        EXPECT_EQ(got.report.rejected, c.reason != nullptr);
        EXPECT_EQ(got.reason, c.reason ? c.reason : "");
        // The reader serves the next page as if nothing happened.
        const PageRows after = readAll(reader, good, layout, kBlock);
        EXPECT_EQ(after.rows.size(), 1u);
        EXPECT_FALSE(after.report.rejected);
        EXPECT_EQ(after.report.reason, nullptr);
    }
}

TEST(HeapPage, DamagedTuplesAreCountedAndTheirRowReused) {
    // Each case puts one damaged tuple before a good one: the good one must land in row 0
    // and the damaged one be counted with its item number and reason.
    const ColumnLayout layout = layoutOf({kInt4Col, kInt8Col, kTextCol, column(2275, -2, 'c')});
    const auto full = [] {
        return HT()
            .fixed(le<int32_t>(1), 4)
            .fixed(le<int64_t>(2), 8)
            .varlena4(Bytes(100, 't'))
            .cstring("end");
    };
    const Bytes good = full().build();  // hoff 24: int4 24, int8 32, text 40..143, cstring 144
    struct Case {
        const char* name;
        std::function<void(HeapPageBuilder&)> add;
        const char* reason;
    };
    const auto cut = [](Bytes t, size_t n) {
        truncate(t, n);
        return t;
    };
    const Case cases[] = {
        {"item shorter than a tuple header",
         [&](HeapPageBuilder& p) { p.addLinePointer(linePointer(8000, 1, 10)); },
         "item length 10 shorter than the tuple header 23"},
        {"item past the page end",
         [&](HeapPageBuilder& p) { p.addLinePointer(linePointer(8150, 1, 100)); },
         "item at offset 8150, length 100 outside the page"},
        {"item inside the page header",
         [&](HeapPageBuilder& p) { p.addLinePointer(linePointer(8, 1, 30)); },
         "item at offset 8, length 30 outside the page"},
        {"t_hoff over the null bitmap",
         [&](HeapPageBuilder& p) {
             p.addTuple(HT().fixed(le<int32_t>(1), 4).null().hoff(23).build());
         },
         "t_hoff 23, expected 24 (header, null bitmap of 2 attributes)"},
        {"t_hoff past the item",
         [&](HeapPageBuilder& p) { p.addTuple(HT().fixed(le<int32_t>(1), 4).hoff(200).build()); },
         "t_hoff 200, expected 24 (header, null bitmap of 1 attributes)"},
        {"fixed value cut short", [&](HeapPageBuilder& p) { p.addTuple(cut(full().build(), 36)); },
         "attribute 2: 8 bytes at offset 32 pass the tuple end 36"},
        {"varlena cut short", [&](HeapPageBuilder& p) { p.addTuple(cut(full().build(), 100)); },
         "attribute 3: varlena at offset 40 passes the tuple end 100"},
        {"short varlena cut short",
         [&](HeapPageBuilder& p) {
             p.addTuple(cut(HT().fixed(le<int32_t>(1), 4)
                                .fixed(le<int64_t>(2), 8)
                                .varlenaShort(Bytes(50, 's'))
                                .build(),
                            60));
         },
         "attribute 3: varlena at offset 40 passes the tuple end 60"},
        {"more attributes than bytes",
         [&](HeapPageBuilder& p) {
             p.addTuple(HT().fixed(le<int32_t>(1), 4).fixed(le<int64_t>(2), 8).natts(3).build());
         },
         "attribute 3: no bytes left at offset 40 of 40"},
        {"string without its NUL",
         [&](HeapPageBuilder& p) { p.addTuple(cut(good, good.size() - 1)); },
         "attribute 4: string at offset 144 has no end before 147"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HeapPageBuilder page(kBlock);
        c.add(page);
        page.addTuple(good);
        const PageRows got = readHeap(page.build(), layout);
        ASSERT_EQ(got.rows.size(), 1u);
        EXPECT_EQ(got.rows[0][3], val("end"));
        EXPECT_EQ(got.report.tuplesRejected, 1u);
        EXPECT_EQ(got.report.reasonItem, 1u);
        EXPECT_EQ(got.reason, c.reason);
        EXPECT_FALSE(got.report.rejected);
    }
}

TEST(HeapPage, UnreadableValuesAreNullAndCountedTheRowKept) {
    // varchar(2) has a 24-byte slot: a longer value cannot be stored in it.
    const ColumnLayout layout =
        layoutOf({kInt4Col, kTextCol, column(kVarchar, -1, 'i', 2 + 4), kTextCol, kTextCol});
    const Bytes tuple = HT().fixed(le<int32_t>(1), 4)
                            .externalPointer(5000, 4000, 77, 16400)  // no TOAST relation
                            .varlenaShort(Bytes(30, 'v'))
                            .compressedInline(Bytes(100, 'm'), 2)  // method 2: unsupported
                            .varlenaShort(bytesOf("last"))
                            .build();
    const PageRows got = readHeap(pageOf({tuple}), layout);
    ASSERT_EQ(got.rows.size(), 1u);
    EXPECT_EQ(got.rows[0], (Row{val(le<int32_t>(1)), kNull, kNull, kNull, val("last")}));
    EXPECT_EQ(got.report.toastValuesMissing, 1u);
    EXPECT_EQ(got.report.valuesUnreadable, 2u);
    EXPECT_EQ(got.report.tuplesRejected, 0u);
}

TEST(HeapPage, SetBufferRefusesWhatCannotBeAPage) {
    TableBlock reader(layoutOf({kInt4Col}), nullptr);
    const Bytes page(kBlock, 0);
    const auto message = [&](const uint8_t* p, uint16_t size) -> std::string {
        try {
            reader.setBuffer(p, size);
        } catch (const BlockExcept& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(message(nullptr, kBlock), "block buffer is NULL");
    EXPECT_EQ(message(page.data(), 1024), "block size [1024] must between 2048 and 32768");
    EXPECT_EQ(message(page.data(), 40000), "block size [40000] must between 2048 and 32768");
    EXPECT_EQ(message(page.data(), kBlock), "");
}

TEST(HeapPage, RandomDamageStaysInsideThePage) {
    // Bytes of a page with every kind of attribute overwritten at random: whatever the
    // reader makes of it, it must not read outside the page (the sanitizer build checks) nor
    // report more rows than items. The page buffer is exactly one block long.
    const ColumnLayout layout =
        layoutOf({kInt4Col, kInt8Col, kTextCol, dropped(8, 'd'), column(kVarchar, -1, 'i', 8 + 4),
                  column(2275, -2, 'c'), column(kInterval, 16, 'd')});
    HeapPageBuilder builder(kBlock);
    for (int i = 0; builder.fits(200); ++i) {
        HT t;
        t.fixed(le<int32_t>(i), 4).fixed(le<int64_t>(i), 8);
        if (i % 3 == 0)
            t.compressedInline(Bytes(120, 'c'), kPglz);
        else
            t.varlena4(Bytes(i % 50, 't'));
        t.fixed(le<int64_t>(-1), 8).varlenaShort(bytesOf("vc")).cstring("s").fixed(Bytes(16, 1), 8);
        builder.addTuple(t.build());
    }
    const Bytes good = builder.build();
    TableBlock reader(layout, nullptr);
    ToastBlock chunks;
    expectRandomDamageStaysInside(reader, chunks, good, layout, 12345, kBlock);
}

// ---- TOAST chunk lister --------------------------------------------------------------------

Bytes chunkTuple(uint32_t id, int32_t seq, const Bytes& data, uint32_t xmax = 0,
                 uint16_t infomask = kLive) {
    return HT()
        .xmax(xmax)
        .infomask(infomask)
        .fixed(le(id), 4)
        .fixed(le(seq), 4)
        .varlena4(data, 4)
        .build();
}

struct Listed {
    std::vector<ToastChunkRef> chunks;
    PageReport report;
    std::string reason;
};

Listed listChunks(const Bytes& page) {
    ToastBlock reader;
    reader.setBuffer(page.data(), kBlock);
    Listed out;
    reader.collectChunks(out.chunks);
    out.report = reader.pageReport();
    out.reason = out.report.reason ? out.report.reason : "";
    return out;
}

std::string chunkBytes(const Bytes& page, const ToastChunkRef& c) {
    return std::string(page.begin() + c.dataOffset, page.begin() + c.dataOffset + c.dataLength);
}

TEST(HeapToastPage, ChunksAreListedWithTheirBytesPlace) {
    HeapPageBuilder builder(kBlock);
    const Bytes a(1996, 'a'), b(8, 'b'), c(3, 'c');
    const uint16_t at0 = builder.addTuple(chunkTuple(7, 0, a));
    const uint16_t at1 = builder.addTuple(chunkTuple(7, 1, b));
    // A chunk id of 0 is listed; whether it is used is the index's business.
    builder.addTuple(chunkTuple(0, 0, c));
    // A chunk_data with a 1-byte header.
    builder.addTuple(HT().fixed(le<uint32_t>(8), 4)
                         .fixed(le<int32_t>(0), 4)
                         .varlenaShort(bytesOf("tiny"))
                         .build());
    const Bytes page = builder.build();
    const Listed got = listChunks(page);
    ASSERT_EQ(got.chunks.size(), 4u);
    EXPECT_EQ(got.chunks[0].chunkId, 7u);
    EXPECT_EQ(got.chunks[0].chunkSeq, 0);
    EXPECT_EQ(got.chunks[0].lpOff, at0);
    EXPECT_EQ(got.chunks[0].dataOffset, at0 + 24 + 8 + 4);
    EXPECT_EQ(got.chunks[0].blockNumber, 0u);
    EXPECT_EQ(chunkBytes(page, got.chunks[0]), std::string(a.begin(), a.end()));
    EXPECT_EQ(got.chunks[1].lpOff, at1);
    EXPECT_EQ(got.chunks[1].chunkSeq, 1);
    EXPECT_EQ(chunkBytes(page, got.chunks[1]), "bbbbbbbb");
    EXPECT_EQ(got.chunks[2].chunkId, 0u);
    EXPECT_EQ(chunkBytes(page, got.chunks[2]), "ccc");
    EXPECT_EQ(chunkBytes(page, got.chunks[3]), "tiny");
    EXPECT_EQ(got.report.tuplesRejected, 0u);
}

TEST(HeapToastPage, ChunkSelectionAndDamage) {
    HeapPageBuilder builder(kBlock);
    builder.addTuple(chunkTuple(1, 0, {1}, 900, HT::kXminCommitted));  // deleted: skipped
    builder.addTuple(chunkTuple(2, 0, {2}, 900, HT::kXminCommitted | 0x0080 | 0x0010));  // locked
    builder.addTuple(
        HT().fixed(le<uint32_t>(3), 4).fixed(le<int32_t>(0), 4).build());  // 2 attributes
    Bytes cut = chunkTuple(4, 0, Bytes(40, 'x'));
    truncate(cut, cut.size() - 10);
    builder.addTuple(cut);  // data cut
    builder.addTuple(HT().fixed(le<uint32_t>(5), 4)
                         .fixed(le<int32_t>(0), 4)
                         .compressedInline(Bytes(100, 'z'), kPglz)
                         .build());  // compressed
    builder.addTuple(chunkTuple(6, 0, {6}));
    const Listed got = listChunks(builder.build());
    ASSERT_EQ(got.chunks.size(), 2u);
    EXPECT_EQ(got.chunks[0].chunkId, 2u);
    EXPECT_EQ(got.chunks[1].chunkId, 6u);
    EXPECT_EQ(got.report.tuplesRejected, 3u);
    EXPECT_EQ(got.report.reasonItem, 3u);
    EXPECT_EQ(got.reason, "chunk tuple with 2 attributes, expected 3");
}

TEST(HeapToastPage, RejectedPageListsNothing) {
    Bytes page = HeapPageBuilder(kBlock).build();
    setU16(page, 12, 10);
    const Listed got = listChunks(page);
    EXPECT_TRUE(got.chunks.empty());
    EXPECT_TRUE(got.report.rejected);
}

}  // namespace
}  // namespace vorn::test
