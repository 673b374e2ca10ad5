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

std::string PgTable::missingAttributes() const {
    if (relnatts <= 0)
        return "";
    std::vector<bool> present(static_cast<size_t>(relnatts) + 1, false);
    for (const ColumnDef& column : columns_)
        if (column.attnum > 0 && column.attnum <= relnatts)
            present[static_cast<size_t>(column.attnum)] = true;
    constexpr int kNamed = 10;  // a catalogue page lost can take hundreds: name the first ones
    std::string numbers;
    int missing = 0;
    for (int attnum = 1; attnum <= relnatts; ++attnum) {
        if (present[static_cast<size_t>(attnum)])
            continue;
        if (++missing <= kNamed)
            numbers += fmt::format("{}{}", numbers.empty() ? "" : ", ", attnum);
    }
    if (missing == 0)
        return "";
    if (missing > kNamed)
        numbers += fmt::format(" and {} more", missing - kNamed);
    return fmt::format(
        "the catalogue has no column for attribute number{} {} of the table's {}: its rows "
        "cannot be decoded",
        missing == 1 ? "" : "s", numbers, relnatts);
}

}  // namespace vorn
