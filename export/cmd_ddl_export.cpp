#include "export/cmd_ddl_export.h"

#include <fmt/format.h>

#include <ctime>
#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/terminal_text.h"
#include "catalog/dictionary.h"
#include "export/create_table_ddl.h"
#include "export/export_settings.h"
#include "export/export_warning.h"
#include "export/file_names.h"
#include "export/output_file.h"

namespace vorn {

namespace {

constexpr const char* kDdlDirectory = "ddl";

std::string localTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

// A name for a comment line of the DDL file: a line end inside it would turn the rest of
// the name into a statement.
std::string commentSafe(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return text;
}

}  // namespace

CmdDdlExport::CmdDdlExport(Dictionary* dictionary) : dictionary_(dictionary) {}

void CmdDdlExport::runDdlCommand(const char* schemaName) {
    exportSchemaTableDdl(schemaName != nullptr ? schemaName : "");
    fmt::print("finish.\n");
}

void CmdDdlExport::exportSchemaTableDdl(const std::string& typedName) {
    const NameLookup<const NamespaceEntry> lookup =
        dictionary_->findSchema(parseNamePart(typedName));
    const NamespaceEntry* schema = lookup.found;
    if (schema == nullptr) {
        if (!lookup.ambiguity.empty())
            fmt::print("{}\n", terminalText(lookup.ambiguity));
        else
            fmt::print("Schema {} not exist.\n", terminalText(typedName));
        return;
    }
    const std::string schemaName = schema->nspname;
    std::vector<PgTable*> tables;
    const uint32_t total = dictionary_->tablesOfSchema(tables, schema->oid);
    // The folder first: the name is recorded in its file manifest.
    std::error_code error;
    std::filesystem::create_directories(kDdlDirectory, error);
    std::string stem = safeFileName(schemaName, schema->oid) + "_table_ddl";
    if (!error)
        stem = claimFileName(kDdlDirectory, stem,
                             {FileOwnerKind::kSchema, schema->dboid, schema->oid});
    const std::string path = fmt::format("{}/{}.sql", kDdlDirectory, stem);
    fmt::print(" {} unloading {}'s TABLE DDL(total {}) to \"{}\"...\n", localTimestamp(),
               terminalText(schemaName), total, path);

    // The names are in the database's own encoding, and a target database starts without the
    // schema: both are said first, so that the file runs in an empty database of any encoding.
    std::string text = clientEncodingStatement(schema->dboid);
    if (schemaName != "public")
        text += fmt::format("CREATE SCHEMA IF NOT EXISTS {};\n", quoteIdentifier(schemaName));
    text += "\n";
    for (const PgTable* table : tables) {
        std::string unnamedColumn;
        const std::string ddl =
            buildCreateTableDdl(schemaName, table->name(), table->columns(), true, &unnamedColumn);
        if (ddl.empty()) {
            // No statement can declare a column whose type has no SQL name.
            const std::string reason =
                fmt::format("{}.{}: no CREATE TABLE, the type of column {} has no SQL name.",
                            quoteIdentifier(schemaName), quoteIdentifier(table->name()),
                            unnamedColumn.empty() ? std::string("?") : unnamedColumn);
            text += "-- " + commentSafe(reason) + "\n\n";
            warnExport("Table " + terminalText(reason));
            continue;
        }
        text += ddl;
        text += ";\n\n";
    }

    if (error) {
        fmt::print("  Table DDL not written: cannot create directory \"{}\": {}\n", kDdlDirectory,
                   error.message());
        return;
    }
    try {
        writeWholeFile(path, text);
    } catch (const std::exception& e) {
        fmt::print("  Table DDL not written to \"{}\": {}\n", path, terminalText(e.what()));
    }
}

}  // namespace vorn
