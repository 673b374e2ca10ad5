#include "catalog/dictionary.h"

#include <fmt/format.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "catalog/dict_loader.h"
#include "storage/relation_path.h"

namespace vorn {

namespace {

// The schema of a relation as the dictionary knows it: by the relation's own database (the
// current one for a record without), "public" for schema 0 and "" for a schema it lacks.
std::string dictionarySchemaName(const PgClass& relation) {
    const Dictionary& d = Dictionary::instance();
    const uint32_t database = relation.dboid != 0 ? relation.dboid : d.currentDatabaseOid;
    const auto found = d.schemas.find(dictKey(database, relation.relnamespace));
    if (found != d.schemas.end())
        return found->second.nspname;
    return relation.relnamespace == 0 ? "public" : "";
}

std::string_view relationName(const PgTable& table) {
    return std::string_view(table.relname, strnlen(table.relname, sizeof table.relname));
}

// The entry of `entries` (named `names`, in the same order) the typed part picks, or why
// there is none. `kind` names the entries in the ambiguity message.
template <class T>
NameLookup<T> pickByName(const std::vector<T*>& entries, const std::vector<std::string_view>& names,
                         const NamePart& typed, std::string_view kind) {
    const NameMatch match = matchName(typed, names);
    NameLookup<T> lookup;
    if (match.kind == NameMatch::kFound) {
        lookup.found = entries[match.index];
    } else if (match.kind == NameMatch::kAmbiguous) {
        std::vector<std::string_view> twins;
        for (size_t i : match.twins)
            twins.push_back(names[i]);
        lookup.ambiguity = ambiguousNameMessage(kind, typed.text, twins);
    }
    return lookup;
}

}  // namespace

Dictionary& Dictionary::instance() {
    static Dictionary dictionary;
    return dictionary;
}

Dictionary::Dictionary() : converter(std::make_unique<CharsetConverter>()) {
    converter->open("UTF-8", "UTF-8");
    version = serverVersion;
    setSchemaNameResolver(&dictionarySchemaName);
}

Dictionary::~Dictionary() {
    setSchemaNameResolver(nullptr);
}

void Dictionary::setServerVersion(int16_t major, int16_t minor) {
    version = ServerVersion{major, minor};
    serverVersion = version;
}

void Dictionary::setDataDirectory(const std::string& path) {
    dataDirectory = path;
}

void Dictionary::setBlockSize(int size) {
    blockSize = static_cast<uint16_t>(size);
}

int Dictionary::loadStepCount() {
    return DictLoader::loadStepCount();
}

int Dictionary::generateStepCount() {
    return DictLoader::generateStepCount();
}

bool Dictionary::loadFromCache(IProgressBar* progress) {
    ++cacheLoads_;
    DictLoader loader(this);
    return loader.loadFromCache(progress, 0);
}

int Dictionary::generate(IProgressBar* progress) {
    DictLoader loader(this);
    const auto keepReports = [&] {
        generationWarnings_ = loader.warnings();
        databaseFailures_ = loader.databaseFailures();
        keptPrevious_ = loader.keptPrevious();
    };
    try {
        const int result = loader.generateFromDatabase(version, progress);
        keepReports();
        return result;
    } catch (...) {
        keepReports();
        throw;
    }
}

std::vector<std::string> Dictionary::layoutWarnings() const {
    std::vector<std::string> warnings;
    for (const auto& [key, table] : tables) {
        if (table.PgClass::oid == 0)
            continue;
        const std::string gap = table.missingAttributes();
        if (gap.empty())
            continue;
        std::string database = std::to_string(table.dboid);
        for (const DatabaseEntry& db : databases)
            if (db.oid == table.dboid)
                database = db.datname;
        warnings.push_back(fmt::format("table \"{}\".\"{}\" of database {}: {}", table.schemaName(),
                                       table.tableName(), database, gap));
    }
    return warnings;
}

NameLookup<const DatabaseEntry> Dictionary::findDatabase(const NamePart& name) const {
    std::vector<const DatabaseEntry*> entries;
    std::vector<std::string_view> names;
    for (const DatabaseEntry& entry : databases) {
        entries.push_back(&entry);
        names.push_back(entry.datname);
    }
    return pickByName(entries, names, name, "Database");
}

NameLookup<const NamespaceEntry> Dictionary::findSchema(const NamePart& name) const {
    std::vector<const NamespaceEntry*> entries;
    std::vector<std::string_view> names;
    for (const auto& [key, entry] : schemas) {
        if (entry.dboid != currentDatabaseOid)
            continue;
        entries.push_back(&entry);
        names.push_back(entry.nspname);
    }
    return pickByName(entries, names, name, "Schema");
}

NameLookup<PgTable> Dictionary::findTable(const NamePart& schema, const NamePart& table) {
    const NameLookup<const NamespaceEntry> owner = findSchema(schema);
    if (owner.found == nullptr)
        return {nullptr, owner.ambiguity};
    return findTableInSchema(owner.found->oid, table);
}

NameLookup<PgTable> Dictionary::findTableInSchema(uint32_t schemaOid, const NamePart& table) {
    const std::vector<PgTable*> entries = namedTablesOfSchema(schemaOid);
    std::vector<std::string_view> names;
    names.reserve(entries.size());
    for (const PgTable* entry : entries)
        names.push_back(relationName(*entry));
    return pickByName(entries, names, table, "Table");
}

std::vector<PgTable*> Dictionary::namedTablesOfSchema(uint32_t schemaOid) {
    std::vector<PgTable*> out;
    for (auto& [key, table] : tables)
        if (table.dboid == currentDatabaseOid && table.relnamespace == schemaOid &&
            table.PgClass::oid != 0)
            out.push_back(&table);
    return out;
}

PgTable* Dictionary::findTable(const char* schemaName, const char* tableName) {
    if (schemaName == nullptr || tableName == nullptr || *schemaName == '\0')
        return nullptr;
    return findTable(NamePart{schemaName, false}, NamePart{tableName, false}).found;
}

PgTable* Dictionary::findTableInSchema(uint32_t schemaOid, const char* tableName) {
    if (tableName == nullptr)
        return nullptr;
    return findTableInSchema(schemaOid, NamePart{tableName, false}).found;
}

uint32_t Dictionary::tablesOfSchema(std::vector<PgTable*>& out, uint32_t schemaOid) {
    uint32_t count = 0;
    for (auto& [key, table] : tables) {
        if (table.dboid != currentDatabaseOid || table.relnamespace != schemaOid ||
            table.PgClass::oid == 0)
            continue;
        if (std::strncmp(table.relname, "SYS_EXPORT_TABLE_", 17) == 0 ||
            std::strncmp(table.relname, "SYS_IMPORT_TABLE_", 17) == 0)
            continue;
        out.push_back(&table);
        ++count;
    }
    return count;
}

std::string Dictionary::toUtf8(const std::string& text) {
    if (text.empty())
        return {};
    // One source byte can become up to four bytes of UTF-8 (three for WIN1252 or SJIS).
    const size_t size = 4 * text.size() + 1;
    std::string out(size, '\0');
    const uint32_t n = converter->convert(text.data(), static_cast<uint32_t>(text.size()),
                                          out.data(), static_cast<uint32_t>(size));
    if (n == 0)
        return "<invalid utf8 str>";
    out.resize(n);
    return out;
}

void Dictionary::setClientEncoding(int encodingId) {
    std::string name = "UTF8";
    std::string source = "UTF-8";
    if (const EncodingInfo* info = findEncodingById(encodingId)) {
        name = info->name;
        source = info->iconvName;
    }
    if (name == clientEncoding)
        return;
    clientEncoding = name;
    auto next = std::make_unique<CharsetConverter>();
    next->open("UTF-8", source);
    converter = std::move(next);
    char value[128] = {};
    std::strncpy(value, name.c_str(), sizeof value - 1);
    setenv("PGCLIENTENCODING", value, 1);
}

}  // namespace vorn
