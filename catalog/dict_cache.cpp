#include "catalog/dict_cache.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "base/encoding.h"
#include "catalog/dict_except.h"

namespace vorn {

std::string dictDirectory = "dict";

std::string dictFilePath(DictFile file) {
    switch (file) {
        case DictFile::kDatabase:
            return dictDirectory + "/pg_db.dat";
        case DictFile::kNamespace:
            return dictDirectory + "/pg_schema.dat";
        case DictFile::kClass:
            return dictDirectory + "/pg_class.dat";
        case DictFile::kAttribute:
            return dictDirectory + "/pg_attr.dat";
    }
    return {};
}

void appendCacheEscaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '|':
                out += "\\|";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
}

std::vector<std::string> splitCacheLine(std::string_view line) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '|') {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char next = line[++i];
            fields.back() += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

namespace {

// Field `i` of a split line, empty when the line is shorter.
const std::string& field(const std::vector<std::string>& fields, size_t i) {
    static const std::string empty;
    return i < fields.size() ? fields[i] : empty;
}

uint32_t unsignedField(const std::vector<std::string>& fields, size_t i) {
    return static_cast<uint32_t>(std::strtoul(field(fields, i).c_str(), nullptr, 10));
}

long signedField(const std::vector<std::string>& fields, size_t i) {
    return std::strtol(field(fields, i).c_str(), nullptr, 10);
}

bool trueField(const std::vector<std::string>& fields, size_t i) {
    return !field(fields, i).empty() && field(fields, i)[0] == 't';
}

// Runs `perLine` over every line of `file`; the catalogue name labels a failure.
template <typename PerLine>
int readLines(const std::string& path, const char* catalogue, PerLine perLine) {
    std::ifstream in(path);
    if (!in)
        throw DictExcept(
            fmt::format("failed to open dict file {}, error: {}", path, std::strerror(errno)));
    int lines = 0;
    try {
        std::string line;
        while (std::getline(in, line)) {
            ++lines;
            perLine(splitCacheLine(line));
        }
    } catch (const DictExcept&) {
        throw;
    } catch (const std::exception& e) {
        throw DictExcept(catalogue, e.what());
    }
    return lines;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes of a hex text; false for an odd length or a non-hex character.
bool fromHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0)
        return false;
    bytes.clear();
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes += static_cast<char>(hi << 4 | lo);
    }
    return true;
}

// A cache written before alignments were kept: the alignment PostgreSQL gives a type of this
// length (variable-length types are int-aligned unless they say otherwise).
char alignmentForLength(int32_t length) {
    switch (length) {
        case 8:
            return 'd';
        case 4:
        case -1:
            return 'i';
        case 2:
            return 's';
        default:
            return 'c';
    }
}

}  // namespace

int readDatabaseCache(DatabaseList& databases) {
    return readDatabaseCacheFile(dictFilePath(DictFile::kDatabase), databases);
}

int readDatabaseCacheFile(const std::string& path, DatabaseList& databases) {
    const int lines = readLines(path, "pg_database", [&](const auto& fields) {
        DatabaseEntry entry;
        entry.oid = unsignedField(fields, 1);
        entry.encoding = static_cast<int16_t>(signedField(fields, 3));
        entry.datname = field(fields, 2);
        entry.datcompatibility = field(fields, 4);
        entry.tablespace = unsignedField(fields, 5);
        const EncodingInfo* encoding = findEncodingById(entry.encoding);
        entry.encodingName = encoding != nullptr ? encoding->name : "unknown";
        if (entry.datname == "template0" || entry.datname == "template1")
            return;
        databases.push_back(std::move(entry));
    });
    std::stable_sort(databases.begin(), databases.end(),
                     [](const DatabaseEntry& a, const DatabaseEntry& b) { return a.oid < b.oid; });
    return lines;
}

int readNamespaceCache(SchemaMap& schemas) {
    return readLines(dictFilePath(DictFile::kNamespace), "pg_namespace", [&](const auto& fields) {
        NamespaceEntry entry;
        entry.dboid = unsignedField(fields, 0);
        entry.oid = unsignedField(fields, 1);
        entry.nspname = field(fields, 2);
        schemas[dictKey(entry.dboid, entry.oid)] = std::move(entry);
    });
}

int readClassCache(TableMap& tables, ToastMap& toasts, const DatabaseList* databases) {
    std::map<uint32_t, uint32_t> databaseTablespace;
    if (databases != nullptr)
        for (const DatabaseEntry& db : *databases)
            databaseTablespace[db.oid] = db.tablespace;

    const int lines =
        readLines(dictFilePath(DictFile::kClass), "pg_class", [&](const auto& fields) {
            PgClass record;
            record.dboid = unsignedField(fields, 0);
            record.relnamespace = unsignedField(fields, 1);
            record.oid = unsignedField(fields, 2);
            record.setRelname(field(fields, 3));
            record.reltype = unsignedField(fields, 4);
            record.relkind = field(fields, 5).empty() ? '\0' : field(fields, 5)[0];
            record.relnatts = static_cast<int16_t>(signedField(fields, 6));
            record.relfilenode = unsignedField(fields, 7);
            record.reltoastrelid = unsignedField(fields, 8);
            record.reltablespace = unsignedField(fields, 9);
            const auto ts = databaseTablespace.find(record.dboid);
            record.dbTablespace = ts != databaseTablespace.end() ? ts->second : 0;

            const uint64_t key = dictKey(record.dboid, record.oid);
            if (record.relkind == 'r' || record.relkind == 'p') {
                static_cast<PgClass&>(tables[key]) = record;
            } else if (record.relkind == 't') {
                static_cast<PgClass&>(toasts[key]) = record;
            }
        });

    for (auto& [key, table] : tables) {
        if (table.PgClass::oid == 0 || table.reltoastrelid == 0)
            continue;
        const auto toast = toasts.find(dictKey(table.dboid, table.reltoastrelid));
        if (toast != toasts.end())
            table.toast = &toast->second;
    }
    return lines;
}

int readAttributeCache(TableMap& tables) {
    std::map<uint64_t, ColumnLayout> groups;
    const int lines =
        readLines(dictFilePath(DictFile::kAttribute), "pg_attribute", [&](const auto& fields) {
            if (fields.size() < 3)
                return;
            const auto attnum = static_cast<int16_t>(signedField(fields, 2));
            if (attnum <= 0)
                return;
            ColumnDef column;
            column.attnum = attnum;
            column.setName(field(fields, 3));
            column.atttypid = unsignedField(fields, 4);
            column.atttypmod = static_cast<int32_t>(signedField(fields, 5));
            column.attlen = static_cast<int32_t>(signedField(fields, 6));
            column.nullable = !trueField(fields, 7);
            if (trueField(fields, 8))
                column.atttypid = 0;  // dropped: stepped over, never written
            const std::string& align = field(fields, 9);
            column.attalign = align.empty() ? alignmentForLength(column.attlen) : align[0];
            column.attbyval = fields.size() > 10 ? trueField(fields, 10)
                                                 : (column.attlen == 1 || column.attlen == 2 ||
                                                    column.attlen == 4 || column.attlen == 8);
            if (trueField(fields, 11) && fromHex(field(fields, 12), column.missingValue))
                column.hasMissing = true;
            else
                column.missingValue.clear();
            const std::string& generated = field(fields, 13);
            column.attgenerated = generated.size() == 1 ? generated[0] : 0;
            const uint64_t key = dictKey(unsignedField(fields, 0), unsignedField(fields, 1));
            groups[key].push_back(std::move(column));
        });

    for (auto& [key, columns] : groups) {
        PgTable& table = tables[key];
        if (table.PgClass::oid != 0 && table.relnatts >= 0)
            std::erase_if(columns, [&](const ColumnDef& c) { return c.attnum > table.relnatts; });
        // Two rows of one column (versions of a row the writer could not tell apart): the
        // later one in the file stands.
        std::stable_sort(
            columns.begin(), columns.end(),
            [](const ColumnDef& a, const ColumnDef& b) { return a.attnum < b.attnum; });
        ColumnLayout unique;
        for (ColumnDef& c : columns) {
            if (!unique.empty() && unique.back().attnum == c.attnum)
                unique.back() = std::move(c);
            else
                unique.push_back(std::move(c));
        }
        table.setColumns(unique);
    }
    return lines;
}

}  // namespace vorn
