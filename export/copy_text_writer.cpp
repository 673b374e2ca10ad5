#include "export/copy_text_writer.h"

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

#include "export/export_settings.h"
#include "export/export_warning.h"
#include "storage/copy_binary_buffer.h"
#include "storage/copy_binary_encode.h"
#include "storage/type_table.h"

namespace vorn {

namespace {

// The buffer starts with room for a flush's worth and a row beyond it.
constexpr size_t kInitialBuffer = copyFlushThreshold + 64 * 1024;

// Every byte the outputs of numbers, booleans, bit strings, dates, times and intervals (the
// types whose rows of the type table say plainText) can write: digits, ASCII letters (NaN,
// Infinity, e, BC, years, mons, ...), space and + - . :
bool isPlainOutputByte(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ' ' ||
           c == '+' || c == '-' || c == '.' || c == ':';
}

}  // namespace

CopyTextWriter::CopyTextWriter(const ColumnLayout* columns, std::string schemaName,
                               std::string tableName, std::string fileSuffix, uint32_t tableOid)
    : DataWriter(columns, std::move(schemaName), std::move(tableName), std::move(fileSuffix),
                 tableOid),
      separator_(textDelimiter),
      escape_(textDelimiter) {}

void CopyTextWriter::open() {
    writeDdlScript();

    // A type whose output writes only plain bytes needs an escape only when the delimiter is
    // one of them.
    bool plainNeedsEscape = false;
    for (int c = 0; c < 256; ++c)
        if (isPlainOutputByte(static_cast<unsigned char>(c)) &&
            escape_.escapeOf(static_cast<unsigned char>(c)) != 0)
            plainNeedsEscape = true;
    fields_.clear();
    std::vector<const ColumnDef*> withoutOutput;
    const ColumnLayout& layout = columns();
    for (size_t c = 0; c < layout.size(); ++c) {
        if (!isCopyField(layout[c]))
            continue;
        const TextOutputFn output = textOutputFor(layout[c]);
        if (output == nullptr)
            withoutOutput.push_back(&layout[c]);
        const TypeInfo* type = findType(layout[c].atttypid);
        const bool plain = type != nullptr && type->plainText;
        fields_.push_back(
            {c, output, output == outputText, output != nullptr && (plainNeedsEscape || !plain)});
    }
    warnColumns(withoutOutput, "no text output", "empty fields");

    file_.create(exportFilePath(fileStem(), ".txt"));
    open_ = true;
    buffer_.reserve(kInitialBuffer);
}

void CopyTextWriter::appendValue(Field& field, const ColumnValues& values, uint32_t row) {
    // An empty value is not NULL: an empty bytea is still "\\x", as the server writes it.
    if (values.isNull(row) || values.lengths[row] < 0)
        return;
    if (field.output == nullptr) {
        ++field.withoutOutput;
        return;
    }
    const std::string_view value = values.value(row);
    if (field.plainBytes) {
        if (value.empty())
            ++field.empty;
        escape_.append(value.data(), value.size(), buffer_);
        return;
    }
    const size_t start = buffer_.size();
    if (!field.output(reinterpret_cast<const uint8_t*>(value.data()),
                      static_cast<uint32_t>(value.size()), columns()[field.column], buffer_)) {
        ++field.refused;  // not a value of its type: an empty field, counted
        return;
    }
    if (buffer_.size() == start)
        ++field.empty;
    else if (field.mayNeedEscape)
        escapeFrom(start);
}

void CopyTextWriter::escapeFrom(size_t start) {
    // Most rendered values need no escape; the others (bytea's "\x", a delimiter among the
    // characters of a date or number) are escaped from the first byte that does.
    const size_t rendered = buffer_.size() - start;
    const size_t clean = escape_.firstSpecial(buffer_.data() + start, rendered);
    if (clean == rendered)
        return;
    scratch_.clear();
    scratch_.append(buffer_.data() + start + clean, rendered - clean);
    buffer_.truncate(start + clean);
    escape_.append(scratch_.data(), scratch_.size(), buffer_);
}

uint32_t CopyTextWriter::writeRows(const ColumnBatch* batch, uint32_t rows) {
    if (!open_)
        throw std::runtime_error(fmt::format("table {}: data file not open", quotedName()));
    if (batch->size() < columns().size())
        throw std::runtime_error(fmt::format("table {}: batch of {} columns for {}", quotedName(),
                                             batch->size(), columns().size()));
    for (uint32_t row = 0; row < rows; ++row) {
        for (size_t f = 0; f < fields_.size(); ++f) {
            if (f != 0)
                buffer_.push_back(separator_);
            appendValue(fields_[f], (*batch)[fields_[f].column], row);
        }
        buffer_.push_back('\n');
        if (buffer_.size() >= copyFlushThreshold)
            flush();
    }
    return rows;
}

void CopyTextWriter::flush() {
    file_.write(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void CopyTextWriter::finish() {
    if (!open_)
        throw std::runtime_error(fmt::format("table {}: data file not open", quotedName()));
    open_ = false;
    flush();
    file_.commit();
    std::vector<std::pair<const ColumnDef*, uint64_t>> refused;
    std::vector<std::pair<const ColumnDef*, uint64_t>> withoutOutput;
    uint64_t empty = 0;
    for (const Field& field : fields_) {
        refused.emplace_back(&columns()[field.column], field.refused);
        if (field.output == nullptr)
            withoutOutput.emplace_back(&columns()[field.column], field.withoutOutput);
        empty += field.empty;
    }
    warnUnreadableValues(refused, "empty fields");
    noteValuesWithoutOutput(withoutOutput, "no text output", "empty fields");
    // NULL and '' are both an empty field in these files, and COPY FROM reads an empty field
    // as NULL: the empty strings do not come back as they were.
    if (empty > 0)
        warnExport(
            fmt::format("Table {}: {} empty string{} written as empty field{}, which COPY "
                        "FROM loads as NULL (the BINARY and DB formats keep them).",
                        quotedName(), empty, empty == 1 ? "" : "s", empty == 1 ? "" : "s"));
}

}  // namespace vorn
