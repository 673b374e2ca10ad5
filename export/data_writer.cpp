#include "export/data_writer.h"

#include <fmt/format.h>

#include <exception>

#include "base/terminal_text.h"
#include "export/create_table_ddl.h"
#include "export/export_settings.h"
#include "export/export_warning.h"
#include "export/file_names.h"
#include "export/output_file.h"

namespace vorn {

namespace {

// "2 in column "a" (type OID 25), 1 in column "b" (type OID 114)" for the columns with a
// count above 0; `total` receives their sum.
std::string countsByColumn(const std::vector<std::pair<const ColumnDef*, uint64_t>>& counts,
                           uint64_t& total) {
    std::string list;
    total = 0;
    for (const auto& [column, n] : counts) {
        if (n == 0)
            continue;
        total += n;
        if (!list.empty())
            list += ", ";
        list += fmt::format("{} in column \"{}\" (type OID {})", n, terminalText(column->name()),
                            column->atttypid);
    }
    return list;
}

}  // namespace

std::string tableFileStem(std::string_view schemaName, std::string_view tableName,
                          std::string_view fileSuffix) {
    std::string stem;
    if (!schemaName.empty()) {
        stem.append(schemaName);
        stem += '_';
    }
    stem.append(tableName);
    if (!fileSuffix.empty()) {
        stem += '.';
        stem.append(fileSuffix);
    }
    return stem;
}

DataWriter::DataWriter(const ColumnLayout* columns, std::string schemaName, std::string tableName,
                       std::string fileSuffix, uint32_t tableOid)
    : schemaName_(std::move(schemaName)),
      tableName_(std::move(tableName)),
      fileSuffix_(std::move(fileSuffix)),
      fileStem_(tableFileStem(schemaName_, tableName_, fileSuffix_)),
      columns_(columns),
      tableOid_(tableOid) {}

void DataWriter::appendMessage(const std::string& text) {
    std::lock_guard<std::mutex> lock(messageMutex_);
    messageText_ += '\n';
    messageText_ += text;
}

std::string DataWriter::messages() {
    std::lock_guard<std::mutex> lock(messageMutex_);
    return messageText_;
}

std::string DataWriter::quotedName() const {
    return fmt::format("\"{}\".\"{}\"", terminalText(schemaName_), terminalText(tableName_));
}

std::string DataWriter::exportFilePath(std::string_view stem, std::string_view extension) const {
    const std::string name =
        claimFileName(exportDirectory, stem, {FileOwnerKind::kTable, databaseOid_, tableOid_});
    if (exportDirectory.empty())
        return fmt::format("{}{}", name, extension);
    return fmt::format("{}/{}{}", exportDirectory, name, extension);
}

void DataWriter::warnColumns(const std::vector<const ColumnDef*>& columns, std::string_view lacking,
                             std::string_view writtenAs) const {
    if (columns.empty())
        return;
    std::string list;
    for (const ColumnDef* column : columns) {
        if (!list.empty())
            list += ", ";
        list += fmt::format("\"{}\" (type OID {})", terminalText(column->name()), column->atttypid);
    }
    warnExport(fmt::format("Table {}: {} for column{} {}; written as {}.", quotedName(), lacking,
                           columns.size() == 1 ? "" : "s", list, writtenAs));
}

std::string DataWriter::valuesNotWritten() {
    std::lock_guard<std::mutex> lock(messageMutex_);
    return notWritten_;
}

void DataWriter::noteValuesWithoutOutput(
    const std::vector<std::pair<const ColumnDef*, uint64_t>>& counts, std::string_view lacking,
    std::string_view writtenAs) {
    uint64_t total = 0;
    const std::string list = countsByColumn(counts, total);
    if (total == 0)
        return;
    std::lock_guard<std::mutex> lock(messageMutex_);
    if (!notWritten_.empty())
        notWritten_ += "; ";
    notWritten_ += fmt::format("{} value{} written as {}, {} ({})", total, total == 1 ? "" : "s",
                               writtenAs, lacking, list);
}

void DataWriter::warnUnreadableValues(
    const std::vector<std::pair<const ColumnDef*, uint64_t>>& counts, std::string_view writtenAs) {
    uint64_t total = 0;
    const std::string list = countsByColumn(counts, total);
    if (total == 0)
        return;
    warnExport(fmt::format("Table {}: {} value{} not readable as {} type ({}); written as {}.",
                           quotedName(), total, total == 1 ? "" : "s", total == 1 ? "its" : "their",
                           list, writtenAs));
    std::lock_guard<std::mutex> lock(messageMutex_);
    if (!notWritten_.empty())
        notWritten_ += "; ";
    notWritten_ +=
        fmt::format("{} value{} not readable as {} type, written as {} ({})", total,
                    total == 1 ? "" : "s", total == 1 ? "its" : "their", writtenAs, list);
}

void DataWriter::writeDdlScript() {
    // The script of a partition is its table's: the suffix is not part of the name.
    const std::string stem = fmt::format("{}_{}", schemaName_, tableName_);
    std::string unnamedColumn;
    const std::string ddl =
        buildCreateTableDdl(schemaName_, tableName_, *columns_, true, &unnamedColumn);
    if (ddl.empty()) {
        warnExport(fmt::format(
            "Table {}: no DDL script written, the type of column {} has no SQL name.", quotedName(),
            unnamedColumn.empty() ? std::string("?") : terminalText(unnamedColumn)));
        return;
    }
    std::string path;
    try {
        path = exportFilePath(stem, ".sql");
        // The names are in the database's own encoding: the target is told so first.
        writeWholeFile(path, clientEncodingStatement(databaseOid_) + ddl + ";");
    } catch (const std::exception& e) {
        warnExport(fmt::format("Table {}: no DDL script written: {}", quotedName(), e.what()));
    }
}

}  // namespace vorn
