#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/column_def.h"
#include "storage/toast_chunk.h"
#include "storage/unload_result.h"

namespace vorn {

class IDataWriter;
class IProgressBar;
class FileLogger;

// The pg_class part of a relation.
class PgClass {
  public:
    virtual ~PgClass() = default;

    uint32_t dboid = 0;         // 0 for a shared catalogue
    uint32_t relnamespace = 0;  // schema OID
    uint32_t oid = 0;
    char relname[64] = {};
    uint32_t reltype = 0;
    uint32_t relfilenode = 0;  // name of the first segment file
    uint32_t reltoastrelid = 0;
    char relkind = 'r';  // 'r' table, 'p' partitioned table, 't' TOAST relation
    int16_t relnatts = 0;
    uint32_t reltablespace = 0;  // 0: the database's default tablespace
    // The database's default tablespace (pg_database.dattablespace), where a relation with
    // reltablespace 0 lies; 0 or 1663 mean base/.
    uint32_t dbTablespace = 0;

    void setRelname(const std::string& name);
};

// A TOAST relation. Its chunk index lives only during the unload of its owning table.
class PgToastTable : public PgClass {
  public:
    // Every chunk the listers accepted, sorted by (chunkId, chunkSeq): a flat vector searched
    // by value id, not a map of vectors.
    std::vector<ToastChunkRef> chunkIndex;
    std::string directory;  // directory of the relation's files, set with the index
};

class ITable {
  public:
    virtual ~ITable() = default;
    virtual uint32_t databaseOid() const = 0;
    virtual uint32_t schemaOid() const = 0;
    virtual std::string schemaName() const = 0;
    virtual uint32_t oid() const = 0;
    virtual uint32_t tablespaceOid() const = 0;
    virtual std::string name() const = 0;
    virtual std::string tableName() const = 0;
    virtual uint32_t toastOid() const = 0;
    virtual uint32_t fileNode() const = 0;
    virtual uint16_t columnCount() const = 0;
    virtual const ColumnLayout& columns() const = 0;
    virtual std::string dataFilePath() const = 0;
    // Reads every segment file of the relation and hands the rows to `writer`, page by page.
    // `progress` may be null.
    virtual UnloadResult unload(IDataWriter& writer, IProgressBar* progress) = 0;
    virtual int spare() { return 0; }
};

class PgTable : public ITable, public PgClass {
  public:
    PgTable();

    uint32_t databaseOid() const override { return dboid; }
    uint32_t schemaOid() const override { return relnamespace; }
    std::string schemaName() const override;
    uint32_t oid() const override { return PgClass::oid; }
    uint32_t tablespaceOid() const override { return reltablespace; }
    std::string name() const override { return relname; }
    std::string tableName() const override { return relname; }
    uint32_t toastOid() const override { return reltoastrelid; }
    uint32_t fileNode() const override { return relfilenode; }
    uint16_t columnCount() const override { return static_cast<uint16_t>(relnatts); }
    const ColumnLayout& columns() const override { return columns_; }
    std::string dataFilePath() const override;
    UnloadResult unload(IDataWriter& writer, IProgressBar* progress) override;

    // Replaces the layout with a copy sorted by attnum.
    void setColumns(ColumnLayout::const_iterator first, ColumnLayout::const_iterator last);
    void setColumns(const ColumnLayout& columns) { setColumns(columns.begin(), columns.end()); }

    // "" when the layout has a column for every attribute number 1 .. relnatts, else a text
    // naming the numbers it lacks.
    std::string missingAttributes() const;

    // A schema name that replaces the dictionary's answer (catalogue tables, tests).
    std::string schemaNameOverride;

    FileLogger* logger = nullptr;   // unloadLog(), not owned
    PgToastTable* toast = nullptr;  // not owned

  private:
    ColumnLayout columns_;
};

}  // namespace vorn
