#pragma once

// Shared by the heap and U page reader tests: column layouts in one line, and a page read
// to the end the way the unload loop reads it (readTuples until the items are used up),
// with the rows turned into comparable values.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/column_batch.h"
#include "storage/column_def.h"
#include "storage/page_reader.h"
#include "tests/storage/support/page_builder.h"

namespace vorn::test {

inline ColumnDef column(uint32_t type, int32_t attlen, char attalign, int32_t typmod = -1) {
    ColumnDef c;
    c.atttypid = type;
    c.attlen = attlen;
    c.attalign = attalign;
    c.atttypmod = typmod;
    return c;
}

// A dropped column keeps its attlen and attalign; only the type is gone.
inline ColumnDef dropped(int32_t attlen, char attalign) {
    return column(0, attlen, attalign);
}

inline ColumnDef withMissing(ColumnDef c, const Bytes& value) {
    c.hasMissing = true;
    c.missingValue.assign(value.begin(), value.end());
    return c;
}

// Numbers the columns 1, 2, ... and names them c1, c2, ...
inline ColumnLayout layoutOf(std::vector<ColumnDef> columns) {
    for (size_t i = 0; i < columns.size(); ++i) {
        columns[i].attnum = static_cast<int16_t>(i + 1);
        columns[i].setName("c" + std::to_string(i + 1));
    }
    return columns;
}

using Value = std::optional<std::string>;  // nullopt: NULL
using Row = std::vector<Value>;

inline Value val(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}
inline Value val(const std::string& text) {
    return text;
}
inline const Value kNull = std::nullopt;

struct PageRows {
    std::vector<Row> rows;
    std::vector<uint32_t> calls;  // rows returned by each readTuples call
    uint32_t itemCount = 0;
    PageReport report;
    std::string reason;  // report.reason copied, "" when none
};

inline Row rowOf(const ColumnBatch& batch, uint32_t row) {
    Row out;
    for (const ColumnValues& c : batch)
        out.push_back(c.isNull(row) ? kNull : Value(std::string(c.value(row))));
    return out;
}

template <typename Reader>
PageRows readAll(Reader& reader, const Bytes& page, const ColumnLayout& layout,
                 uint16_t blockSize) {
    ColumnBatch batch = makeColumnBatch(layout);
    PageRows out;
    reader.setBuffer(page.data(), blockSize);
    out.itemCount = reader.itemCount();
    uint32_t next = 0;
    while (next < reader.itemCount()) {
        const uint32_t before = next;
        const uint32_t n = reader.readTuples(batch, next);
        if (next == before)
            break;  // no progress: a reader bug, not a loop forever
        out.calls.push_back(n);
        for (uint32_t r = 0; r < n; ++r)
            out.rows.push_back(rowOf(batch, r));
    }
    out.report = reader.pageReport();
    out.reason = out.report.reason ? out.report.reason : "";
    return out;
}

// The rows a page yields, without keeping them: for reading many pages quickly.
template <typename Reader>
uint32_t countRows(Reader& reader, const Bytes& page, ColumnBatch& batch, uint16_t blockSize) {
    reader.setBuffer(page.data(), blockSize);
    uint32_t rows = 0, next = 0;
    while (next < reader.itemCount())
        rows += reader.readTuples(batch, next);
    return rows;
}

// Overwrites 1 to 8 random bytes of `good` (and on every other round one more among the
// first 200, the header and line pointers, where damage matters most), 3000 rounds from
// `seed`, and reads each page with `reader` and `chunks`: no more rows than items, no chunk
// outside the page. The page buffer is exactly one block long, so the sanitizer build
// catches a read past it.
template <typename Reader, typename ChunkLister>
void expectRandomDamageStaysInside(Reader& reader, ChunkLister& chunks, const Bytes& good,
                                   const ColumnLayout& layout, uint32_t seed, uint16_t blockSize) {
    std::vector<ToastChunkRef> listed;
    ColumnBatch batch = makeColumnBatch(layout);
    const auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int round = 0; round < 3000; ++round) {
        Bytes page = good;
        const int flips = 1 + static_cast<int>(next() % 8);
        for (int f = 0; f < flips; ++f)
            page[next() % page.size()] = static_cast<uint8_t>(next() >> 16);
        if (round % 2 == 0)
            page[next() % 200] = static_cast<uint8_t>(next() >> 8);
        const uint32_t rows = countRows(reader, page, batch, blockSize);
        EXPECT_LE(rows, reader.itemCount());
        chunks.setBuffer(page.data(), blockSize);
        EXPECT_LE(chunks.collectChunks(listed), chunks.itemCount());
        for (const ToastChunkRef& c : listed)
            EXPECT_LE(size_t{c.dataOffset} + c.dataLength, page.size());
    }
}

}  // namespace vorn::test
