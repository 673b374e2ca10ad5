#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "catalog/dict_cache.h"
#include "catalog/typed_name.h"
#include "storage/storage_settings.h"

namespace vorn {

class IProgressBar;

// The process-wide catalogue cache: databases, schemas, tables and TOAST relations of the
// data directory with their column layouts, the current database every lookup is limited to,
// and that database's client encoding. Filled and changed only on the main thread between
// commands; worker threads of a parallel unload only read it.
class Dictionary {
  public:
    static Dictionary& instance();
    ~Dictionary();
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    // Stores the version here and in the process-wide serverVersion.
    void setServerVersion(int16_t major, int16_t minor);
    static void setDataDirectory(const std::string& path);
    static void setBlockSize(int size);
    static int loadStepCount();
    static int generateStepCount();

    // Empties everything and reads the cache files; false when one fails (logged, never
    // thrown). Afterwards the current database is the one with the lowest OID, if any.
    bool loadFromCache(IProgressBar* progress);
    // How many times loadFromCache ran. A command that leaves it as it was left the dictionary
    // as it was: a bootstrap refused before it read anything.
    uint64_t cacheLoads() const { return cacheLoads_; }
    // Regenerates the cache files from the data directory; returns 1. Throws DictExcept when
    // the bootstrap failed (the previous files then stay in place). The three reports below
    // are those of the last generate, also of one that threw.
    int generate(IProgressBar* progress);
    // Catalogues the last generate read with damage.
    const std::vector<std::string>& generationWarnings() const { return generationWarnings_; }
    // Databases the last generate left out: their catalogues could not be read.
    const std::vector<DictDatabaseFailure>& databaseFailures() const { return databaseFailures_; }
    // The line saying that the files replaced were kept in dict/previous/ and why; "" when
    // they were not.
    const std::string& keptPrevious() const { return keptPrevious_; }
    // One line for each table whose catalogue rows leave attribute numbers out (a lost
    // pg_attribute row or page): such a table cannot be unloaded.
    std::vector<std::string> layoutWarnings() const;

    // Lookups by a typed name part, matched as catalog/typed_name.h says: a database of the
    // data directory, a schema of the current database, a table of a schema of the current
    // database.
    NameLookup<const DatabaseEntry> findDatabase(const NamePart& name) const;
    NameLookup<const NamespaceEntry> findSchema(const NamePart& name) const;
    NameLookup<PgTable> findTable(const NamePart& schema, const NamePart& table);
    NameLookup<PgTable> findTableInSchema(uint32_t schemaOid, const NamePart& table);
    // The same with both parts plain (not quoted); null when none fits or several do.
    PgTable* findTable(const char* schemaName, const char* tableName);
    PgTable* findTableInSchema(uint32_t schemaOid, const char* tableName);
    // Every table of a schema of the current database a typed name can pick (those that
    // tablesOfSchema leaves out too), in OID order.
    std::vector<PgTable*> namedTablesOfSchema(uint32_t schemaOid);
    // Appends the exportable tables of a schema of the current database in OID order.
    uint32_t tablesOfSchema(std::vector<PgTable*>& out, uint32_t schemaOid);
    // A catalogue name in UTF-8 for display; "<invalid utf8 str>" when it does not convert.
    std::string toUtf8(const std::string& text);
    // Switches the client encoding and converter and sets PGCLIENTENCODING (an unknown id
    // means UTF8).
    void setClientEncoding(int encodingId);

    std::unique_ptr<CharsetConverter> converter;
    std::string clientEncoding;
    uint32_t currentDatabaseOid = 0;
    ServerVersion version;
    DatabaseList databases;
    SchemaMap schemas;
    TableMap tables;
    ToastMap toastTables;

  private:
    Dictionary();

    uint64_t cacheLoads_ = 0;
    std::vector<std::string> generationWarnings_;
    std::vector<DictDatabaseFailure> databaseFailures_;
    std::string keptPrevious_;
};

}  // namespace vorn
