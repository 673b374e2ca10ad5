#include "catalog/catalog_layout.h"

#include <cstddef>

#include "storage/type_table.h"

namespace vorn {

namespace {

// One column of a catalogue: its name, type and its attribute number in each layout of the
// catalogue (0 where the layout does not have it; -2 for the header OID).
template <size_t N>
struct CatalogColumn {
    const char* name;
    uint32_t typeOid;
    int16_t attnum[N];
};

// pg_database. Layouts: 0 9.0-9.2, 1 9.3-11, 2 12-14, 3 15, 4 16, 5 17-18. From 15 on
// datcollate and datctype are text after dattablespace; up to 14 they are names.
constexpr CatalogColumn<6> kDatabaseColumns[] = {
    {"oid", typeoid::kOid, {-2, -2, 1, 1, 1, 1}},
    {"datname", typeoid::kName, {1, 1, 2, 2, 2, 2}},
    {"datdba", typeoid::kOid, {2, 2, 3, 3, 3, 3}},
    {"encoding", typeoid::kInt4, {3, 3, 4, 4, 4, 4}},
    {"datlocprovider", typeoid::kChar, {0, 0, 0, 5, 5, 5}},
    {"datcollate", typeoid::kName, {4, 4, 5, 0, 0, 0}},
    {"datctype", typeoid::kName, {5, 5, 6, 0, 0, 0}},
    {"datistemplate", typeoid::kBool, {6, 6, 7, 6, 6, 6}},
    {"datallowconn", typeoid::kBool, {7, 7, 8, 7, 7, 7}},
    {"dathasloginevt", typeoid::kBool, {0, 0, 0, 0, 0, 8}},
    {"datconnlimit", typeoid::kInt4, {8, 8, 9, 8, 8, 9}},
    {"datlastsysoid", typeoid::kOid, {9, 9, 10, 0, 0, 0}},
    {"datfrozenxid", typeoid::kXid, {10, 10, 11, 9, 9, 10}},
    {"datminmxid", typeoid::kXid, {0, 11, 12, 10, 10, 11}},
    {"dattablespace", typeoid::kOid, {11, 12, 13, 11, 11, 12}},
    {"datcollate", typeoid::kText, {0, 0, 0, 12, 12, 13}},
    {"datctype", typeoid::kText, {0, 0, 0, 13, 13, 14}},
    {"datlocale", typeoid::kText, {0, 0, 0, 0, 0, 15}},
    {"daticulocale", typeoid::kText, {0, 0, 0, 14, 14, 0}},
    {"daticurules", typeoid::kText, {0, 0, 0, 0, 15, 16}},
    {"datcollversion", typeoid::kText, {0, 0, 0, 15, 16, 17}},
    {"datacl", 1034, {12, 13, 14, 16, 17, 18}},
};

// pg_namespace. Layouts: 0 9.x-11, 1 12-18.
constexpr CatalogColumn<2> kNamespaceColumns[] = {
    {"oid", typeoid::kOid, {-2, 1}},
    {"nspname", typeoid::kName, {1, 2}},
    {"nspowner", typeoid::kOid, {2, 3}},
    {"nspacl", 1034, {3, 4}},
};

// pg_class. Layouts: 0 9.0, 1 9.1, 2 9.2, 3 9.3, 4 9.4, 5 9.5-9.x, 6 10, 7 11, 8 12-17, 9 18.
constexpr CatalogColumn<10> kClassColumns[] = {
    {"oid", typeoid::kOid, {-2, -2, -2, -2, -2, -2, -2, -2, 1, 1}},
    {"relname", typeoid::kName, {1, 1, 1, 1, 1, 1, 1, 1, 2, 2}},
    {"relnamespace", typeoid::kOid, {2, 2, 2, 2, 2, 2, 2, 2, 3, 3}},
    {"reltype", typeoid::kOid, {3, 3, 3, 3, 3, 3, 3, 3, 4, 4}},
    {"reloftype", typeoid::kOid, {4, 4, 4, 4, 4, 4, 4, 4, 5, 5}},
    {"relowner", typeoid::kOid, {5, 5, 5, 5, 5, 5, 5, 5, 6, 6}},
    {"relam", typeoid::kOid, {6, 6, 6, 6, 6, 6, 6, 6, 7, 7}},
    {"relfilenode", typeoid::kOid, {7, 7, 7, 7, 7, 7, 7, 7, 8, 8}},
    {"reltablespace", typeoid::kOid, {8, 8, 8, 8, 8, 8, 8, 8, 9, 9}},
    {"relpages", typeoid::kInt4, {9, 9, 9, 9, 9, 9, 9, 9, 10, 10}},
    {"reltuples", typeoid::kFloat4, {10, 10, 10, 10, 10, 10, 10, 10, 11, 11}},
    {"relallvisible", typeoid::kInt4, {0, 0, 11, 11, 11, 11, 11, 11, 12, 12}},
    {"relallfrozen", typeoid::kInt4, {0, 0, 0, 0, 0, 0, 0, 0, 0, 13}},
    {"reltoastrelid", typeoid::kOid, {11, 11, 12, 12, 12, 12, 12, 12, 13, 14}},
    {"reltoastidxid", typeoid::kOid, {12, 12, 13, 13, 0, 0, 0, 0, 0, 0}},
    {"relhasindex", typeoid::kBool, {13, 13, 14, 14, 13, 13, 13, 13, 14, 15}},
    {"relisshared", typeoid::kBool, {14, 14, 15, 15, 14, 14, 14, 14, 15, 16}},
    {"relpersistence", typeoid::kChar, {0, 15, 16, 16, 15, 15, 15, 15, 16, 17}},
    {"relistemp", typeoid::kBool, {15, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"relkind", typeoid::kChar, {16, 16, 17, 17, 16, 16, 16, 16, 17, 18}},
    {"relnatts", typeoid::kInt2, {17, 17, 18, 18, 17, 17, 17, 17, 18, 19}},
    {"relchecks", typeoid::kInt2, {18, 18, 19, 19, 18, 18, 18, 18, 19, 20}},
    {"relhasoids", typeoid::kBool, {19, 19, 20, 20, 19, 19, 19, 19, 0, 0}},
    {"relhaspkey", typeoid::kBool, {20, 20, 21, 21, 20, 20, 20, 0, 0, 0}},
    {"relhasexclusion", typeoid::kBool, {21, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"relhasrules", typeoid::kBool, {22, 21, 22, 22, 21, 21, 21, 20, 20, 21}},
    {"relhastriggers", typeoid::kBool, {23, 22, 23, 23, 22, 22, 22, 21, 21, 22}},
    {"relhassubclass", typeoid::kBool, {24, 23, 24, 24, 23, 23, 23, 22, 22, 23}},
    {"relrowsecurity", typeoid::kBool, {0, 0, 0, 0, 0, 24, 24, 23, 23, 24}},
    {"relforcerowsecurity", typeoid::kBool, {0, 0, 0, 0, 0, 25, 25, 24, 24, 25}},
    {"relispopulated", typeoid::kBool, {0, 0, 0, 25, 24, 26, 26, 25, 25, 26}},
    {"relreplident", typeoid::kChar, {0, 0, 0, 0, 25, 27, 27, 26, 26, 27}},
    {"relispartition", typeoid::kBool, {0, 0, 0, 0, 0, 0, 28, 27, 27, 28}},
    {"relrewrite", typeoid::kOid, {0, 0, 0, 0, 0, 0, 0, 28, 28, 29}},
    {"relfrozenxid", typeoid::kXid, {25, 24, 25, 26, 26, 28, 29, 29, 29, 30}},
    {"relminmxid", typeoid::kXid, {0, 0, 0, 27, 27, 29, 30, 30, 30, 31}},
    {"relacl", 1034, {26, 25, 26, 28, 28, 30, 31, 31, 31, 32}},
    {"reloptions", 1009, {27, 26, 27, 29, 29, 31, 32, 32, 32, 33}},
    {"relpartbound", 194, {0, 0, 0, 0, 0, 0, 33, 33, 33, 34}},
};

// pg_attribute. Layouts: 0 9.0, 1 9.1, 2 9.2-9.x, 3 10, 4 11, 5 12-13, 6 14-15, 7 16, 8 17,
// 9 18. 14 and 15 put attalign before attstorage; 16 narrows attndims, attinhcount and
// attstattarget to int2; 18 drops attcacheoff.
constexpr CatalogColumn<10> kAttributeColumns[] = {
    {"attrelid", typeoid::kOid, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
    {"attname", typeoid::kName, {2, 2, 2, 2, 2, 2, 2, 2, 2, 2}},
    {"atttypid", typeoid::kOid, {3, 3, 3, 3, 3, 3, 3, 3, 3, 3}},
    {"attstattarget", typeoid::kInt4, {4, 4, 4, 4, 4, 4, 4, 0, 0, 0}},
    {"attlen", typeoid::kInt2, {5, 5, 5, 5, 5, 5, 5, 4, 4, 4}},
    {"attnum", typeoid::kInt2, {6, 6, 6, 6, 6, 6, 6, 5, 5, 5}},
    {"attndims", typeoid::kInt4, {7, 7, 7, 7, 7, 7, 7, 0, 0, 0}},
    {"attcacheoff", typeoid::kInt4, {8, 8, 8, 8, 8, 8, 8, 6, 6, 0}},
    {"atttypmod", typeoid::kInt4, {9, 9, 9, 9, 9, 9, 9, 7, 7, 6}},
    {"attndims", typeoid::kInt2, {0, 0, 0, 0, 0, 0, 0, 8, 8, 7}},
    {"attbyval", typeoid::kBool, {10, 10, 10, 10, 10, 10, 10, 9, 9, 8}},
    {"attstorage", typeoid::kChar, {11, 11, 11, 11, 11, 11, 12, 11, 11, 10}},
    {"attcompression", typeoid::kChar, {0, 0, 0, 0, 0, 0, 13, 12, 12, 11}},
    {"attalign", typeoid::kChar, {12, 12, 12, 12, 12, 12, 11, 10, 10, 9}},
    {"attnotnull", typeoid::kBool, {13, 13, 13, 13, 13, 13, 14, 13, 13, 12}},
    {"atthasdef", typeoid::kBool, {14, 14, 14, 14, 14, 14, 15, 14, 14, 13}},
    {"atthasmissing", typeoid::kBool, {0, 0, 0, 0, 15, 15, 16, 15, 15, 14}},
    {"attidentity", typeoid::kChar, {0, 0, 0, 15, 16, 16, 17, 16, 16, 15}},
    {"attgenerated", typeoid::kChar, {0, 0, 0, 0, 0, 17, 18, 17, 17, 16}},
    {"attisdropped", typeoid::kBool, {15, 15, 15, 16, 17, 18, 19, 18, 18, 17}},
    {"attislocal", typeoid::kBool, {16, 16, 16, 17, 18, 19, 20, 19, 19, 18}},
    {"attinhcount", typeoid::kInt2, {0, 0, 0, 0, 0, 0, 0, 20, 20, 19}},
    {"attstattarget", typeoid::kInt2, {0, 0, 0, 0, 0, 0, 0, 21, 22, 21}},
    {"attinhcount", typeoid::kInt4, {17, 17, 17, 18, 19, 20, 21, 0, 0, 0}},
    {"attcollation", typeoid::kOid, {0, 18, 18, 19, 20, 21, 22, 22, 21, 20}},
    {"attacl", 1034, {18, 19, 19, 20, 21, 22, 23, 23, 23, 22}},
    {"attoptions", 1009, {19, 20, 20, 21, 22, 23, 24, 24, 24, 23}},
    {"attfdwoptions", 1009, {0, 0, 21, 22, 23, 24, 25, 25, 25, 24}},
    {"attmissingval", 2277, {0, 0, 0, 0, 24, 25, 26, 26, 26, 25}},
};

// Storage of the catalogue column types: length, alignment, passed by value.
struct TypeStorage {
    int32_t length;
    char align;
    bool byValue;
};

char alignChar(uint8_t bytes) {
    switch (bytes) {
        case 2:
            return 's';
        case 4:
            return 'i';
        case 8:
            return 'd';
        default:
            return 'c';
    }
}

// From the type table; every catalogue column type has its storage there.
TypeStorage storageOf(uint32_t typeOid, ServerVersion version) {
    // aclitem grew to 16 bytes with 64-bit privilege masks in 16, and with it the alignment
    // of its arrays.
    if (typeOid == 1034 && static_cast<uint16_t>(version.major) >= 16)
        return {-1, 'd', false};
    const TypeInfo* type = findType(typeOid);
    if (type == nullptr || type->heapWidth == 0)
        return {-1, 'i', false};
    const int32_t length = type->heapWidth;
    // Passed by value: the fixed widths a Datum holds on x86-64.
    const bool byValue = length == 1 || length == 2 || length == 4 || length == 8;
    return {length, alignChar(type->heapAlign), byValue};
}

// Which layout each server version selects, per catalogue (9.x minors first).
int databaseLayout(uint16_t major, uint16_t minor) {
    if (major == 9)
        return minor <= 2 ? 0 : 1;
    if (major <= 11)
        return 1;
    if (major <= 14)
        return 2;
    if (major == 15)
        return 3;
    if (major == 16)
        return 4;
    return 5;
}

int namespaceLayout(uint16_t major, uint16_t) {
    return major <= 11 ? 0 : 1;
}

int classLayout(uint16_t major, uint16_t minor) {
    if (major == 9)
        return minor <= 4 ? minor : 5;
    if (major == 10)
        return 6;
    if (major == 11)
        return 7;
    return major <= 17 ? 8 : 9;
}

int attributeLayout(uint16_t major, uint16_t minor) {
    if (major == 9)
        return minor <= 1 ? minor : 2;
    if (major <= 11)
        return major - 7;  // 10 -> 3, 11 -> 4
    if (major <= 13)
        return 5;
    if (major <= 15)
        return 6;
    return major - 9;  // 16 -> 7, 17 -> 8, 18 -> 9
}

template <size_t N, size_t M>
uint16_t appendLayout(const CatalogColumn<N> (&table)[M], int layout, ServerVersion version,
                      ColumnLayout& columns) {
    // Attribute numbers run -2 (the header OID), then 1, 2, ... without gaps.
    const size_t before = columns.size();
    for (int16_t attnum = -2; attnum <= static_cast<int16_t>(M); ++attnum) {
        for (const CatalogColumn<N>& column : table) {
            if (column.attnum[layout] != attnum || attnum == 0)
                continue;
            const TypeStorage storage = storageOf(column.typeOid, version);
            ColumnDef def;
            def.attnum = attnum;
            def.setName(column.name);
            def.atttypid = column.typeOid;
            def.atttypmod = -1;
            def.attlen = storage.length;
            def.nullable = false;
            def.attalign = storage.align;
            def.attbyval = storage.byValue;
            columns.push_back(def);
        }
    }
    return static_cast<uint16_t>(columns.size() - before);
}

}  // namespace

int catalogLayoutIndex(CatalogKind kind, ServerVersion version) {
    const auto major = static_cast<uint16_t>(version.major);
    const auto minor = static_cast<uint16_t>(version.minor);
    if (major < 9 || major > 18)
        return -1;
    switch (kind) {
        case CatalogKind::kDatabase:
            return databaseLayout(major, minor);
        case CatalogKind::kNamespace:
            return namespaceLayout(major, minor);
        case CatalogKind::kClass:
            return classLayout(major, minor);
        case CatalogKind::kAttribute:
            return attributeLayout(major, minor);
    }
    return -1;
}

uint16_t appendCatalogLayout(CatalogKind kind, ServerVersion version, ColumnLayout& columns) {
    const int layout = catalogLayoutIndex(kind, version);
    if (layout < 0)
        return 0;
    switch (kind) {
        case CatalogKind::kDatabase:
            return appendLayout(kDatabaseColumns, layout, version, columns);
        case CatalogKind::kNamespace:
            return appendLayout(kNamespaceColumns, layout, version, columns);
        case CatalogKind::kClass:
            return appendLayout(kClassColumns, layout, version, columns);
        case CatalogKind::kAttribute:
            return appendLayout(kAttributeColumns, layout, version, columns);
    }
    return 0;
}

}  // namespace vorn
