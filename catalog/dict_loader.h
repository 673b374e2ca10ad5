#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog/dict_cache.h"
#include "storage/file_node_map.h"
#include "storage/storage_settings.h"

namespace vorn {

class Dictionary;
class FileLogger;
class IProgressBar;

// Generation of the dictionary cache files from the catalogues of the data directory
// ("bootstrap"), and the cache load that fills the Dictionary from them. Lives for one call.
//
// Generation decodes pg_database (shared, in global/), then for every database but the
// templates, in ascending OID, its pg_class, pg_attribute and pg_namespace, each with the
// ordinary table unload and a DictWriter. The catalogues' file nodes come from the relation
// maps (global/pg_filenode.map and the database's own) and, for pg_namespace, from the
// pg_class rows just decoded; a catalogue the maps do not name is read from the file named
// by its OID. A database whose catalogues cannot be read is left out of the files (it stays in
// pg_db.dat) and named in databaseFailures; the others are written. The four files are
// written under temporary names and replace the previous dictionary together, only when
// pg_database and at least one database were read: a failed bootstrap throws DictExcept
// naming what failed and leaves the last good dictionary in place. After each catalogue is
// read, its indexes and visibility map say whether its file lost blocks at its end
// (catalog/lost_blocks.h), which is warned about as damage is. A generation that read a
// catalogue with damage or lost blocks, left a database out or found fewer tables than the
// dictionary it replaces first copies the previous files to dict/previous/ (replacing an
// older copy).
// The message for a path of the data directory that could not be looked at or opened with
// `error` (an errno value, 0 for none): `missing` when the path is not there (0, ENOENT,
// ENOTDIR), else "data directory \"<dataDirectory>\" cannot be read: \"<path>\": <reason>".
std::string dataDirectoryAccessError(const std::string& path, int error,
                                     const std::string& missing);

class DictLoader {
  public:
    explicit DictLoader(Dictionary* dictionary);

    static int generateStepCount() { return 100; }
    static int loadStepCount() { return 5; }

    // Runs the whole generation; returns 1. The version argument is not used: the layouts
    // follow the process-wide serverVersion.
    int generateFromDatabase(ServerVersion version, IProgressBar* progress);
    // Empties the dictionary's containers and reads the four files; false (logged) when one
    // fails, keeping what was read before it.
    bool loadFromCache(IProgressBar* progress, int firstStep);

    // One catalogue each; the rows written. generateDatabaseDict writes `path`.
    uint32_t generateDatabaseDict(const IFileNodeMap* map, const std::string& path);
    uint32_t generateClassDict(const DatabaseEntry& database, const IFileNodeMap* map,
                               std::ostream& out);
    uint32_t generateAttributeDict(const DatabaseEntry& database, const IFileNodeMap* map,
                                   std::ostream& out);
    uint32_t generateNamespaceDict(const DatabaseEntry& database, const IFileNodeMap* map,
                                   std::ostream& out);

    // Catalogues read with damage, or whose files lost blocks at their end, in the last
    // generation (logged; not a failure).
    const std::vector<std::string>& warnings() const { return warnings_; }
    // The databases the last generation left out, in OID order (logged).
    const std::vector<DictDatabaseFailure>& databaseFailures() const { return databaseFailures_; }
    // "The previous dictionary was kept in <folder>/: <why>." when the last generation kept
    // a copy (logged), else "".
    const std::string& keptPrevious() const { return keptPrevious_; }

  private:
    void checkDataDirectory() const;
    // Copies the files in place to dict/previous/ when the new ones are worse; throws
    // DictExcept (the new files removed) when the copy cannot be made.
    void keepPreviousIfWorse();
    void fail(const std::string& message);
    // Adds a catalogue's lost-blocks warning (logged); nothing for "".
    void noteLostBlocks(const std::string& warning);

    FileLogger* log_;
    Dictionary* dictionary_;
    std::vector<std::string> failures_;
    std::vector<std::string> warnings_;
    size_t lostBlockWarnings_ = 0;  // of warnings_
    std::vector<DictDatabaseFailure> databaseFailures_;
    std::string keptPrevious_;
    // Of the database being generated, from its kept pg_class rows.
    std::unordered_map<uint32_t, int16_t> relnatts_;
    uint32_t namespaceFileNode_ = 0;
    // System index OID to relfilenode (0 for a mapped one), from the kept pg_class rows.
    std::unordered_map<uint32_t, uint32_t> indexFileNodes_;
};

}  // namespace vorn
