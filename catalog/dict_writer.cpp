#include "catalog/dict_writer.h"

#include <algorithm>
#include <cstring>

#include "catalog/dict_cache.h"
#include "catalog/dict_except.h"
#include "storage/column_batch.h"
#include "storage/text_buffer.h"
#include "storage/value_text.h"
#include "storage/varlena_header.h"

namespace vorn {

namespace {

struct MapColumn {
    const char* name;
    bool optional;
};

void buildMap(const char* catalogue, const ColumnLayout& layout,
              std::initializer_list<MapColumn> columns, std::vector<uint16_t>& map) {
    std::vector<uint16_t> built(columns.size() + 1, kNoColumn);
    size_t entry = 1;
    for (const MapColumn& column : columns) {
        // The later of two columns of one name wins.
        for (size_t pos = 0; pos < layout.size(); ++pos)
            if (layout[pos].name() == column.name)
                built[entry] = static_cast<uint16_t>(pos);
        if (built[entry] == kNoColumn && !column.optional)
            throw DictExcept(catalogue, "Invalid column definition");
        ++entry;
    }
    if (layout.empty())
        throw DictExcept(catalogue, "Invalid column definition");
    map = std::move(built);
}

// Text of a value for a cache line; false for a type the cache does not render.
bool renderValue(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out) {
    switch (column.atttypid) {
        case typeoid::kBool:
            return outputBool(value, length, column, out);
        case typeoid::kChar:
            return outputChar(value, length, column, out);
        case typeoid::kName:
            return outputName(value, length, column, out);
        case typeoid::kInt8:
            return outputInt8(value, length, column, out);
        case typeoid::kInt2:
            return outputInt2(value, length, column, out);
        case typeoid::kInt4:
            return outputInt4(value, length, column, out);
        case typeoid::kOid:
            return outputOid(value, length, column, out);
        case typeoid::kXid:
            return outputXid(value, length, column, out);
        case typeoid::kFloat4:
            return outputFloat4(value, length, column, out);
        case typeoid::kFloat8:
            return outputFloat8(value, length, column, out);
        case typeoid::kMoney:
            return outputMoney(value, length, column, out);
        case typeoid::kDate:
            return outputDate(value, length, column, out);
        case typeoid::kTime:
            return outputTime(value, length, column, out);
        case typeoid::kTimestamp:
            return outputTimestamp(value, length, column, out);
        case typeoid::kTimestampTz:
            return outputTimestampTz(value, length, column, out);
        case typeoid::kInterval:
            return outputInterval(value, length, column, out);
        case typeoid::kTimeTz:
            return outputTimeTz(value, length, column, out);
        case typeoid::kDatetime:
            return outputDatetime(value, length, column, out);
        default:
            return false;
    }
}

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

void databaseColumnMap(const ColumnLayout& layout, std::vector<uint16_t>& map) {
    buildMap("pg_database", layout,
             {{"oid", false},
              {"datname", false},
              {"encoding", false},
              {"datcompatibility", true},
              {"dattablespace", true}},
             map);
}

void namespaceColumnMap(const ColumnLayout& layout, std::vector<uint16_t>& map) {
    buildMap("pg_namespace", layout, {{"oid", false}, {"nspname", false}}, map);
}

void classColumnMap(const ColumnLayout& layout, std::vector<uint16_t>& map) {
    buildMap("pg_class", layout,
             {{"relnamespace", false},
              {"oid", false},
              {"relname", false},
              {"reltype", false},
              {"relkind", false},
              {"relnatts", false},
              {"relfilenode", false},
              {"reltoastrelid", false},
              {"reltablespace", true}},
             map);
}

void attributeColumnMap(const ColumnLayout& layout, std::vector<uint16_t>& map) {
    buildMap("pg_attribute", layout,
             {{"attrelid", false},
              {"attnum", false},
              {"attname", false},
              {"atttypid", false},
              {"atttypmod", false},
              {"attlen", false},
              {"attnotnull", false},
              {"attisdropped", true},
              {"attalign", true},
              {"attbyval", true},
              {"atthasmissing", true},
              {"attmissingval", true},
              {"attgenerated", true}},
             map);
}

bool arrayElementValue(const uint8_t* array, uint32_t length, int32_t elementLength,
                       std::string& element) {
    // Array value after its varlena header:
    //   0  int32 ndim   4  int32 dataoffset (0: no null bitmap)   8  oid element type
    //   12 int32 dims[ndim], then int32 lbound[ndim], then the null bitmap when dataoffset != 0
    //   elements from dataoffset, or from MAXALIGN(16 + 8 * ndim); both counted from the
    //   varlena start, 4 bytes before this buffer.
    auto load32 = [&](uint32_t at) {
        int32_t v;
        std::memcpy(&v, array + at, 4);
        return v;
    };
    if (length < 20)
        return false;
    const int32_t ndim = load32(0);
    const int32_t dataOffset = load32(4);
    if (ndim != 1 || load32(12) < 1)
        return false;
    uint32_t start;
    if (dataOffset != 0) {
        if (length < 21 || (array[20] & 1) == 0)  // the first element is NULL
            return false;
        if (dataOffset < 4)
            return false;
        start = static_cast<uint32_t>(dataOffset) - 4;
    } else {
        start = ((16 + 8 + 7) & ~7u) - 4;
    }
    if (start >= length)
        return false;
    const uint8_t* p = array + start;
    const uint32_t left = length - start;
    if (elementLength > 0) {
        if (static_cast<uint32_t>(elementLength) > left)
            return false;
        element.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(elementLength));
        return true;
    }
    if (elementLength == -2) {
        const void* nul = std::memchr(p, 0, left);
        if (nul == nullptr)
            return false;
        element.assign(reinterpret_cast<const char*>(p),
                       static_cast<size_t>(static_cast<const uint8_t*>(nul) - p));
        return true;
    }
    if (elementLength != -1)
        return false;
    // Arrays hold their elements plain: never compressed, never external.
    const VarlenaHeader header = readVarlenaHeader(p, left);
    if (!header.inPlace())
        return false;
    element.assign(reinterpret_cast<const char*>(p + header.headerSize), header.valueSize());
    return true;
}

DictWriter::DictWriter(std::ostream* out, uint32_t databaseOid,
                       const std::vector<uint16_t>& columnMap, const ColumnLayout& layout)
    : out_(out), databaseOid_(databaseOid), layout_(layout), columnMap_(columnMap) {
    std::stable_sort(layout_.begin(), layout_.end(),
                     [](const ColumnDef& a, const ColumnDef& b) { return a.attnum < b.attnum; });
    for (size_t i = 0; i < layout_.size(); ++i)
        if (layout_[i].name() == "attlen")
            attlenColumn_ = static_cast<int>(i);
}

void DictWriter::setIdentity(std::vector<size_t> mapEntries) {
    identity_ = std::move(mapEntries);
}

void DictWriter::setColumnLimit(const std::unordered_map<uint32_t, int16_t>* relnatts,
                                size_t relationEntry, size_t attnumEntry) {
    relnatts_ = relnatts;
    relationEntry_ = relationEntry;
    attnumEntry_ = attnumEntry;
}

std::string_view DictWriter::fieldOf(const std::string& line, size_t entry) const {
    const size_t begin = fieldStarts_[entry];
    size_t end = fieldStarts_[entry + 1];
    if (entry + 1 < columnMap_.size())
        --end;  // the separator
    return std::string_view(line).substr(begin, end - begin);
}

void DictWriter::renderField(const ColumnBatch& batch, uint32_t row, uint16_t column,
                             std::string& line) {
    if (column == kNoColumn || column >= layout_.size() || column >= batch.size())
        return;
    const ColumnValues& values = batch[column];
    if (values.dropped || values.isNull(row) || values.lengths[row] == 0)
        return;
    const std::string_view value = values.value(row);
    const auto* bytes = reinterpret_cast<const uint8_t*>(value.data());
    const auto length = static_cast<uint32_t>(value.size());
    const ColumnDef& def = layout_[column];

    if (def.atttypid == typeoid::kBpchar || def.atttypid == typeoid::kVarchar) {
        for (const char c : value)
            line += (c == '|' || c == '\0' || c == '\n' || c == '\r') ? '.' : c;
        return;
    }
    if (def.atttypid == 2277) {
        // attmissingval: the hex of the default's bytes, read with the row's attlen; "?" for
        // a value that is not one element of that form, which loads as no default.
        int32_t elementLength = 0;
        if (attlenColumn_ >= 0 && !batch[attlenColumn_].isNull(row) &&
            batch[attlenColumn_].lengths[row] == 2) {
            int16_t v;
            std::memcpy(&v, batch[attlenColumn_].value(row).data(), 2);
            elementLength = v;
        }
        std::string element;
        if (!arrayElementValue(bytes, length, elementLength, element)) {
            line += '?';
            return;
        }
        for (const char c : element) {
            line += kHex[static_cast<uint8_t>(c) >> 4];
            line += kHex[static_cast<uint8_t>(c) & 15];
        }
        return;
    }
    TextBuffer text(64);
    if (renderValue(bytes, length, def, text))
        appendCacheEscaped(line, text.view());
}

void DictWriter::renderLine(const ColumnBatch& batch, uint32_t row, std::string& line) {
    line.clear();
    fieldStarts_.assign(columnMap_.size() + 1, 0);
    line += std::to_string(databaseOid_);
    line += '|';
    for (size_t i = 1; i < columnMap_.size(); ++i) {
        fieldStarts_[i] = line.size();
        renderField(batch, row, columnMap_[i], line);
        if (i + 1 < columnMap_.size())
            line += '|';
    }
    fieldStarts_[columnMap_.size()] = line.size();
}

uint32_t DictWriter::writeRows(const ColumnBatch* batch, uint32_t rows) {
    if (batch == nullptr)
        return rows;
    std::string line;
    for (uint32_t r = 0; r < rows; ++r) {
        renderLine(*batch, r, line);
        if (relnatts_ != nullptr) {
            const std::string relation(fieldOf(line, relationEntry_));
            const auto found =
                relnatts_->find(static_cast<uint32_t>(std::strtoul(relation.c_str(), nullptr, 10)));
            const long attnum =
                std::strtol(std::string(fieldOf(line, attnumEntry_)).c_str(), nullptr, 10);
            if (found != relnatts_->end() && attnum > found->second)
                continue;  // a column of a rolled-back ADD COLUMN
        }
        if (identity_.empty()) {
            line += '\n';
            out_->write(line.data(), static_cast<std::streamsize>(line.size()));
            continue;
        }
        std::string key;
        bool identified = true;
        for (const size_t entry : identity_) {
            const std::string_view part = fieldOf(line, entry);
            identified = identified && !part.empty();
            key.append(part);
            key += '|';
        }
        const bool committed = batch->committed == nullptr || batch->committed[r] != 0;
        if (identified) {
            const auto [it, inserted] = byIdentity_.try_emplace(key, lines_.size());
            if (!inserted) {
                const size_t at = it->second;
                // An earlier version hinted committed beats a later one that is not.
                if (committed || !committed_[at]) {
                    lines_[at] = line;
                    committed_[at] = committed;
                }
                continue;
            }
        }
        lines_.push_back(line);
        committed_.push_back(committed);
    }
    return rows;
}

void DictWriter::finish() {
    if (written_)
        return;
    written_ = true;
    for (const std::string& line : lines_) {
        out_->write(line.data(), static_cast<std::streamsize>(line.size()));
        out_->put('\n');
    }
}

}  // namespace vorn
