#pragma once

#include <cstdint>
#include <memory>

#include "catalog/catalog_layout.h"
#include "storage/column_def.h"

namespace vorn {

// One system catalogue the dictionary is generated from: its relation OID and its column
// layout for the configured server version (the process-wide serverVersion, read at each
// call of columns).
class IDictTableDef {
  public:
    virtual ~IDictTableDef() = default;
    virtual uint32_t catalogOid() const = 0;
    // Empties `layout` (keeping its capacity) and fills it with the catalogue's columns in
    // attribute order; returns their number, 0 for a version without a layout.
    virtual uint16_t columns(ColumnLayout& layout) const = 0;
};

class PgDictDatabaseDef : public IDictTableDef {
  public:
    uint32_t catalogOid() const override { return 1262; }
    uint16_t columns(ColumnLayout& layout) const override;
};

class PgDictNamespaceDef : public IDictTableDef {
  public:
    uint32_t catalogOid() const override { return 2615; }
    uint16_t columns(ColumnLayout& layout) const override;
};

class PgDictClassDef : public IDictTableDef {
  public:
    uint32_t catalogOid() const override { return 1259; }
    uint16_t columns(ColumnLayout& layout) const override;
};

class PgDictAttributeDef : public IDictTableDef {
  public:
    uint32_t catalogOid() const override { return 1249; }
    uint16_t columns(ColumnLayout& layout) const override;
};

// The definition of catalogue kind 1 (pg_database), 2 (pg_namespace), 3 (pg_class) or
// 4 (pg_attribute); null for any other kind.
std::unique_ptr<IDictTableDef> createDictTableDef(int kind);

// The relation name of a catalogue kind ("pg_database" ...), empty for another kind.
const char* catalogName(CatalogKind kind);

}  // namespace vorn
