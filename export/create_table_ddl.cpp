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
    std::string generated;
    size_t generatedCount = 0;
    for (const ColumnDef& column : columns) {
        if (column.isDropped() || column.attnum < 1) {
            continue;
        }
        std::string type = sqlTypeName(column);
        if (column.attgenerated != 0) {
            // Its expression is in pg_attrdef, which is not read: the column is named in a
            // comment instead (one that no name can end early), and no data file holds it.
            const std::string name =
                quoteIdentifier(column.name()) + " " +
                (type.empty() ? "type OID " + std::to_string(column.atttypid) : type);
            generated += generatedCount++ == 0 ? "" : ", ";
            for (size_t i = 0; i < name.size(); ++i) {
                generated += name[i];
                if (name[i] == '*' && i + 1 < name.size() && name[i + 1] == '/')
                    generated += ' ';  // "* /" cannot end the comment
            }
            continue;
        }
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
    if (generatedCount == 1)
        text += " /* generated column left out, its expression not recovered: " + generated + " */";
    else if (generatedCount > 1)
        text +=
            " /* generated columns left out, their expressions not recovered: " + generated + " */";
    return text;
}

}  // namespace vorn
