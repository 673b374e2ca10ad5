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

    fields_.clear();
    std::vector<const ColumnDef*> withoutEncoder;
    const ColumnLayout& layout = columns();
    for (size_t c = 0; c < layout.size(); ++c) {
        if (!isCopyField(layout[c]))
            continue;
        const BinaryEncodeFn encoder = binaryEncoderFor(layout[c]);
        if (encoder == nullptr)
            withoutEncoder.push_back(&layout[c]);
        fields_.push_back({c, encoder});
    }
    if (fields_.size() > UINT16_MAX)
        throw std::runtime_error(fmt::format("table {}: {} columns, COPY takes at most {}",
                                             quotedName(), fields_.size(), UINT16_MAX));
    fieldCount_ = static_cast<uint16_t>(fields_.size());
    warnColumns(withoutEncoder, "no binary encoder", "NULL");

    file_.create(exportFilePath(fileStem(), ".bin"));
    buffer_.clear();
    buffer_.appendHeader();
}

uint32_t CopyBinaryWriter::writeRows(const ColumnBatch* batch, uint32_t rows) {
    if (!file_.isOpen())
        throw std::runtime_error(fmt::format("table {}: data file not open", quotedName()));
    if (batch->size() < columns().size())
        throw std::runtime_error(fmt::format("table {}: batch of {} columns for {}", quotedName(),
                                             batch->size(), columns().size()));
    for (uint32_t row = 0; row < rows; ++row) {
        buffer_.appendFieldCount(fieldCount_);
        for (const Field& field : fields_) {
            const ColumnValues& values = (*batch)[field.column];
            if (field.encoder == nullptr || values.isNull(row) || values.lengths[row] < 0) {
                buffer_.appendNull();
                continue;
            }
            // Not NULL: a length of 0 is an empty value, a field of length 0.
            const std::string_view value = values.value(row);
            field.encoder(reinterpret_cast<const uint8_t*>(value.data()),
                          static_cast<uint32_t>(value.size()), buffer_);
        }
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
}

}  // namespace vorn
