#include "catalog/dict_table_def.h"

#include "storage/storage_settings.h"

namespace vorn {

namespace {

uint16_t fill(CatalogKind kind, ColumnLayout& layout) {
    layout.clear();
    return appendCatalogLayout(kind, serverVersion, layout);
}

}  // namespace

uint16_t PgDictDatabaseDef::columns(ColumnLayout& layout) const {
    return fill(CatalogKind::kDatabase, layout);
}

uint16_t PgDictNamespaceDef::columns(ColumnLayout& layout) const {
    return fill(CatalogKind::kNamespace, layout);
}

uint16_t PgDictClassDef::columns(ColumnLayout& layout) const {
    return fill(CatalogKind::kClass, layout);
}

uint16_t PgDictAttributeDef::columns(ColumnLayout& layout) const {
    return fill(CatalogKind::kAttribute, layout);
}

std::unique_ptr<IDictTableDef> createDictTableDef(int kind) {
    switch (kind) {
        case 1:
            return std::make_unique<PgDictDatabaseDef>();
        case 2:
            return std::make_unique<PgDictNamespaceDef>();
        case 3:
            return std::make_unique<PgDictClassDef>();
        case 4:
            return std::make_unique<PgDictAttributeDef>();
        default:
            return nullptr;
    }
}

const char* catalogName(CatalogKind kind) {
    switch (kind) {
        case CatalogKind::kDatabase:
            return "pg_database";
        case CatalogKind::kNamespace:
            return "pg_namespace";
        case CatalogKind::kClass:
            return "pg_class";
        case CatalogKind::kAttribute:
            return "pg_attribute";
    }
    return "";
}

}  // namespace vorn
