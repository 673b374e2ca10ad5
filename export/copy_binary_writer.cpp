#include "export/copy_binary_writer.h"

#include <fmt/format.h>

#include <stdexcept>

namespace vorn {

CopyBinaryWriter::CopyBinaryWriter(const ColumnLayout* columns, std::string schemaName,
                                   std::string tableName, std::string fileSuffix, uint32_t tableOid)
    : DataWriter(columns, std::move(schemaName), std::move(tableName), std::move(fileSuffix),
                 tableOid) {}

void CopyBinaryWriter::open() {
    writeDdlScript();

    rows_.plan(columns(), quotedName(), clientEncoding());
    warnColumns(rows_.columnsWithoutEncoder(), "no binary encoder", "NULL");

    file_.create(exportFilePath(fileStem(), ".bin"));
    buffer_.clear();
    buffer_.appendHeader();
}

uint32_t CopyBinaryWriter::writeRows(const ColumnBatch* batch, uint32_t rows) {
    if (!file_.isOpen())
        throw std::runtime_error(fmt::format("table {}: data file not open", quotedName()));
    if (!rows_.bind(*batch))
        throw std::runtime_error(fmt::format("table {}: batch of {} columns for {}", quotedName(),
                                             batch->size(), columns().size()));
    for (uint32_t next = 0; next < rows;) {
        next = rows_.encode(next, rows, buffer_);
        if (buffer_.full())
            flush();
    }
    return rows;
}

void CopyBinaryWriter::flush() {
    file_.write(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void CopyBinaryWriter::finish() {
    if (!file_.isOpen())
        throw std::runtime_error(fmt::format("table {}: data file not open", quotedName()));
    buffer_.appendTrailer();
    flush();
    file_.commit();
    warnUnreadableValues(rows_.refusedValues(), "NULL");
    noteValuesWithoutOutput(rows_.valuesWithoutEncoder(), "no binary encoder", "NULL");
}

}  // namespace vorn
