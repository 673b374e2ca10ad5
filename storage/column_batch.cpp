#include "storage/column_batch.h"

#include "storage/type_table.h"

namespace vorn {

namespace {

constexpr ColumnForm kByRef{true, 0};

ColumnForm fixed(uint32_t stride) {
    return ColumnForm{false, static_cast<uint16_t>(stride)};
}

// Room for the header (4 bytes) and the digits of a bit string or numeric of `digits`
// characters: d = digits + 3 rounded down to a multiple of 4, plus 16.
ColumnForm packedForm(uint32_t digits) {
    return fixed(((digits + 3) & ~3u) + 16);
}

}  // namespace

ColumnForm characterForm(int32_t typmod) {
    // atttypmod is the character count + 4; a character takes up to 4 bytes. A typmod too
    // small to be real (below char(1)) gets no slot it could overrun.
    if (typmod < 5 || typmod > 1003)
        return kByRef;
    return fixed(static_cast<uint32_t>(typmod) * 4);
}

ColumnForm bitForm(int32_t typmod) {
    // atttypmod is the bit count; the value holds a 4-byte bit count and the bytes.
    if (typmod < 0 || typmod > 7999)
        return kByRef;
    return packedForm(static_cast<uint32_t>(typmod) / 8);
}

ColumnForm numericForm(int32_t typmod) {
    // Precision in the upper 16 bits; a negative typmod reads as a huge precision.
    const uint32_t precision = static_cast<uint32_t>(typmod) >> 16;
    if (typmod == -1 || precision > 999)
        return kByRef;
    return packedForm(precision);
}

// The slot is sized from the type, not from the catalogue's attlen: U pages store xid in 8
// bytes although attlen says 4, and a damaged attlen must not make a slot smaller than what
// the reader writes into it.
ColumnForm columnForm(const ColumnDef& column) {
    const TypeInfo* type = findType(column.atttypid);
    if (type == nullptr)
        return kByRef;  // every type the engine does not know by number
    if (type->typmodForm != nullptr)
        return type->typmodForm(column.atttypmod);
    if (const uint16_t width = type->slotWidth(); width != 0)
        return fixed(width);
    return kByRef;  // bytea, text, json, xml, jsonb, ...
}

ColumnBatch makeColumnBatch(const ColumnLayout& columns) {
    ColumnBatch batch(columns.size());
    batch.committed = std::make_unique<uint8_t[]>(kBatchRows);
    for (size_t i = 0; i < columns.size(); ++i) {
        ColumnValues& values = batch[i];
        // Every column gets lengths and null flags, a dropped one too, so that a reader that
        // marks it NULL writes inside the batch; only its value storage is left out.
        values.lengths = std::make_unique<int32_t[]>(kBatchRows);
        values.nulls = std::make_unique<uint8_t[]>(kBatchRows);
        if (columns[i].isDropped()) {
            values.dropped = true;
            continue;
        }
        const ColumnForm form = columnForm(columns[i]);
        values.byRef = form.byRef;
        if (form.byRef) {
            values.values = std::make_unique<std::string[]>(kBatchRows);
        } else {
            values.stride = form.stride;
            values.data = std::make_unique<uint8_t[]>(size_t(form.stride) * kBatchRows);
        }
    }
    return batch;
}

void freeColumnBatch(ColumnBatch& batch) {
    for (ColumnValues& values : batch) {
        values.values.reset();
        values.data.reset();
        values.nulls.reset();
        values.lengths.reset();
    }
    batch.clear();
    batch.committed.reset();
}

void releaseLargeValues(ColumnBatch& batch, uint32_t rows, size_t keep) {
    for (ColumnValues& column : batch) {
        if (!column.byRef || !column.values)
            continue;
        for (uint32_t row = 0; row < rows && row < kBatchRows; ++row)
            if (column.values[row].capacity() > keep)
                std::string().swap(column.values[row]);
    }
}

}  // namespace vorn
