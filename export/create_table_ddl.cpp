#include "export/create_table_ddl.h"

#include "storage/sql_type_name.h"

namespace vorn {

std::string quoteIdentifier(std::string_view name) {
    std::string quoted;
    quoted.reserve(name.size() + 2);
    quoted += '"';
    for (char c : name) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string buildCreateTableDdl(const std::string& schemaName, const std::string& tableName,
                                const ColumnLayout& columns, bool newlines,
                                std::string* unnamedColumn) {
    std::string text = "CREATE TABLE ";
    if (!schemaName.empty()) {
        text += quoteIdentifier(schemaName);
        text += '.';
    }
    text += quoteIdentifier(tableName);
    text += " (";
    if (newlines) {
        text += '\n';
    }
    bool first = true;
    for (const ColumnDef& column : columns) {
        if (column.isDropped() || column.attnum < 1) {
            continue;
        }
        std::string type = sqlTypeName(column);
        if (type.empty()) {
            if (unnamedColumn != nullptr) {
                *unnamedColumn = std::string(column.name()) + " (type OID " +
                                 std::to_string(column.atttypid) + ")";
            }
            return {};
        }
        if (!first) {
            text += newlines ? ", \n" : ", ";
        }
        first = false;
        text += quoteIdentifier(column.name());
        text += ' ';
        text += type;
    }
    text += ')';
    return text;
}

}  // namespace vorn
