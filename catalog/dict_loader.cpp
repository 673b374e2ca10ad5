#include "catalog/dict_loader.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "base/file_logger.h"
#include "base/progress.h"
#include "base/temp_file_registry.h"
#include "catalog/dict_except.h"
#include "catalog/dict_table_def.h"
#include "catalog/dict_writer.h"
#include "catalog/dictionary.h"
#include "catalog/lost_blocks.h"
#include "storage/relation_path.h"
#include "storage/table.h"

namespace vorn {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kNamespaceOid = 2615;
constexpr uint32_t kFirstNormalOid = 16384;  // OIDs below are the system's own
// Fields of a pg_class cache line.
constexpr size_t kClassOidField = 2, kClassRelkindField = 5, kClassRelnattsField = 6,
                 kClassFileNodeField = 7;

std::string temporaryPath(DictFile file) {
    return dictFilePath(file) + ".tmp";
}

void removeTemporaryFiles() {
    std::error_code ec;
    for (DictFile f :
         {DictFile::kDatabase, DictFile::kNamespace, DictFile::kClass, DictFile::kAttribute})
        fs::remove(temporaryPath(f), ec);
}

std::string databaseLabel(const DatabaseEntry* database) {
    if (database == nullptr)
        return "the shared catalogues";
    return fmt::format("database {} (oid {})", database->datname, database->oid);
}

void progressStep(IProgressBar* progress, int step, const char* what) {
    if (progress != nullptr)
        progress->setProgressText(static_cast<uint32_t>(step), std::string("Loading ") + what);
}

// The directory of a database's per-database catalogues: base/<db>, or the version
// directory of its default tablespace.
std::string databaseDirectory(const DatabaseEntry& database) {
    PgClass relation;
    relation.dboid = database.oid;
    relation.dbTablespace = database.tablespace;
    relation.reltablespace = 0;
    return relationDirectory(relation);
}

// A relation map when the file exists and reads; otherwise none, and the catalogues are read
// from the files named by their OIDs (logged when a map is there but cannot be read).
std::optional<FileNodeMap> loadMap(const std::string& path, FileLogger& log) {
    std::error_code ec;
    if (!fs::exists(path, ec))
        return std::nullopt;
    FileNodeMap map;
    try {
        map.load(path);
    } catch (const std::exception& e) {
        log.errorFormatted("relation map {} cannot be read, catalogues are read by OID: {}", path,
                           e.what());
        return std::nullopt;
    }
    return map;
}

uint32_t fieldNumber(const std::vector<std::string>& fields, size_t i) {
    return i < fields.size() ? static_cast<uint32_t>(std::strtoul(fields[i].c_str(), nullptr, 10))
                             : 0;
}

// "9.6" or "15" from PG_VERSION. `openError` is errno when the file does not open, else 0.
bool readDataDirectoryVersion(const std::string& dir, int& major, int& minor, int& openError) {
    errno = 0;
    std::ifstream in(dir + "/PG_VERSION");
    openError = in ? 0 : errno;
    std::string text;
    if (!in || !std::getline(in, text))
        return false;
    major = std::atoi(text.c_str());
    const size_t dot = text.find('.');
    minor = dot == std::string::npos ? 0 : std::atoi(text.c_str() + dot + 1);
    return major > 0;
}

}  // namespace

DictLoader::DictLoader(Dictionary* dictionary) : log_(&mainLog()), dictionary_(dictionary) {}

void DictLoader::fail(const std::string& message) {
    log_->error(message);
    failures_.push_back(message);
}

std::string dataDirectoryAccessError(const std::string& path, int error,
                                     const std::string& missing) {
    if (error == 0 || error == ENOENT || error == ENOTDIR)
        return missing;
    return fmt::format("data directory \"{}\" cannot be read: \"{}\": {}", dataDirectory, path,
                       std::strerror(error));
}

void DictLoader::checkDataDirectory() const {
    const auto major = static_cast<uint16_t>(serverVersion.major);
    const auto minor = static_cast<uint16_t>(serverVersion.minor);
    if (major < 9 || major > 18)
        throw DictExcept(fmt::format("server version {}.{} is not supported (9.0 to 18)",
                                     serverVersion.major, serverVersion.minor));
    // A path that is not there means a wrong folder; one that cannot be looked at (no search
    // permission on it or a folder above, an I/O error) is said with the system's reason, so
    // that the user fixes the permissions instead of the setting.
    std::error_code ec;
    if (!fs::is_directory(dataDirectory, ec))
        throw DictExcept(dataDirectoryAccessError(
            dataDirectory, ec.value(),
            fmt::format("data directory \"{}\" not found", dataDirectory)));
    const std::string global = dataDirectory + "/global";
    if (!fs::is_directory(global, ec))
        throw DictExcept(dataDirectoryAccessError(
            global, ec.value(),
            fmt::format("\"{}\" is not a PostgreSQL data directory: it has no global/",
                        dataDirectory)));
    int fileMajor = 0, fileMinor = 0, openError = 0;
    if (!readDataDirectoryVersion(dataDirectory, fileMajor, fileMinor, openError))
        throw DictExcept(dataDirectoryAccessError(
            dataDirectory + "/PG_VERSION", openError,
            fmt::format("\"{}\" is not a PostgreSQL data directory: it has no readable PG_VERSION",
                        dataDirectory)));
    const bool same = fileMajor == major && (major >= 10 || fileMinor == minor);
    if (!same) {
        const std::string found = fileMajor >= 10 ? std::to_string(fileMajor)
                                                  : fmt::format("{}.{}", fileMajor, fileMinor);
        const std::string configured =
            major >= 10 ? std::to_string(major) : fmt::format("{}.{}", major, minor);
        throw DictExcept(fmt::format(
            "data directory \"{}\" was written by PostgreSQL {}, the configured version is {}",
            dataDirectory, found, configured));
    }
}

namespace {

// Reads one catalogue through a DictWriter into `out`; the kept lines (with identities) go to
// `kept` when given. Failures are exceptions or an UnloadResult with rows 0 / failed.
struct CatalogStep {
    CatalogKind kind;
    const DatabaseEntry* database;  // null for pg_database
    const IFileNodeMap* map;
    uint32_t fileNodeHint;  // from pg_class rows, 0 when none
    const std::unordered_map<uint32_t, int16_t>* relnatts;
};

struct CatalogOutcome {
    UnloadResult result;
    std::string path;  // of the relation's first segment file
    std::string directory;
    uint32_t fileNode = 0;
    std::vector<std::string> kept;
    std::string failure;  // why the reader failed, when it did and said so
};

CatalogOutcome runCatalog(const CatalogStep& step, std::ostream& out, FileLogger& log) {
    const std::unique_ptr<IDictTableDef> def = createDictTableDef(static_cast<int>(step.kind));
    ColumnLayout layout;
    def->columns(layout);
    const uint32_t oid = def->catalogOid();
    uint32_t node = step.map != nullptr ? step.map->lookup(oid) : 0;
    if (node == 0)
        node = step.fileNodeHint;
    if (node == 0)
        node = oid;

    PgTable table;
    table.dboid = step.database != nullptr ? step.database->oid : 0;
    table.relnamespace = 0;
    table.PgClass::oid = oid;
    table.setRelname(catalogName(step.kind));
    table.relkind = 0;
    table.relfilenode = node;
    table.dbTablespace = step.database != nullptr ? step.database->tablespace : 0;
    table.schemaNameOverride = "pg_catalog";
    table.logger = &log;
    table.setColumns(layout);
    // The layouts name every column of the catalogue: no row stores more attributes.
    for (const ColumnDef& column : layout)
        table.relnatts = std::max(table.relnatts, column.attnum);

    std::vector<uint16_t> columnMap;
    switch (step.kind) {
        case CatalogKind::kDatabase:
            databaseColumnMap(layout, columnMap);
            break;
        case CatalogKind::kNamespace:
            namespaceColumnMap(layout, columnMap);
            break;
        case CatalogKind::kClass:
            classColumnMap(layout, columnMap);
            break;
        case CatalogKind::kAttribute:
            attributeColumnMap(layout, columnMap);
            break;
    }
    DictWriter writer(&out, table.dboid, columnMap, layout);
    switch (step.kind) {
        case CatalogKind::kDatabase:
        case CatalogKind::kNamespace:
            writer.setIdentity({1});
            break;
        case CatalogKind::kClass:
            writer.setIdentity({kClassOidField});
            break;
        case CatalogKind::kAttribute:
            writer.setIdentity({1, 2});
            writer.setColumnLimit(step.relnatts, 1, 2);
            break;
    }
    CatalogOutcome outcome;
    outcome.path = table.dataFilePath();
    outcome.directory = relationDirectory(table);
    outcome.fileNode = node;
    outcome.result = table.unload(writer, nullptr);
    outcome.kept = writer.heldLines();
    if (outcome.result.failed) {
        // The reader names the table it failed on; here that is the catalogue itself.
        outcome.failure = writer.messages();
        const std::string prefix =
            fmt::format("Begin unload table \"pg_catalog\".\"{}\" error: ", catalogName(step.kind));
        if (outcome.failure.rfind(prefix, 0) == 0)
            outcome.failure.erase(0, prefix.size());
    }
    return outcome;
}

// The warning for a catalogue read from `outcome` whose file lost blocks, "" when nothing
// says it did.
std::string lostBlocksWarning(CatalogKind kind, const std::string& what,
                              const CatalogOutcome& outcome, const IFileNodeMap* map,
                              const std::unordered_map<uint32_t, uint32_t>& classNodes) {
    const CatalogFiles files =
        catalogFiles(kind, outcome.directory, outcome.fileNode, map, classNodes);
    const LostBlocks lost = findLostBlocks(files, heapFileBlocks(files));
    return lost.any() ? lostBlocksText(what, outcome.path, lost) : "";
}

}  // namespace

void DictLoader::noteLostBlocks(const std::string& warning) {
    if (warning.empty())
        return;
    warnings_.push_back(warning);
    ++lostBlockWarnings_;
    log_->warn(warning);
}

uint32_t DictLoader::generateDatabaseDict(const IFileNodeMap* map, const std::string& path) {
    std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out)
        throw DictExcept(
            fmt::format("failed to open dict file {}, error: {}", path, std::strerror(errno)));
    CatalogOutcome outcome =
        runCatalog({CatalogKind::kDatabase, nullptr, map, 0, nullptr}, out, *log_);
    out.close();
    if (!out)
        throw DictExcept(fmt::format("failed to write dict file {}", path));
    if (outcome.result.failed || outcome.result.rows == 0)
        throw DictExcept("pg_database", fmt::format("no rows read from \"{}\"", outcome.path));
    if (outcome.result.damage.total() > 0) {
        warnings_.push_back(fmt::format("pg_database read with damage ({}): {}", outcome.path,
                                        outcome.result.damage.summary()));
        log_->warn(warnings_.back());
    }
    noteLostBlocks(lostBlocksWarning(CatalogKind::kDatabase, "pg_database", outcome, map, {}));
    return static_cast<uint32_t>(outcome.kept.size());
}

namespace {

// Throws DictExcept "<catalogue>: <reason>" when the catalogue gave no rows; the database is
// named by the caller.
uint32_t checkedRows(const CatalogOutcome& outcome, CatalogKind kind, const DatabaseEntry& database,
                     std::vector<std::string>& warnings, FileLogger& log) {
    if (outcome.result.failed || outcome.result.rows == 0) {
        std::string reason = !outcome.failure.empty()
                                 ? outcome.failure
                                 : fmt::format("no rows read from \"{}\"", outcome.path);
        if (outcome.result.damage.total() > 0)
            reason += fmt::format(" ({})", outcome.result.damage.summary());
        throw DictExcept(fmt::format("{}: {}", catalogName(kind), reason));
    }
    if (outcome.result.damage.total() > 0) {
        warnings.push_back(fmt::format("{} of {} read with damage ({}): {}", catalogName(kind),
                                       databaseLabel(&database), outcome.path,
                                       outcome.result.damage.summary()));
        log.warn(warnings.back());
    }
    return static_cast<uint32_t>(outcome.kept.size());
}

}  // namespace

uint32_t DictLoader::generateClassDict(const DatabaseEntry& database, const IFileNodeMap* map,
                                       std::ostream& out) {
    relnatts_.clear();
    namespaceFileNode_ = 0;
    indexFileNodes_.clear();
    CatalogOutcome outcome =
        runCatalog({CatalogKind::kClass, &database, map, 0, nullptr}, out, *log_);
    for (const std::string& line : outcome.kept) {
        const std::vector<std::string> fields = splitCacheLine(line);
        const uint32_t oid = fieldNumber(fields, kClassOidField);
        relnatts_[oid] = static_cast<int16_t>(fieldNumber(fields, kClassRelnattsField));
        if (oid == kNamespaceOid)
            namespaceFileNode_ = fieldNumber(fields, kClassFileNodeField);
        // The catalogues' own indexes: system OIDs, whose file nodes the checks below need.
        if (oid < kFirstNormalOid && fields.size() > kClassRelkindField &&
            fields[kClassRelkindField] == "i")
            indexFileNodes_[oid] = fieldNumber(fields, kClassFileNodeField);
    }
    const uint32_t rows = checkedRows(outcome, CatalogKind::kClass, database, warnings_, *log_);
    noteLostBlocks(lostBlocksWarning(CatalogKind::kClass,
                                     fmt::format("pg_class of {}", databaseLabel(&database)),
                                     outcome, map, indexFileNodes_));
    return rows;
}

uint32_t DictLoader::generateAttributeDict(const DatabaseEntry& database, const IFileNodeMap* map,
                                           std::ostream& out) {
    CatalogOutcome outcome = runCatalog(
        {CatalogKind::kAttribute, &database, map, 0, relnatts_.empty() ? nullptr : &relnatts_}, out,
        *log_);
    const uint32_t rows = checkedRows(outcome, CatalogKind::kAttribute, database, warnings_, *log_);
    noteLostBlocks(lostBlocksWarning(CatalogKind::kAttribute,
                                     fmt::format("pg_attribute of {}", databaseLabel(&database)),
                                     outcome, map, indexFileNodes_));
    return rows;
}

uint32_t DictLoader::generateNamespaceDict(const DatabaseEntry& database, const IFileNodeMap* map,
                                           std::ostream& out) {
    CatalogOutcome outcome = runCatalog(
        {CatalogKind::kNamespace, &database, map, namespaceFileNode_, nullptr}, out, *log_);
    const uint32_t rows = checkedRows(outcome, CatalogKind::kNamespace, database, warnings_, *log_);
    noteLostBlocks(lostBlocksWarning(CatalogKind::kNamespace,
                                     fmt::format("pg_namespace of {}", databaseLabel(&database)),
                                     outcome, map, indexFileNodes_));
    return rows;
}

namespace {

// The tables ('r' and 'p' rows) of a pg_class cache file; nullopt when it cannot be read.
std::optional<uint64_t> tablesInClassFile(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    uint64_t tables = 0;
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> fields = splitCacheLine(line);
        if (fields.size() > 5 && (fields[5] == "r" || fields[5] == "p"))
            ++tables;
    }
    return tables;
}

}  // namespace

void DictLoader::keepPreviousIfWorse() {
    std::vector<std::string> reasons;
    if (warnings_.size() > lostBlockWarnings_)
        reasons.push_back("catalogues were read with damage");
    if (lostBlockWarnings_ > 0)
        reasons.push_back(fmt::format("{} catalogue{} lost blocks", lostBlockWarnings_,
                                      lostBlockWarnings_ == 1 ? "" : "s"));
    const std::optional<uint64_t> before = tablesInClassFile(dictFilePath(DictFile::kClass));
    const std::optional<uint64_t> after = tablesInClassFile(temporaryPath(DictFile::kClass));
    if (before && after && *after < *before)
        reasons.push_back(
            fmt::format("this bootstrap found {} tables where it had {}", *after, *before));
    if (!databaseFailures_.empty())
        reasons.push_back(fmt::format("{} database{} not read", databaseFailures_.size(),
                                      databaseFailures_.size() == 1 ? " was" : "s were"));
    if (reasons.empty())
        return;

    const DictFile files[] = {DictFile::kDatabase, DictFile::kNamespace, DictFile::kClass,
                              DictFile::kAttribute};
    std::error_code ec;
    bool any = false;
    for (DictFile f : files)
        any = any || fs::exists(dictFilePath(f), ec);
    if (!any)
        return;  // nothing to replace: the first bootstrap of this folder

    // Each file is copied under a temporary name and renamed, so that a copy cut short never
    // passes for the previous dictionary; a file the folder lacks is removed from the copy.
    const std::string folder = dictDirectory + "/previous";
    std::string error;
    fs::create_directories(folder, ec);
    if (ec)
        error = fmt::format("{}: {}", folder, ec.message());
    for (DictFile f : files) {
        if (!error.empty())
            break;
        const std::string from = dictFilePath(f);
        const std::string to = folder + "/" + fs::path(from).filename().string();
        if (!fs::exists(from, ec)) {
            fs::remove(to, ec);
            continue;
        }
        fs::copy_file(from, to + ".tmp", fs::copy_options::overwrite_existing, ec);
        if (!ec)
            fs::rename(to + ".tmp", to, ec);
        if (ec)
            error = fmt::format("{}: {}", to, ec.message());
    }
    if (!error.empty()) {
        removeTemporaryFiles();
        throw DictExcept(fmt::format(
            "failed to keep the previous dictionary in {}/, error: {}. The dictionary was not "
            "changed.",
            folder, error));
    }
    keptPrevious_ = fmt::format("The previous dictionary was kept in {}/: ", folder);
    for (size_t i = 0; i < reasons.size(); ++i)
        keptPrevious_ += (i == 0 ? "" : "; ") + reasons[i];
    keptPrevious_ += ".";
    log_->warn(keptPrevious_);
}

int DictLoader::generateFromDatabase(ServerVersion, IProgressBar* progress) {
    failures_.clear();
    warnings_.clear();
    lostBlockWarnings_ = 0;
    databaseFailures_.clear();
    keptPrevious_.clear();
    log_->info("");
    log_->info("Generate dictionary from DB...");
    checkDataDirectory();

    progressStep(progress, 0, "pg_database");
    // The four temporary cache files are removed by a signal that ends the process while
    // they are written; each entry forgets its file when this function returns, after the
    // renames or the removal below.
    TempFileEntry temporaries[4];
    temporaries[0].track(temporaryPath(DictFile::kDatabase));
    DatabaseList databases;
    {
        const std::optional<FileNodeMap> globalMap =
            loadMap(dataDirectory + "/global/pg_filenode.map", *log_);
        try {
            generateDatabaseDict(globalMap ? &*globalMap : nullptr,
                                 temporaryPath(DictFile::kDatabase));
            temporaries[0].created();
            const int lines = readDatabaseCacheFile(temporaryPath(DictFile::kDatabase), databases);
            log_->infoFormatted("{} table, unload {} rows.", "pg_database", lines);
        } catch (const std::exception& e) {
            // Whether or not the file got created: its creation is over.
            temporaries[0].created();
            fail(fmt::format("unload {} table error, {}.", "pg_database", e.what()));
        }
    }
    if (failures_.empty() && databases.empty())
        fail("no database found");

    struct Output {
        DictFile file;
        std::ofstream stream;
    };
    Output outputs[3] = {
        {DictFile::kNamespace, {}}, {DictFile::kClass, {}}, {DictFile::kAttribute, {}}};
    for (size_t i = 0; i < 3; ++i) {
        Output& output = outputs[i];
        const std::string path = temporaryPath(output.file);
        temporaries[i + 1].track(path);
        output.stream.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
        temporaries[i + 1].created();
        if (!output.stream) {
            const std::string reason = std::strerror(errno);
            removeTemporaryFiles();
            throw DictExcept(fmt::format("failed to open dict file {}, error: {}", path, reason));
        }
    }

    // Each database's lines are held until all three of its catalogues were read, so that a
    // database that fails leaves nothing half-written; the others are written all the same.
    size_t databasesRead = 0;
    if (!databases.empty()) {
        const int step = 100 / static_cast<int>(databases.size());
        int p = step + 1;
        for (const DatabaseEntry& database : databases) {
            log_->infoFormatted("unload database {}, oid {}, charset {}...", database.datname,
                                database.oid, database.encoding);
            const std::string mapPath = databaseDirectory(database) + "/pg_filenode.map";
            const std::optional<FileNodeMap> map = loadMap(mapPath, *log_);
            const IFileNodeMap* mapPtr = map ? &*map : nullptr;
            std::ostringstream held[3];
            // pg_class first: pg_attribute needs its column counts, pg_namespace its file node.
            const struct {
                int progressStep;
                CatalogKind kind;
                uint32_t (DictLoader::*generate)(const DatabaseEntry&, const IFileNodeMap*,
                                                 std::ostream&);
                std::ostringstream& out;
                Output& output;
            } steps[] = {
                {p, CatalogKind::kClass, &DictLoader::generateClassDict, held[0], outputs[1]},
                {p + step + 1, CatalogKind::kAttribute, &DictLoader::generateAttributeDict, held[1],
                 outputs[2]},
                {p + 2 * step + 2, CatalogKind::kNamespace, &DictLoader::generateNamespaceDict,
                 held[2], outputs[0]},
            };
            relnatts_.clear();
            namespaceFileNode_ = 0;
            std::string failure;
            for (const auto& s : steps) {
                progressStep(progress, s.progressStep, catalogName(s.kind));
                try {
                    const uint32_t rows = (this->*s.generate)(database, mapPtr, s.out);
                    log_->infoFormatted("..{} table, unload {} rows.", catalogName(s.kind), rows);
                } catch (const std::exception& e) {
                    log_->errorFormatted("..unload {} table error, {}.", catalogName(s.kind),
                                         e.what());
                    failure = e.what();
                    break;
                }
            }
            p += 3 * step + 3;
            if (!failure.empty()) {
                databaseFailures_.push_back({database.datname, database.oid, failure});
                log_->errorFormatted("Database \"{}\" (OID {}) not read: {}", database.datname,
                                     database.oid, failure);
                continue;
            }
            for (const auto& s : steps)
                s.output.stream << s.out.view();
            ++databasesRead;
        }
    }
    // Not one database read: the dictionary would be empty, which tells the user nothing the
    // one in place does not.
    if (failures_.empty() && !databases.empty() && databasesRead == 0)
        fail(fmt::format("no database could be read; database \"{}\" (OID {}): {}.",
                         databaseFailures_.front().name, databaseFailures_.front().oid,
                         databaseFailures_.front().reason));

    for (Output& output : outputs) {
        output.stream.close();
        if (!output.stream)
            fail(fmt::format("failed to write dict file {}", temporaryPath(output.file)));
    }

    if (!failures_.empty()) {
        removeTemporaryFiles();
        std::string message = failures_.front();
        if (failures_.size() > 1)
            message += fmt::format(" ({} more failures in log/vorn.log)", failures_.size() - 1);
        throw DictExcept(message + " The dictionary was not changed.");
    }
    keepPreviousIfWorse();
    for (DictFile f :
         {DictFile::kDatabase, DictFile::kNamespace, DictFile::kClass, DictFile::kAttribute}) {
        std::error_code ec;
        fs::rename(temporaryPath(f), dictFilePath(f), ec);
        if (ec) {
            removeTemporaryFiles();
            throw DictExcept(fmt::format("failed to replace dict file {}, error: {}",
                                         dictFilePath(f), ec.message()));
        }
    }

    progressStep(progress, 100, "Completed");
    log_->infoFormatted("Finish unloading ({}).", 100);
    return 1;
}

bool DictLoader::loadFromCache(IProgressBar* progress, int firstStep) {
    Dictionary& d = *dictionary_;
    d.databases.clear();
    d.schemas.clear();
    d.tables.clear();
    d.toastTables.clear();
    log_->info("");
    log_->info("Loading dictionary from Cache...");

    const char* catalogue = "pg_database";
    bool ok = true;
    try {
        progressStep(progress, firstStep, catalogue);
        int lines = readDatabaseCache(d.databases);
        log_->infoFormatted("{} table, load {} rows.", catalogue, lines);

        catalogue = "pg_namespace";
        progressStep(progress, firstStep + 1, catalogue);
        lines = readNamespaceCache(d.schemas);
        log_->infoFormatted("..{} table, load {} rows.", catalogue, lines);

        catalogue = "pg_class";
        progressStep(progress, firstStep + 2, catalogue);
        lines = readClassCache(d.tables, d.toastTables, &d.databases);
        log_->infoFormatted("..{} table, load {} rows.", catalogue, lines);

        catalogue = "pg_attribute";
        progressStep(progress, firstStep + 3, catalogue);
        lines = readAttributeCache(d.tables);
        log_->infoFormatted("..{} table, load {} rows.", catalogue, lines);

        progressStep(progress, firstStep + 4, "Completed");
        log_->infoFormatted("Finish loading dictionary({}).", firstStep + 5);
    } catch (const std::exception& e) {
        log_->errorFormatted("..{} table error, {}.", catalogue, e.what());
        log_->info("Please run 'bootstrap' to init dictionary.");
        ok = false;
    }
    if (!d.databases.empty())
        d.currentDatabaseOid = d.databases.front().oid;
    return ok;
}

}  // namespace vorn
