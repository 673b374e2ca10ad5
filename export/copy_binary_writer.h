#pragma once

// The writer of export format BINARY: one table's rows as a PGCOPY file (layout in
// storage/copy_binary_buffer.h), "<exportDirectory>/<stem>.bin", which COPY ... FROM
// (FORMAT binary) loads. Each row has one field per live user column; NULL is int32 -1 and
// an empty value a field of length 0. A column whose type has no encoder (jsonb, uuid, inet,
// enums, arrays, ...) is sent as NULL, with a warning at open.
//
// The rows are encoded by CopyBinaryRows (copy_binary_rows.h), the encoder CopyDBWriter
// shares. The stream is built in one CopyBinaryBuffer and written after any row that brings it to
// copyFlushThreshold (1 MiB) or more; the trailer is added by finish() alone, so a file cut
// off by a failure never looks whole, and it has its final name only after finish().

#include <cstdint>
#include <string>
#include <vector>

#include "export/copy_binary_rows.h"
#include "export/data_writer.h"
#include "export/output_file.h"
#include "storage/copy_binary_buffer.h"

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
    std::string outputFile() const override { return file_.finalPath(); }

  private:
    void flush();

    CopyBinaryRows rows_;
    CopyBinaryBuffer buffer_;
    OutputFile file_;
};

}  // namespace vorn
