#pragma once

// The rows of a PGCOPY stream (layout in storage/copy_binary_buffer.h), encoded from the
// column batches of a table unload into a CopyBinaryBuffer. Shared by the two writers of the
// stream: CopyBinaryWriter writes it to a file, CopyDBWriter sends it to a server.
//
// Each row has one field per live user column (copyFieldCount): NULL is int32 -1, an empty
// value a field of length 0, a column whose type has no binary encoder (jsonb, uuid, inet,
// enums, arrays, ...) NULL, and a value its encoder cannot read (bytes that are no value of
// the type) NULL as well, counted per column.
//
// Use: plan() once per table, then per batch bind() and encode() until it has done all
// rows; encode() returns after any row that brings the buffer to copyFlushThreshold or more,
// so that the caller can write the buffer out in whole rows.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "storage/column_batch.h"
#include "storage/column_def.h"
#include "storage/copy_binary_buffer.h"
#include "storage/copy_binary_encode.h"

namespace vorn {

class CopyBinaryRows {
  public:
    // Chooses the field of each live column of `layout` (not owned; it outlives the
    // encoder). Throws std::runtime_error when the table has more fields than a row can
    // count (65535); `table` names it in the message. `clientEncoding` is the PostgreSQL name
    // of the encoding the values are in (their database's): for one other than UTF8 and
    // SQL_ASCII, xml values name it in their declaration, as the server sends them.
    void plan(const ColumnLayout& layout, const std::string& table,
              const std::string& clientEncoding = "UTF8");

    uint16_t fieldCount() const { return fieldCount_; }
    // The layout's columns that are fields of a row, in order.
    std::vector<const ColumnDef*> fieldColumns() const;
    // The fields sent as NULL for want of an encoder.
    std::vector<const ColumnDef*> columnsWithoutEncoder() const;
    // Per field: the values its encoder could not read, sent as NULL.
    std::vector<std::pair<const ColumnDef*, uint64_t>> refusedValues() const;
    // Per field without encoder: the values that were not NULL, sent as NULL.
    std::vector<std::pair<const ColumnDef*, uint64_t>> valuesWithoutEncoder() const;

    // Takes the arrays of `batch` for the next encode() calls; false (and nothing to encode)
    // when the batch has fewer columns than the layout.
    bool bind(const ColumnBatch& batch);
    // Appends rows first .. rows-1 of the bound batch to `buffer`, stopping after the first
    // row that leaves buffer.full(); returns the number of the next row to encode (rows when
    // all are done).
    uint32_t encode(uint32_t first, uint32_t rows, CopyBinaryBuffer& buffer);

  private:
    // The kinds the row loop writes inline; kOther calls the encoder through the buffer.
    using Kind = BinaryFieldKind;

    struct Field {
        size_t column;           // index into the layout and the batch
        BinaryEncodeFn encoder;  // null: sent as NULL
        Kind kind;
        bool declaresEncoding = false;  // xml of a client encoding the declaration names
        uint64_t refused = 0;           // values the encoder could not read: sent as NULL
        uint64_t withoutEncoder = 0;    // values (not NULL) of a field without encoder: NULL
    };

    // One field's arrays in the batch at hand, looked up once per bind().
    struct Cursor {
        const uint8_t* nulls;
        const int32_t* lengths;
        const uint8_t* data;        // fixed slots, slot i at i * stride
        const std::string* values;  // one string per row when byRef
        bool byRef;
        size_t stride;
        BinaryEncodeFn encoder;
        Kind kind;
        const std::string* xmlEncoding;  // set: encodeBinaryXmlDeclaring with it, not encoder
        uint64_t* refused;               // the field's count
        uint64_t* withoutEncoder;        // the field's count
    };

    // Bytes past the length word that a field of this kind has whatever its value.
    static size_t fixedBody(Kind kind);

    const ColumnLayout* layout_ = nullptr;
    std::string xmlEncoding_;
    std::vector<Field> fields_;
    std::vector<Cursor> cursors_;
    // Room each row takes at most outside the bytes of its Bytes and Numeric values: the
    // field count and every field's length word and fixed-width body.
    size_t rowReserve_ = 0;
    uint16_t fieldCount_ = 0;
};

}  // namespace vorn
