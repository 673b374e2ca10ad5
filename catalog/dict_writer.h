#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/column_def.h"
#include "storage/data_writer.h"

namespace vorn {

// Entry 0 of every column map: the leading database-OID field; also an optional column the
// layout lacks.
constexpr uint16_t kNoColumn = 0xFFFF;

// Column maps: which layout column (by position) gives each field of a cache line. Each
// throws DictExcept "Invalid column definition" for the catalogue when a required column is
// missing or the layout is empty; optional columns the layout lacks map to kNoColumn.
//   pg_database   oid datname encoding [datcompatibility] [dattablespace]
//   pg_namespace  oid nspname
//   pg_class      relnamespace oid relname reltype relkind relnatts relfilenode
//                 reltoastrelid [reltablespace]
//   pg_attribute  attrelid attnum attname atttypid atttypmod attlen attnotnull
//                 [attisdropped attalign attbyval atthasmissing attmissingval
//                 attgenerated]
void databaseColumnMap(const ColumnLayout& layout, std::vector<uint16_t>& map);
void namespaceColumnMap(const ColumnLayout& layout, std::vector<uint16_t>& map);
void classColumnMap(const ColumnLayout& layout, std::vector<uint16_t>& map);
void attributeColumnMap(const ColumnLayout& layout, std::vector<uint16_t>& map);

// Writes the rows of a catalogue as cache lines (see dict_cache.h): the database OID, then
// the mapped columns, each rendered by its type.
//
// The page reader judges visibility from hint bits alone, so it can pass two versions of one
// catalogue row (after a rolled-back ALTER, say). With an identity set, the writer keeps one
// line per identity — the version whose inserter is hinted committed, among equals the later
// one — and holds the lines until finish writes them; without one it writes each row as it
// comes.
class DictWriter : public IDataWriter {
  public:
    DictWriter(std::ostream* out, uint32_t databaseOid, const std::vector<uint16_t>& columnMap,
               const ColumnLayout& layout);

    // Rows whose fields at these map entries (1-based, as in the column map) agree are
    // versions of one row.
    void setIdentity(std::vector<size_t> mapEntries);
    // Drops rows whose field `attnumEntry` is above the column count that `relnatts` gives
    // for the relation in field `relationEntry` (a relation not in the map is not limited).
    void setColumnLimit(const std::unordered_map<uint32_t, int16_t>* relnatts, size_t relationEntry,
                        size_t attnumEntry);
    // The lines held (with an identity only), in the order finish writes them; they stay
    // after finish.
    const std::vector<std::string>& heldLines() const { return lines_; }

    void open() override {}
    uint32_t writeRows(const ColumnBatch* batch, uint32_t rows) override;
    // Writes the held lines (with an identity) once; never throws, the caller checks the
    // stream.
    void finish() override;

    void addBlocks(uint64_t) override {}
    uint64_t blocks() override { return 0; }
    void addBytes(uint64_t) override {}
    uint64_t bytes() override { return 0; }
    void addRows(uint64_t) override {}
    uint64_t rows() override { return 0; }
    // Why the unload failed, as the table reader says it; the last message only.
    void appendMessage(const std::string& text) override { message_ = text; }
    std::string messages() override { return message_; }

  private:
    // Renders field `entry` of row `row` (empty for NULL, an absent column or a type without
    // output); the offsets of each field's start go to fieldStarts_.
    void renderLine(const ColumnBatch& batch, uint32_t row, std::string& line);
    void renderField(const ColumnBatch& batch, uint32_t row, uint16_t column, std::string& line);
    std::string_view fieldOf(const std::string& line, size_t entry) const;

    std::ostream* out_;
    uint32_t databaseOid_;
    ColumnLayout layout_;
    std::vector<uint16_t> columnMap_;
    int attlenColumn_ = -1;  // position of "attlen", for the fast default's element

    std::vector<size_t> identity_;
    const std::unordered_map<uint32_t, int16_t>* relnatts_ = nullptr;
    size_t relationEntry_ = 0;
    size_t attnumEntry_ = 0;

    std::vector<size_t> fieldStarts_;  // of the line being rendered, one per map entry + end
    std::vector<std::string> lines_;
    std::vector<bool> committed_;
    bool written_ = false;
    std::string message_;
    std::unordered_map<std::string, size_t> byIdentity_;
};

// The single element of a one-dimensional array value (as the page reader gives it: the
// varlena header removed) in the form the page reader gives a value of the element type:
// `elementLength` bytes for a fixed-width type, the bytes after the header for a
// variable-length one, the text before the NUL for a C string. False when the array is not
// one non-NULL element of that form inside `length` bytes.
bool arrayElementValue(const uint8_t* array, uint32_t length, int32_t elementLength,
                       std::string& element);

}  // namespace vorn
