#include "export/import_script.h"

#include <fmt/format.h>

#include <exception>
#include <string_view>

#include "export/create_table_ddl.h"
#include "export/file_names.h"
#include "export/output_file.h"
#include "export/shell_word.h"
#include "export/writer_factory.h"
#include "storage/copy_binary_encode.h"

namespace vorn {

namespace {

// A byte that ends or bends a psql input line (or hides text on a terminal).
bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool hasControl(std::string_view text) {
    for (char c : text)
        if (isControl(static_cast<unsigned char>(c)))
            return true;
    return false;
}

// `text` for a comment line: control bytes as '?'.
std::string printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (isControl(static_cast<unsigned char>(c)))
            c = '?';
    return out;
}

// A single-quoted literal as psql's \COPY reads a file name and the server a standard
// string: '\'' doubled, nothing else special.
std::string quotedLiteral(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += '\'';
        out += c;
    }
    out += '\'';
    return out;
}

// The DELIMITER literal. A backslash would end a string under
// standard_conforming_strings = off, and bytes outside printable ASCII are easier to read
// (and survive any editor) as escapes; the server takes E'\xNN' as that one byte.
std::string delimiterLiteral(char delimiter) {
    const auto c = static_cast<unsigned char>(delimiter);
    if (c == '\\' || c < 0x20 || c >= 0x7F)
        return fmt::format("E'\\x{:02X}'", c);
    return quotedLiteral(std::string_view(&delimiter, 1));
}

std::string displayName(std::string_view schema, std::string_view table) {
    return printable(quoteIdentifier(schema) + "." + quoteIdentifier(table));
}

// "("a", "b")" over the fields of the data files (live user columns); empty for a table
// without any, where a list "()" would be a syntax error and the table's own order is the
// files' anyway. `unsafe` is set when a name holds a control byte.
std::string columnList(const ColumnLayout& columns, bool& unsafe) {
    std::string list;
    for (const ColumnDef& column : columns) {
        if (!isCopyField(column))
            continue;
        list += list.empty() ? "(" : ", ";
        list += quoteIdentifier(column.name());
        unsafe = unsafe || hasControl(column.name());
    }
    if (!list.empty())
        list += ')';
    return list;
}

// `text` as comment lines "--   <line>", one per non-empty line.
std::string reasonComment(std::string_view text) {
    std::string out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (!line.empty())
            out += "--   " + printable(line) + "\n";
        start = end + 1;
    }
    if (out.empty())
        out = "--   (no message)\n";
    return out;
}

// The \COPY line of one table, or the comment that stands in for it.
std::string tableEntry(const ImportScriptSettings& settings, const std::string& schemaName,
                       const ImportTable& entry, std::vector<std::string>& byHand) {
    const std::string tableName = entry.table->name();
    const std::string shown = displayName(schemaName, tableName);
    if (settings.exportKind == kExportCsv)
        return fmt::format(
            "-- Table {} not loaded: no CSV file is written (export format CSV has no writer).\n",
            shown);
    if (entry.failed)
        return fmt::format("-- Table {} not loaded: its unload failed.\n", shown) +
               reasonComment(entry.reason);
    if (entry.skipped)
        return fmt::format("-- Table {} not loaded: it was not unloaded.\n", shown) +
               reasonComment(entry.reason);
    if (entry.dataFile.empty())
        return fmt::format("-- Table {} not loaded: its unload wrote no data file.\n", shown);

    bool unsafe = hasControl(schemaName) || hasControl(tableName) || hasControl(entry.dataFile);
    const std::string columns = columnList(entry.table->columns(), unsafe);
    if (unsafe) {
        byHand.push_back(shown);
        return fmt::format(
            "-- Table {} must be loaded by hand from {}: a name holds a control character "
            "(shown as ?), and a psql \\COPY line would end there. A COPY ... FROM STDIN with "
            "the file as input loads it.\n",
            shown, printable(quotedLiteral(entry.dataFile)));
    }

    std::string file = entry.dataFile;
    if (file.front() == '~')
        file = "./" + file;
    std::string line = "\\COPY " + quoteIdentifier(schemaName) + "." + quoteIdentifier(tableName) +
                       columns + " FROM " + quotedLiteral(file);
    if (settings.exportKind == kExportBinary)
        line += " WITH(FORMAT binary);\n";
    else
        line += " WITH(FORMAT text, DELIMITER " + delimiterLiteral(settings.delimiter) +
                ", NULL '');\n";

    // A table that no DDL file declares (a column of a type without an SQL name) does not
    // exist in a database made from those files: its \COPY would fail there and, under
    // ON_ERROR_STOP, stop the script before the tables after it. The line is kept, commented
    // out, for the user who creates the table by hand.
    std::string unnamedColumn;
    if (buildCreateTableDdl(schemaName, tableName, entry.table->columns(), false, &unnamedColumn)
            .empty())
        return fmt::format(
                   "-- Table {} not loaded: no CREATE TABLE is written for it, the type of "
                   "column {} has no SQL name. Once the table exists, this line loads it:\n",
                   shown, printable(unnamedColumn)) +
               "-- " + line;
    return line;
}

std::string header(const ImportScriptSettings& settings, const std::string& scriptName) {
    const std::string encoding =
        settings.clientEncoding.empty() ? std::string("UTF8") : settings.clientEncoding;
    // The psql line works when copied into a shell: names quoted as a word each. A database
    // name that no word on one line can hold (one ending in a line feed) is left for the user
    // to fill in, as the user is.
    return fmt::format(
        "--export PGCLIENTENCODING={}\n"
        "--psql -d {} -U <your_user> -f {}\n\n"
        "SET client_encoding TO {};\n",
        printable(encoding), shellWord(settings.databaseName).value_or("<database>"),
        shellWord(scriptName).value_or("<script>"), quotedLiteral(printable(encoding)));
}

bool writesScript(int exportKind) {
    return exportKind == kExportText || exportKind == kExportCsv || exportKind == kExportBinary;
}

// Names the script through claimFileName, composes it with `body` and writes it.
template <typename Body>
ImportScriptResult writeScript(const ImportScriptSettings& settings, const std::string& stem,
                               const FileOwner& owner, Body body) {
    ImportScriptResult result;
    try {
        const std::string scriptName = claimFileName(settings.exportPath, stem, owner) + ".sql";
        result.path =
            settings.exportPath.empty() ? scriptName : settings.exportPath + "/" + scriptName;
        std::string text = header(settings, scriptName);
        text += body(result.byHand);
        writeWholeFile(result.path, text);
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

}  // namespace

ImportScriptResult writeTableImportScript(const ImportScriptSettings& settings,
                                          const ImportTable& table) {
    if (!writesScript(settings.exportKind))
        return {};
    if (table.table == nullptr) {
        ImportScriptResult result;
        result.error = "no table given for the import script";
        return result;
    }
    const std::string schemaName = table.table->schemaName();
    const std::string stem = fmt::format("import_{}_{}", schemaName, table.table->name());
    const FileOwner owner{FileOwnerKind::kTable, table.table->dboid, table.table->oid()};
    return writeScript(settings, stem, owner, [&](std::vector<std::string>& byHand) {
        return tableEntry(settings, schemaName, table, byHand);
    });
}

ImportScriptResult writeSchemaImportScript(const ImportScriptSettings& settings,
                                           const std::string& schemaName,
                                           const std::vector<ImportTable>& tables) {
    if (!writesScript(settings.exportKind))
        return {};
    const PgTable* first = nullptr;
    for (const ImportTable& entry : tables)
        if (entry.table != nullptr && first == nullptr)
            first = entry.table;
    if (first == nullptr)
        return {};
    const FileOwner owner{FileOwnerKind::kSchema, first->dboid, first->schemaOid()};
    return writeScript(settings, "import_" + schemaName, owner,
                       [&](std::vector<std::string>& byHand) {
                           std::string body;
                           for (const ImportTable& entry : tables)
                               if (entry.table != nullptr)
                                   body += tableEntry(settings, schemaName, entry, byHand);
                           return body;
                       });
}

}  // namespace vorn
