#pragma once

// The psql import scripts of the file formats: one per table after UNLOAD TABLE
// ("import_<schema>_<table>.sql") and one per schema after UNLOAD SCHEMA
// ("import_<schema>.sql"), both in the export directory beside the data files, which they
// load with psql's \COPY (the file names carry no directory: psql is run there).
//
//   --export PGCLIENTENCODING=LATIN1
//   --psql -d vorn -U <your_user> -f import_public_t.sql
//   (empty line)
//   SET client_encoding TO 'LATIN1';
//   \COPY "public"."t"("id", "it's") FROM 'public_t.txt' WITH(FORMAT text, DELIMITER '|', NULL '');
//
// The schema script has "-f import_<schema>.sql" in its second line and one line per table
// after the SET. BINARY tables end in "FROM '<file>.bin' WITH(FORMAT binary);". The database
// and script names of the second line are quoted for a shell where they need it
// (export/shell_word.h): "--psql -d 'Second DB' -U <your_user> -f 'import_public_order items.sql'".
//
// Names come from a recovered data directory and are not trusted; psql parses a \COPY line
// itself (it is no SQL statement) before it sends "COPY ... FROM STDIN":
//   - every schema, table and column name is in double quotes with any '"' doubled, so case,
//     blanks, quotes and words such as FROM PROGRAM stay inside one identifier;
//   - the file name is the one the writer wrote, in single quotes with any '\'' doubled,
//     behind "./" when it begins with '~' (psql would read ~user as a home directory);
//   - a meta-command ends at its line's end: a table whose names or file name hold a
//     control byte (0x01-0x1F, 0x7F) gets no \COPY line but a comment saying it must be
//     loaded by hand, with such bytes shown as '?', and is listed in byHand;
//   - the delimiter is a literal too: '\'' is written doubled, a backslash or any byte
//     outside printable ASCII as an E'\xNN' escape.
// Tables that failed, CSV tables (no CSV writer exists) and tables without a data file get
// a comment instead of a \COPY line. So does a table that no DDL file declares (a column
// type without an SQL name, see buildCreateTableDdl): its \COPY line follows, commented out,
// for when the table has been made by hand. Comments never hold a control byte either.

#include <string>
#include <vector>

#include "storage/table.h"

namespace vorn {

struct ImportScriptSettings {
    int exportKind = 1;      // 1 TEXT, 2 CSV, 3 BINARY (4 DB: no script)
    std::string exportPath;  // directory of the scripts (and data files)
    std::string
        clientEncoding;        // PostgreSQL name of the tables' database encoding (UTF8 when empty)
    std::string databaseName;  // for the "psql -d" comment line
    char delimiter = '|';      // textDelimiter
};

struct ImportTable {
    const PgTable* table = nullptr;
    std::string dataFile;  // file name (no directory) the writer actually wrote; empty when none
    bool failed = false;   // the unload failed: no \COPY line, a comment with `reason` instead
    std::string reason;
    // Not unloaded on purpose (a partitioned table, which holds no rows of its own): no \COPY
    // line, a comment with `reason` instead.
    bool skipped = false;
};

struct ImportScriptResult {
    std::string path;                 // the script written; empty when none is
    std::string error;                // non-empty: the script could not be created or written
    std::vector<std::string> byHand;  // tables with no \COPY line for their names: "schema"."table"
                                      // with control bytes as '?', bytes as stored
};

// Export codes 1 to 3 write a script; any other code writes nothing and returns an empty
// result. The script's file name comes from claimFileName (file_names.h), owned by the
// table (database and table OID) for the per-table script, by the schema (database and
// schema OID) for the schema script: the public schemas of two databases get two scripts.
// Neither throws.
ImportScriptResult writeTableImportScript(const ImportScriptSettings& settings,
                                          const ImportTable& table);
// Lines in the order of `tables`, under `schemaName` (the catalogue's spelling). Nothing is
// written for an empty list.
ImportScriptResult writeSchemaImportScript(const ImportScriptSettings& settings,
                                           const std::string& schemaName,
                                           const std::vector<ImportTable>& tables);

}  // namespace vorn
