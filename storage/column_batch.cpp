#include "storage/column_batch.h"

namespace vorn {

namespace {

// Bytes a page reader stores for a fixed-width type. The slot is sized from the type, not
// from the catalogue's attlen: U pages store xid in 8 bytes although attlen says 4, and a
// damaged attlen must not make a slot smaller than what the reader writes into it.
uint16_t fixedWidth(uint32_t typeOid) {
    switch (typeOid) {
        case typeoid::kBool:
        case typeoid::kChar:
        case typeoid::kTinyint:
            return 1;
        case typeoid::kInt2:
            return 2;
        case typeoid::kInt4:
        case typeoid::kOid:
        case typeoid::kXid32:
        case typeoid::kFloat4:
        case typeoid::kDate:
            return 4;
        case typeoid::kXid:  // 4 bytes on heap pages, 8 on U pages
        case typeoid::kInt8:
        case typeoid::kFloat8:
        case typeoid::kMoney:
        case typeoid::kTime:
        case typeoid::kTimestamp:
        case typeoid::kTimestampTz:
        case typeoid::kDatetime:
            return 8;
        case typeoid::kTimeTz:
            return 12;
        case typeoid::kInterval:
            return 16;
        case typeoid::kName:
            return 64;
        default:
            return 0;
    }
}

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

ColumnForm columnForm(const ColumnDef& column) {
    const int32_t typmod = column.atttypmod;
    switch (column.atttypid) {
        case typeoid::kBpchar:
        case typeoid::kVarchar:
            // atttypmod is the character count + 4; a character takes up to 4 bytes. A
            // typmod too small to be real (below char(1)) gets no slot it could overrun.
            if (typmod < 5 || typmod > 1003)
                return kByRef;
            return fixed(static_cast<uint32_t>(typmod) * 4);
        case typeoid::kBit:
        case typeoid::kVarbit:
            // atttypmod is the bit count; the value holds a 4-byte bit count and the bytes.
            if (typmod < 0 || typmod > 7999)
                return kByRef;
            return packedForm(static_cast<uint32_t>(typmod) / 8);
        case typeoid::kNumeric: {
            // Precision in the upper 16 bits; a negative typmod reads as a huge precision.
            const uint32_t precision = static_cast<uint32_t>(typmod) >> 16;
            if (typmod == -1 || precision > 999)
                return kByRef;
            return packedForm(precision);
        }
        default:
            break;
    }
    if (const uint16_t width = fixedWidth(column.atttypid); width != 0)
        return fixed(width);
    // bytea, text, json, xml, jsonb and every type the engine does not know by number.
    return kByRef;
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
