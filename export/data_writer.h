#pragma once

// The shared base of the export writers (COPY text, COPY binary, target database): the
// table's names and column layout, the counters and message text every IDataWriter keeps,
// the stem of the output file's name, and the per-table DDL script of the file formats.
//
// File stem, from schema, table and partition suffix (no quoting or case change):
//
//   schema     suffix     stem
//   non-empty  empty      "<schema>_<table>"
//   non-empty  non-empty  "<schema>_<table>.<suffix>"
//   empty      empty      "<table>"
//   empty      non-empty  "<table>.<suffix>"
//
// The files themselves are named through claimFileName (file_names.h), which leaves such a
// stem as it is unless it holds bytes no file name should, or another table (this run's or
// an earlier one's) has taken it.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "storage/column_def.h"
#include "storage/data_writer.h"

namespace vorn {

class DataWriter : public IDataWriter {
  public:
    // `columns` is the table's layout, not owned; it outlives the writer.
    DataWriter(const ColumnLayout* columns, std::string schemaName, std::string tableName,
               std::string fileSuffix, uint32_t tableOid);
    DataWriter(const DataWriter&) = delete;
    DataWriter& operator=(const DataWriter&) = delete;

    const std::string& schemaName() const { return schemaName_; }
    const std::string& tableName() const { return tableName_; }
    const std::string& fileSuffix() const { return fileSuffix_; }
    uint32_t tableOid() const { return tableOid_; }
    // The table's database, which with the table's OID owns its file names (0 until set).
    uint32_t databaseOid() const { return databaseOid_; }
    void setDatabaseOid(uint32_t oid) { databaseOid_ = oid; }
    // The PostgreSQL name of the encoding the table's values are in (its database's), as a
    // client that reads them through COPY has it ("UTF8" until set).
    const std::string& clientEncoding() const { return clientEncoding_; }
    void setClientEncoding(std::string name) { clientEncoding_ = std::move(name); }
    const ColumnLayout& columns() const { return *columns_; }
    const std::string& fileStem() const { return fileStem_; }

    // The data file this writer writes (its final name), empty for a writer without one.
    virtual std::string outputFile() const { return {}; }

    // Writes "<exportDirectory>/<schema>_<table>.sql": the CREATE TABLE text with ";" and no
    // line end after it. Never throws for the script: a table whose columns cannot all be
    // declared, or a script that cannot be written, gets a warning and the data goes on.
    void writeDdlScript();

    void addBlocks(uint64_t n) override { blocksRead_.fetch_add(n); }
    uint64_t blocks() override { return blocksRead_.load(); }
    void addBytes(uint64_t n) override { bytesRead_.fetch_add(n); }
    uint64_t bytes() override { return bytesRead_.load(); }
    void addRows(uint64_t n) override { rowsRead_.fetch_add(n); }
    uint64_t rows() override { return rowsRead_.load(); }
    void appendMessage(const std::string& text) override;
    std::string messages() override;
    std::string valuesNotWritten() override;

  protected:
    // "<exportDirectory>/<name><extension>", the name from claimFileName(stem).
    std::string exportFilePath(std::string_view stem, std::string_view extension) const;
    // One warning naming the columns whose values cannot be written as they are; `how` says
    // what they are written as instead ("no text output ...; written as empty fields").
    // One warning naming each column with values its output could not render (bytes that
    // are no value of the column's type) and how many; nothing when `counts` are all 0.
    // Also recorded for valuesNotWritten.
    void warnUnreadableValues(const std::vector<std::pair<const ColumnDef*, uint64_t>>& counts,
                              std::string_view writtenAs);
    void warnColumns(const std::vector<const ColumnDef*>& columns, std::string_view lacking,
                     std::string_view writtenAs) const;
    // Records, for valuesNotWritten, the values (not NULL) of columns whose type `lacking` an
    // output that were written as `writtenAs`; nothing when the counts are all 0.
    void noteValuesWithoutOutput(const std::vector<std::pair<const ColumnDef*, uint64_t>>& counts,
                                 std::string_view lacking, std::string_view writtenAs);
    // The name for messages: "schema"."table", control bytes escaped (base/terminal_text.h).
    std::string quotedName() const;

  private:
    std::string schemaName_;
    std::string tableName_;
    std::string fileSuffix_;
    std::string fileStem_;
    const ColumnLayout* columns_;
    uint32_t tableOid_;
    uint32_t databaseOid_ = 0;
    std::string clientEncoding_ = "UTF8";
    std::atomic<uint64_t> blocksRead_{0};
    std::atomic<uint64_t> bytesRead_{0};
    std::atomic<uint64_t> rowsRead_{0};
    std::string messageText_;
    std::mutex messageMutex_;
    std::string notWritten_;  // what valuesNotWritten says, "; " between the parts
};

// The stem rule above.
std::string tableFileStem(std::string_view schemaName, std::string_view tableName,
                          std::string_view fileSuffix);

}  // namespace vorn
