// Column lists of the 9.x system catalogues and the writer of their rows as heap tuples
// (layouts and sources in catalog_9x.h).

#include "tests/catalog/support9x/catalog_9x.h"

#include <stdexcept>

namespace vorn::test {
namespace {

constexpr size_t kNameDataLength = 64;  // NAMEDATALEN, NUL included
constexpr uint32_t kAclItemTypeOid = 1033;
constexpr uint32_t kTextTypeOid = 25;

void appendU32(Bytes& out, uint32_t v) {
    const Bytes b = le(v);
    out.insert(out.end(), b.begin(), b.end());
}

// ArrayType after its varlena header: ndim, dataoffset (0: no null bitmap), element type,
// then dims[ndim] and lbounds[ndim]. The data begins at MAXALIGN(16 + 8 * ndim) from the
// start of the varlena, which for one dimension is right after lbound.
Bytes arrayHeader(uint32_t elementType, uint32_t count) {
    Bytes out;
    appendU32(out, 1);  // ndim
    appendU32(out, 0);  // dataoffset
    appendU32(out, elementType);
    appendU32(out, count);  // dims[0]
    appendU32(out, 1);      // lbound[0]
    return out;
}

void checkRange(const CatalogColumn& column, int64_t value, int64_t low, int64_t high) {
    if (value < low || value > high)
        throw std::invalid_argument("catalogue test data: " + column.name + " = " +
                                    std::to_string(value) + " does not fit its type");
}

}  // namespace

// ---- layouts -------------------------------------------------------------------------------

CatalogLayout pgDatabaseLayout9x(int minor) {
    CatalogLayout l{"pg_database", 1262, true, {}};
    l.columns = {
        {"datname", CatType::kName},      {"datdba", CatType::kOid},
        {"encoding", CatType::kInt4},     {"datcollate", CatType::kName},
        {"datctype", CatType::kName},     {"datistemplate", CatType::kBool},
        {"datallowconn", CatType::kBool}, {"datconnlimit", CatType::kInt4},
        {"datlastsysoid", CatType::kOid}, {"datfrozenxid", CatType::kXid},
    };
    if (minor >= 3)
        l.columns.push_back({"datminmxid", CatType::kXid});
    l.columns.push_back({"dattablespace", CatType::kOid});
    l.columns.push_back({"datacl", CatType::kAclArray});
    return l;
}

CatalogLayout pgNamespaceLayout9x(int /*minor*/) {
    return {
        "pg_namespace",
        2615,
        true,
        {{"nspname", CatType::kName}, {"nspowner", CatType::kOid}, {"nspacl", CatType::kAclArray}}};
}

CatalogLayout pgClassLayout9x(int minor) {
    CatalogLayout l{"pg_class", 1259, true, {}};
    auto add = [&l](const char* name, CatType type) { l.columns.push_back({name, type}); };
    add("relname", CatType::kName);
    add("relnamespace", CatType::kOid);
    add("reltype", CatType::kOid);
    add("reloftype", CatType::kOid);
    add("relowner", CatType::kOid);
    add("relam", CatType::kOid);
    add("relfilenode", CatType::kOid);
    add("reltablespace", CatType::kOid);
    add("relpages", CatType::kInt4);
    add("reltuples", CatType::kFloat4);
    if (minor >= 2)
        add("relallvisible", CatType::kInt4);
    add("reltoastrelid", CatType::kOid);
    if (minor <= 3)
        add("reltoastidxid", CatType::kOid);
    add("relhasindex", CatType::kBool);
    add("relisshared", CatType::kBool);
    if (minor == 0)
        add("relistemp", CatType::kBool);
    else
        add("relpersistence", CatType::kChar);
    add("relkind", CatType::kChar);
    add("relnatts", CatType::kInt2);
    add("relchecks", CatType::kInt2);
    add("relhasoids", CatType::kBool);
    add("relhaspkey", CatType::kBool);
    if (minor == 0)
        add("relhasexclusion", CatType::kBool);
    add("relhasrules", CatType::kBool);
    add("relhastriggers", CatType::kBool);
    add("relhassubclass", CatType::kBool);
    if (minor >= 5) {
        add("relrowsecurity", CatType::kBool);
        add("relforcerowsecurity", CatType::kBool);
    }
    if (minor >= 3)
        add("relispopulated", CatType::kBool);
    if (minor >= 4)
        add("relreplident", CatType::kChar);
    add("relfrozenxid", CatType::kXid);
    if (minor >= 3)
        add("relminmxid", CatType::kXid);
    add("relacl", CatType::kAclArray);
    add("reloptions", CatType::kTextArray);
    return l;
}

CatalogLayout pgAttributeLayout9x(int minor) {
    CatalogLayout l{"pg_attribute", 1249, false, {}};
    l.columns = {
        {"attrelid", CatType::kOid},      {"attname", CatType::kName},
        {"atttypid", CatType::kOid},      {"attstattarget", CatType::kInt4},
        {"attlen", CatType::kInt2},       {"attnum", CatType::kInt2},
        {"attndims", CatType::kInt4},     {"attcacheoff", CatType::kInt4},
        {"atttypmod", CatType::kInt4},    {"attbyval", CatType::kBool},
        {"attstorage", CatType::kChar},   {"attalign", CatType::kChar},
        {"attnotnull", CatType::kBool},   {"atthasdef", CatType::kBool},
        {"attisdropped", CatType::kBool}, {"attislocal", CatType::kBool},
        {"attinhcount", CatType::kInt4},
    };
    if (minor >= 1)
        l.columns.push_back({"attcollation", CatType::kOid});
    l.columns.push_back({"attacl", CatType::kAclArray});
    l.columns.push_back({"attoptions", CatType::kTextArray});
    if (minor >= 2)
        l.columns.push_back({"attfdwoptions", CatType::kTextArray});
    return l;
}

// ---- rows ----------------------------------------------------------------------------------

CatalogRow& CatalogRow::set(const std::string& column, int64_t value) {
    cells[column] = CatalogCell{};
    cells[column].number = value;
    return *this;
}

CatalogRow& CatalogRow::setReal(const std::string& column, double value) {
    cells[column] = CatalogCell{};
    cells[column].real = value;
    return *this;
}

CatalogRow& CatalogRow::setName(const std::string& column, const std::string& value) {
    if (value.size() >= kNameDataLength)
        throw std::invalid_argument("catalogue test data: name longer than 63 bytes: " + value);
    cells[column] = CatalogCell{};
    cells[column].text = value;
    return *this;
}

CatalogRow& CatalogRow::setVarlena(const std::string& column, Bytes content, bool shortHeader) {
    cells[column] = CatalogCell{};
    cells[column].varlena = std::move(content);
    cells[column].shortHeader = shortHeader;
    return *this;
}

CatalogRow& CatalogRow::setNull(const std::string& column) {
    cells[column] = CatalogCell{};
    cells[column].isNull = true;
    return *this;
}

const CatalogCell& CatalogRow::cell(const std::string& column) const {
    auto it = cells.find(column);
    if (it == cells.end())
        throw std::invalid_argument("catalogue test data: row has no value for " + column);
    return it->second;
}

Bytes catalogTuple(const CatalogLayout& layout, const CatalogRow& row, uint32_t ctidBlock,
                   uint16_t ctidItem) {
    HeapTupleBuilder b;
    b.xmin(row.xmin).xmax(row.xmax).infomask(row.infomask).ctid(ctidBlock, ctidItem);
    if (layout.rowsHaveOids)
        b.oid(row.oid);
    for (const CatalogColumn& column : layout.columns) {
        const CatalogCell& v = row.cell(column.name);
        switch (column.type) {
            case CatType::kName: {
                Bytes name(kNameDataLength, 0);
                std::copy(v.text.begin(), v.text.end(), name.begin());
                b.fixed(std::move(name), 1);
                break;
            }
            case CatType::kOid:
            case CatType::kXid:
                checkRange(column, v.number, 0, UINT32_MAX);
                b.fixed(le(static_cast<uint32_t>(v.number)), 4);
                break;
            case CatType::kInt4:
                checkRange(column, v.number, INT32_MIN, INT32_MAX);
                b.fixed(le(static_cast<int32_t>(v.number)), 4);
                break;
            case CatType::kInt2:
                checkRange(column, v.number, INT16_MIN, INT16_MAX);
                b.fixed(le(static_cast<int16_t>(v.number)), 2);
                break;
            case CatType::kFloat4:
                b.fixed(le(static_cast<float>(v.real)), 4);
                break;
            case CatType::kBool:
                checkRange(column, v.number, 0, 1);
                b.fixed(Bytes{static_cast<uint8_t>(v.number)}, 1);
                break;
            case CatType::kChar:
                checkRange(column, v.number, 1, 127);
                b.fixed(Bytes{static_cast<uint8_t>(v.number)}, 1);
                break;
            case CatType::kAclArray:
            case CatType::kTextArray:
                if (v.isNull)
                    b.null();
                else if (v.shortHeader)
                    b.varlenaShort(v.varlena);
                else
                    b.varlena4(v.varlena, 4);
                break;
        }
    }
    return b.build();
}

std::vector<Bytes> catalogPages(const CatalogLayout& layout, const std::vector<CatalogRow>& rows,
                                uint16_t blockSize) {
    // The tuple length does not depend on t_ctid, so a first packing tells where each tuple
    // lands and a second one writes the tuples pointing at themselves.
    std::vector<Bytes> tuples;
    for (const CatalogRow& row : rows)
        tuples.push_back(catalogTuple(layout, row));
    std::vector<TuplePlace> places;
    packHeapPages(tuples, blockSize, &places);

    std::map<uint32_t, uint16_t> itemsInBlock;
    for (size_t i = 0; i < rows.size(); ++i) {
        const uint16_t item = ++itemsInBlock[places[i].block];
        tuples[i] = catalogTuple(layout, rows[i], places[i].block, item);
    }
    std::vector<TuplePlace> again;
    std::vector<Bytes> pages = packHeapPages(tuples, blockSize, &again);
    for (size_t i = 0; i < places.size(); ++i)
        if (again[i].block != places[i].block || again[i].offset != places[i].offset)
            throw std::logic_error("catalogue test data: tuple moved between packings");
    return pages;
}

// ---- values --------------------------------------------------------------------------------

Bytes aclArrayContent(const std::vector<AclItem>& items) {
    Bytes out = arrayHeader(kAclItemTypeOid, static_cast<uint32_t>(items.size()));
    for (const AclItem& item : items) {
        appendU32(out, item.grantee);
        appendU32(out, item.grantor);
        appendU32(out, item.privileges);
    }
    return out;
}

Bytes textArrayContent(const std::vector<std::string>& items) {
    Bytes out = arrayHeader(kTextTypeOid, static_cast<uint32_t>(items.size()));
    // Array elements keep 4-byte varlena headers and are aligned to 4 within the array
    // (offsets in `out` are those in the varlena less its 4-byte header).
    for (const std::string& item : items) {
        while ((out.size() + 4) % 4 != 0)
            out.push_back(0);
        const Bytes element = varlena4Bytes(bytesOf(item));
        out.insert(out.end(), element.begin(), element.end());
    }
    return out;
}

std::string escapeDictField(const std::string& text) {
    std::string out;
    for (char c : text) {
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
    return out;
}

}  // namespace vorn::test
