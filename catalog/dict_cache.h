#pragma once

// The dictionary cache files, one record per line, fields separated by '|':
//
//   pg_db.dat      0 | oid | datname | encoding | datcompatibility | dattablespace
//   pg_schema.dat  dboid | oid | nspname
//   pg_class.dat   dboid | relnamespace | oid | relname | reltype | relkind | relnatts |
//                  relfilenode | reltoastrelid | reltablespace
//   pg_attr.dat    dboid | attrelid | attnum | attname | atttypid | atttypmod | attlen |
//                  attnotnull | attisdropped | attalign | attbyval | atthasmissing |
//                  attmissingval | attgenerated
//
// Numbers are decimal (OIDs unsigned), booleans "t"/"f", a NULL or absent value an empty
// field. Names are written as stored, in the database's own encoding, with '\' written as
// "\\", '|' as "\|", a line feed as "\n" and a carriage return as "\r", so that no name can
// split a line or forge a field. attmissingval is the hex of the fast default's bytes as the
// page reader would have produced them for a row that stored the value. The trailing fields
// (dattablespace; attisdropped and after) came later: a file without them still loads, a
// relation then lies in base/, a column's alignment follows from its length, no column
// has a fast default and none is generated.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "storage/table.h"

namespace vorn {

// Folder of the four files; "dict" under the working directory unless set otherwise.
extern std::string dictDirectory;

enum class DictFile { kDatabase, kNamespace, kClass, kAttribute };
// dictDirectory + "/pg_db.dat" and so on.
std::string dictFilePath(DictFile file);

struct DatabaseEntry {
    uint32_t oid = 0;
    int16_t encoding = 0;
    std::string encodingName;  // "unknown" for an id the encoding table lacks
    std::string datname;
    std::string datcompatibility;
    uint32_t tablespace = 0;  // dattablespace; 0 when the file has no such field
};

// A database a bootstrap left out because its catalogues could not be read; the reason is
// "<catalogue>: <what failed>".
struct DictDatabaseFailure {
    std::string name;
    uint32_t oid = 0;
    std::string reason;
};

struct NamespaceEntry {
    uint32_t dboid = 0;
    uint32_t oid = 0;
    std::string nspname;
};

inline uint64_t dictKey(uint32_t database, uint32_t oid) {
    return (uint64_t{database} << 32) | oid;
}

using DatabaseList = std::vector<DatabaseEntry>;
using SchemaMap = std::map<uint64_t, NamespaceEntry>;
using TableMap = std::map<uint64_t, PgTable>;
using ToastMap = std::map<uint64_t, PgToastTable>;

// Each reader returns the number of lines read (skipped ones included) and throws DictExcept
// "failed to open dict file {}, error: {}" when the file cannot be opened, or the catalogue
// form of DictExcept for a failure while reading.

// Appends the databases other than template0 and template1, then sorts by OID.
int readDatabaseCache(DatabaseList& databases);
int readDatabaseCacheFile(const std::string& path, DatabaseList& databases);
// Inserts or overwrites by (database, schema OID).
int readNamespaceCache(SchemaMap& schemas);
// Tables ('r', 'p') into `tables`, TOAST relations ('t') into `toasts`, other kinds dropped;
// then links each table to its TOAST relation. With `databases`, every relation learns its
// database's default tablespace.
int readClassCache(TableMap& tables, ToastMap& toasts, const DatabaseList* databases = nullptr);
// Groups the columns (attnum > 0) by relation and gives each table its layout, creating an
// empty entry for a relation the table map lacks. A column above the table's relnatts (a
// row version of a rolled-back ADD COLUMN) is dropped.
int readAttributeCache(TableMap& tables);

// ---- line format, shared with the writer ------------------------------------------------

// Appends `text` with the four escapes above.
void appendCacheEscaped(std::string& out, std::string_view text);
// Splits a line at every unescaped '|' and undoes the escapes.
std::vector<std::string> splitCacheLine(std::string_view line);

}  // namespace vorn
