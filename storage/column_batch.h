#pragma once

// The decoded rows of one page, column by column. A page reader fills rows 0..n-1 and hands
// the batch with n to IDataWriter::writeRows; the batch is allocated once per table unload and
// reused for every page, so nothing here allocates per row except by-reference values whose
// strings grow to the largest value seen.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/column_def.h"

namespace vorn {

constexpr uint32_t kBatchRows = 1000;

struct ColumnValues {
    bool byRef = false;    // values in `values` (one string per row), else in fixed slots
    int32_t stride = 0;    // slot width in bytes; 0 when byRef or when the column holds nothing
    bool dropped = false;  // a dropped column: stepped over by the readers, never output
    std::unique_ptr<int32_t[]> lengths;  // byte length of each row's value; 0 for NULL
    // 1 where the row's value is NULL. Kept apart from the length so that an empty value ('')
    // and NULL stay different; a value that could not be read is NULL.
    std::unique_ptr<uint8_t[]> nulls;
    std::unique_ptr<uint8_t[]> data;        // stride * kBatchRows bytes, slot i at i * stride
    std::unique_ptr<std::string[]> values;  // kBatchRows strings when byRef

    bool isNull(uint32_t row) const { return nulls[row] != 0; }
    std::string_view value(uint32_t row) const {
        const auto n = static_cast<size_t>(lengths[row]);
        if (byRef)
            return std::string_view(values[row].data(), n);
        return std::string_view(reinterpret_cast<const char*>(data.get()) + size_t(row) * stride,
                                n);
    }
    void setNull(uint32_t row) {
        nulls[row] = 1;
        lengths[row] = 0;
    }
};

// One ColumnValues per column of the layout, plus what the page reader knows of each row's
// tuple beyond its values.
struct ColumnBatch : std::vector<ColumnValues> {
    using std::vector<ColumnValues>::vector;

    // Per row: 1 when the tuple's inserting transaction is known to have committed (hinted
    // committed or frozen, or the page all-visible), 0 when only the absence of an abort hint
    // let it through. Null when the batch was not made by makeColumnBatch.
    std::unique_ptr<uint8_t[]> committed;
};

// How a column's values are held, chosen from its type OID, type modifier and length.
struct ColumnForm {
    bool byRef = false;
    uint16_t stride = 0;
};
ColumnForm columnForm(const ColumnDef& column);
// The forms that follow from the modifier: char(n) and varchar(n), bit(n) and varbit(n),
// numeric(p,s); by reference when it gives no bound (-1, or too large for a slot).
ColumnForm characterForm(int32_t typmod);
ColumnForm bitForm(int32_t typmod);
ColumnForm numericForm(int32_t typmod);

// One ColumnValues per column of the layout, each with room for kBatchRows rows.
ColumnBatch makeColumnBatch(const ColumnLayout& columns);
void freeColumnBatch(ColumnBatch& batch);
// Gives back the memory of the strings of rows 0 .. rows-1 that hold more than `keep` bytes
// of capacity: after a batch of large values has been written, they are not kept for the next.
void releaseLargeValues(ColumnBatch& batch, uint32_t rows, size_t keep);

}  // namespace vorn
