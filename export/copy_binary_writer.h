#pragma once

// The writer of export format BINARY: one table's rows as a PGCOPY file (layout in
// storage/copy_binary_buffer.h), "<exportDirectory>/<stem>.bin", which COPY ... FROM
// (FORMAT binary) loads. Each row has one field per live user column; NULL is int32 -1 and
// an empty value a field of length 0. A column whose type has no encoder (jsonb, uuid, inet,
// enums, arrays, ...) is sent as NULL, with a warning at open.
//
// The stream is built in one CopyBinaryBuffer and written after any row that brings it to
// copyFlushThreshold (1 MiB) or more; the trailer is added by finish() alone, so a file cut
// off by a failure never looks whole, and it has its final name only after finish().

#include <cstdint>
#include <string>
#include <vector>

#include "export/data_writer.h"
#include "export/output_file.h"
#include "storage/copy_binary_buffer.h"
#include "storage/copy_binary_encode.h"

namespace vorn {

class CopyBinaryWriter : public DataWriter {
  public:
    CopyBinaryWriter(const ColumnLayout* columns, std::string schemaName, std::string tableName,
                     std::string fileSuffix, uint32_t tableOid);

    // The DDL script, then the data file and the stream header; throws when the file cannot
    // be created.
    void open() override;
    uint32_t writeRows(const ColumnBatch* batch, uint32_t rows) override;
    // The trailer, the rest of the stream, and the file under its final name; throws on
    // failure.
    void finish() override;

    // The data file's final name; known from open().
    const std::string& filePath() const { return file_.finalPath(); }

  private:
    // The encoders the row loop writes inline; Other calls the encoder through the buffer.
    enum class Kind : uint8_t { Null, Int32, Int64, Bool, Bytes, Numeric, Other };

    struct Field {
        size_t column;           // index into the layout and the batch
        BinaryEncodeFn encoder;  // null: sent as NULL
        Kind kind;
        uint64_t refused = 0;  // values the encoder could not read: sent as NULL
    };

    // One field's arrays in the batch at hand, looked up once per writeRows().
    struct Cursor {
        const uint8_t* nulls;
        const int32_t* lengths;
        const uint8_t* data;        // fixed slots, slot i at i * stride
        const std::string* values;  // one string per row when byRef
        bool byRef;
        size_t stride;
        BinaryEncodeFn encoder;
        Kind kind;
        uint64_t* refused;  // the field's count
    };

    static Kind kindOf(BinaryEncodeFn encoder);
    // Bytes past the length word that a field of this kind has whatever its value.
    static size_t fixedBody(Kind kind);

    void flush();

    std::vector<Field> fields_;
    std::vector<Cursor> cursors_;
    // Room each row takes at most outside the bytes of its Bytes and Numeric values: the
    // field count and every field's length word and fixed-width body.
    size_t rowReserve_ = 0;
    uint16_t fieldCount_ = 0;
    CopyBinaryBuffer buffer_;
    OutputFile file_;
};

}  // namespace vorn
