#pragma once

// Row formats of the four system catalogues the dictionary decodes, per server version.
//
// Each catalogue has a table of every column any supported version has, with one attribute
// number per layout (0: the layout lacks the column), and a rule from server version to
// layout. Before version 12 pg_database, pg_namespace and pg_class rows carry their OID in
// the tuple header: the layout then starts with the system column "oid" at attribute number
// -2, which the heap reader takes from there. pg_attribute has no OID column in any version.
//
// A layout lists every column up to the last variable-length one: the reader walks the row
// attribute by attribute, so a column left out would shift everything after it.

#include <cstdint>

#include "storage/column_def.h"
#include "storage/storage_settings.h"

namespace vorn {

enum class CatalogKind : int { kDatabase = 1, kNamespace = 2, kClass = 3, kAttribute = 4 };

// Index of the layout of `kind` that `version` selects, or -1 for a version without one
// (major below 9 or above 18). For major 9 the minor chooses; a minor beyond the last one
// named falls to the newest 9.x layout; for 10 to 18 the minor is ignored.
int catalogLayoutIndex(CatalogKind kind, ServerVersion version);

// Appends the columns of the selected layout to `columns` in attribute order, each with
// atttypmod -1, not nullable, and the type's length, alignment and pass-by-value flag;
// returns the number appended (0 for a version without a layout).
uint16_t appendCatalogLayout(CatalogKind kind, ServerVersion version, ColumnLayout& columns);

// Whether the catalogue rows of `version` carry their OID in the tuple header.
inline bool catalogHasHeaderOids(ServerVersion version) {
    return version.major < 12;
}

}  // namespace vorn
