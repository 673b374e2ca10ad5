#pragma once

// The dictionary queries of the shell (list db, list schema, list table, desc) and
// bootstrap, the generation of the dictionary cache. Each prints aligned columns on standard
// output; table and column names are padded by display width, so East Asian wide
// characters keep the columns straight.
//
//   list db       "{:>10} {:<15} {:<15}"                oid, dbname, "encoding (id)"
//   list schema   "{:>10} {:>10} {:<30} {:>10}"         db_oid, schema_oid, name, table_cnt
//   list table    "{:>10} {:>10} {:>10} {:<30}"         db_oid, schema_oid, table_oid, name
//   desc          "{:>5} {:<30} {:<25} {:>8} {:<10}"    col#, name, coltype, length, nullable
//
// Each header is followed by a rule of dashes as wide as its fields and each listing by an
// empty line.

#include <cstdint>
#include <string>

namespace vorn {

class Dictionary;

class ListCommands {
  public:
    // `currentSchemaOid` is the shell's current schema, read at every command.
    explicit ListCommands(uint32_t* currentSchemaOid);

    void listDatabases();
    // The schemas of the current database, each with the number of its tables (all of
    // them: the names that unload schema skips are counted too).
    void listSchemas();
    // The tables of the current schema whose name holds `filter`, case ignored; all of them
    // for an empty filter.
    void listTables(const std::string& filter);
    // desc [schema.]table[:partition]; the partition part is ignored.
    void describeTable(const std::string& name);
    // Generates the dictionary cache files and loads them back, then says how it went:
    // "Bootstrap finish." when every database and catalogue was read whole; after the
    // warnings of catalogues read with damage or cut short, that it finished with damage;
    // the databases left out, when some were; after a failure why, and whether the
    // dictionary loaded before is still in use. Returns whether the dictionary now holds
    // what the data directory has: true only where "Bootstrap finish." was said.
    bool bootstrap();
    // Accepted by the command loop; they do nothing.
    void showInfo(const std::string& name);
    void unloadDdl();

  private:
    Dictionary* dictionary_;      // the singleton, not owned
    uint32_t* currentSchemaOid_;  // Console's, not owned
};

}  // namespace vorn
