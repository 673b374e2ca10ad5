#pragma once

// The writer of export format TEXT: one table's rows as a file in PostgreSQL's COPY text
// format, "<exportDirectory>/<stem>.txt", which COPY ... FROM (FORMAT text, DELIMITER d,
// NULL '') loads. Fields are split by the delimiter (textDelimiter when the writer is
// built), each row ends in a line feed, there is no header and no end marker. Values are
// rendered by their type's text output and escaped as the server's COPY TO escapes them
// (copy_text_escape.h); NULL and the empty value are both an empty field. A column whose
// type has no text output comes out as an empty field, with a warning at open.
//
// Rows are rendered into one buffer and written in chunks of about 1 MiB (a write failure
// throws from that write or from finish()); the file has its final name only after finish()
// (output_file.h).

#include <cstdint>
#include <string>
#include <vector>

#include "export/copy_text_escape.h"
#include "export/data_writer.h"
#include "export/output_file.h"
#include "storage/text_buffer.h"
#include "storage/value_text.h"

namespace vorn {

class CopyTextWriter : public DataWriter {
  public:
    CopyTextWriter(const ColumnLayout* columns, std::string schemaName, std::string tableName,
                   std::string fileSuffix, uint32_t tableOid);

    // The DDL script, then the data file; throws when the file cannot be created.
    void open() override;
    uint32_t writeRows(const ColumnBatch* batch, uint32_t rows) override;
    // Writes what is left, closes the file and gives it its final name; throws on failure.
    void finish() override;

    // The data file's final name; known from open().
    const std::string& filePath() const { return file_.finalPath(); }
    std::string outputFile() const override { return file_.finalPath(); }

  private:
    struct Field {
        size_t column;               // index into the layout and the batch
        TextOutputFn output;         // null: no output, an empty field
        bool plainBytes;             // text-like: escaped straight from the stored bytes
        bool mayNeedEscape;          // the output can contain a byte the escape table marks
        uint64_t refused = 0;        // values the output could not render: written empty
        uint64_t withoutOutput = 0;  // values (not NULL) of a column without output: empty
        uint64_t empty = 0;          // values rendered as nothing ('' of a text type)
    };

    void appendValue(Field& field, const ColumnValues& values, uint32_t row);
    void escapeFrom(size_t start);
    void flush();

    char separator_;
    CopyTextEscape escape_;
    std::vector<Field> fields_;
    TextBuffer buffer_;
    TextBuffer scratch_;  // the rest of a rendered value that needs escapes
    OutputFile file_;
    bool open_ = false;  // from open() to finish()
};

}  // namespace vorn
