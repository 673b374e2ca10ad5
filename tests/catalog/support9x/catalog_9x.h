#pragma once

// Synthetic system catalogues of PostgreSQL 9.0 - 9.6, written byte by byte for the tests of
// the dictionary generator (no 9.x server exists to make real ones).
//
// The column lists below are written from PostgreSQL's documentation of each release's
// system catalogues and its catalog headers (pg_database.h, pg_namespace.h, pg_class.h,
// pg_attribute.h), not from vorn's own layout table, so that a mistake there cannot cancel
// out in the tests. Changes within 9.x:
//
//   pg_database   9.3  datminmxid (xid) after datfrozenxid
//   pg_namespace       the same in every 9.x release
//   pg_class      9.1  relistemp (bool) becomes relpersistence (char); relhasexclusion gone
//                 9.2  relallvisible (int4) after reltuples
//                 9.3  relispopulated (bool) after relhassubclass, relminmxid after relfrozenxid
//                 9.4  reltoastidxid gone; relreplident (char) after relispopulated
//                 9.5  relrowsecurity, relforcerowsecurity (bool) after relhassubclass
//   pg_attribute  9.1  attcollation (oid) after attinhcount
//                 9.2  attfdwoptions (text[]) after attoptions
//
// Storage of these releases: heap page layout version 4 (24-byte page header), 23-byte
// tuple header, t_hoff MAXALIGNed to 8. pg_database, pg_namespace and pg_class rows carry
// their OID in the tuple header (HEAP_HASOID, the 4 bytes before t_hoff); pg_attribute rows
// have none. Each attribute is aligned by its type's typalign relative to the tuple start;
// a varlena written with a 1-byte header is not aligned, as PostgreSQL writes short values.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "storage/column_def.h"
#include "tests/storage/support/page_builder.h"

namespace vorn::test {

// Types that occur in the four catalogues, with their typlen / typalign.
enum class CatType {
    kName,       // 64 bytes NUL-padded, 'c'
    kOid,        // 4, 'i'
    kXid,        // 4, 'i'
    kInt4,       // 4, 'i'
    kInt2,       // 2, 's'
    kFloat4,     // 4, 'i'
    kBool,       // 1, 'c'
    kChar,       // 1, 'c'
    kAclArray,   // aclitem[], varlena, 'i'
    kTextArray,  // text[], varlena, 'i'
};

struct CatalogColumn {
    std::string name;
    CatType type;
};

struct CatalogLayout {
    std::string relation;
    uint32_t relationOid = 0;  // also the file node: the 9.x test directories have no map
    bool rowsHaveOids = false;
    std::vector<CatalogColumn> columns;  // in catalogue order
};

// The layouts of 9.<minor>; minor 0 - 6.
CatalogLayout pgDatabaseLayout9x(int minor);
CatalogLayout pgNamespaceLayout9x(int minor);
CatalogLayout pgClassLayout9x(int minor);
CatalogLayout pgAttributeLayout9x(int minor);

// One value of a catalogue row: a number (also bool and char), a float, a name, or a
// varlena's content (NULL when absent) with the header form it is written with.
struct CatalogCell {
    int64_t number = 0;
    double real = 0;
    std::string text;
    bool isNull = false;
    Bytes varlena;
    bool shortHeader = false;
};

// A catalogue row named by column, holding the columns of every 9.x release: the layout of
// the release picks those it has, and a column the row lacks is an error of the test data.
struct CatalogRow {
    std::map<std::string, CatalogCell> cells;
    uint32_t oid = 0;  // written only for catalogues whose rows have OIDs
    uint32_t xmin = 1000;
    uint32_t xmax = 0;
    uint16_t infomask = HeapTupleBuilder::kDefaultInfomask;
    // False for rows that the generator must leave out (not visible, superseded duplicate,
    // attnum above relnatts); decided by hand when the data is written.
    bool expected = true;

    CatalogRow& set(const std::string& column, int64_t value);
    CatalogRow& setReal(const std::string& column, double value);
    CatalogRow& setName(const std::string& column, const std::string& value);
    CatalogRow& setVarlena(const std::string& column, Bytes content, bool shortHeader);
    CatalogRow& setNull(const std::string& column);

    const CatalogCell& cell(const std::string& column) const;
    int64_t number(const std::string& column) const { return cell(column).number; }
    const std::string& text(const std::string& column) const { return cell(column).text; }
};

// Heap tuple of `row` in `layout`, with `ctid` as given.
Bytes catalogTuple(const CatalogLayout& layout, const CatalogRow& row, uint32_t ctidBlock = 0,
                   uint16_t ctidItem = 0);
// Heap pages of the rows in order, each tuple's ctid pointing at itself.
std::vector<Bytes> catalogPages(const CatalogLayout& layout, const std::vector<CatalogRow>& rows,
                                uint16_t blockSize);

// Content (after the varlena header) of a one-dimensional aclitem[] / text[] array.
struct AclItem {
    uint32_t grantee = 0;
    uint32_t grantor = 0;
    uint32_t privileges = 0;
};
Bytes aclArrayContent(const std::vector<AclItem>& items);
Bytes textArrayContent(const std::vector<std::string>& items);

// A cache-file field as the generator writes it: '\\', '|', LF and CR escaped.
std::string escapeDictField(const std::string& text);

// A table of the current database whose column layout the loaded cache must give.
struct ExpectedTable {
    std::string schema;
    std::string name;
    std::vector<ColumnDef> columns;  // attnum > 0, in attnum order
};

struct Synthetic9xCatalogs {
    int minor = 0;
    // Expected lines of each cache file, without the line feed, in no particular order.
    std::vector<std::string> dbLines;
    std::vector<std::string> schemaLines;
    std::vector<std::string> classLines;
    std::vector<std::string> attrLines;
    uint32_t currentDatabaseOid = 0;  // the lowest non-template database
    std::vector<ExpectedTable> tables;
    // Tables that must not be found in the current database: deleted, aborted, superseded,
    // or only in another database.
    std::vector<std::pair<std::string, std::string>> absentTables;
    // Pages written per catalogue file, relative to the data directory.
    std::map<std::string, size_t> pagesWritten;
};

// Writes the data directory of a 9.<minor> cluster below `dataDir`: PG_VERSION,
// global/1262, and for each non-template database base/<oid>/{PG_VERSION,1259,1249,2615}.
// Returns what the dictionary generated from it must contain.
Synthetic9xCatalogs write9xDataDirectory(const std::string& dataDir, int minor,
                                         uint16_t blockSize = 8192);

}  // namespace vorn::test
