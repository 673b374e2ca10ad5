#include "storage/table.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "base/file_logger.h"
#include "storage/relation_path.h"

namespace vorn {

void PgClass::setRelname(const std::string& name) {
    std::memset(relname, 0, sizeof relname);
    std::memcpy(relname, name.data(), std::min(name.size(), sizeof relname - 1));
}

PgTable::PgTable() : logger(&unloadLog()) {}

std::string PgTable::schemaName() const {
    return schemaNameOverride.empty() ? tableSchemaName(*this) : schemaNameOverride;
}

std::string PgTable::dataFilePath() const {
    return fmt::format("{}/{}", relationDirectory(*this), fileNode());
}

void PgTable::setColumns(ColumnLayout::const_iterator first, ColumnLayout::const_iterator last) {
    // Copied before it replaces the layout: the range may be the table's own.
    ColumnLayout copy(first, last);
    std::sort(copy.begin(), copy.end(),
              [](const ColumnDef& a, const ColumnDef& b) { return a.attnum < b.attnum; });
    columns_ = std::move(copy);
}

}  // namespace vorn
