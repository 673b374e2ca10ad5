#include "shell/list_commands.h"

#include <fmt/format.h>

#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/display_width.h"
#include "base/file_logger.h"
#include "base/progress.h"
#include "base/terminal_text.h"
#include "catalog/dict_cache.h"
#include "catalog/dictionary.h"
#include "export/cmd_export.h"
#include "shell/command_line.h"
#include "storage/control_file.h"
#include "storage/sql_type_name.h"
#include "storage/table.h"

namespace vorn {

namespace {

constexpr int32_t kNameColumns = 30;

// The name `text` with its control bytes escaped (base/terminal_text.h), followed by blanks
// up to 30 display columns of the escaped text; a wider text is kept whole.
std::string padName(const std::string& text) {
    const std::string shown = terminalText(text);
    std::vector<char> buffer(shown.size() + kNameColumns + 1);
    padToWidth(buffer.data(), static_cast<int32_t>(buffer.size()), shown.c_str(), kNameColumns,
               true);
    return buffer.data();
}

// Groups of dashes, one blank between groups.
std::string ruleLine(std::initializer_list<size_t> widths) {
    std::string line;
    for (size_t width : widths) {
        if (!line.empty())
            line += ' ';
        line.append(width, '-');
    }
    return line;
}

}  // namespace

ListCommands::ListCommands(uint32_t* currentSchemaOid)
    : dictionary_(&Dictionary::instance()), currentSchemaOid_(currentSchemaOid) {}

void ListCommands::listDatabases() {
    fmt::print("{:>10} {:<15} {:<15}\n", "oid", "dbname", "encoding");
    fmt::print("{}\n", ruleLine({10, 15, 15}));
    for (const DatabaseEntry& db : dictionary_->databases) {
        fmt::print("{:>10} {:<15} {:<15}\n", db.oid, terminalText(db.datname),
                   fmt::format("{} ({})", db.encodingName, db.encoding));
    }
    fmt::print("\n");
}

void ListCommands::listSchemas() {
    const uint32_t database = dictionary_->currentDatabaseOid;
    fmt::print("{:>10} {:>10} {:<30} {:>10}\n", "db_oid", "schema_oid", "schema_name", "table_cnt");
    fmt::print("{}\n", ruleLine({10, 10, 30, 10}));
    for (const auto& [key, schema] : dictionary_->schemas) {
        if (schema.dboid != database)
            continue;
        uint32_t tables = 0;
        for (const auto& [tableKey, table] : dictionary_->tables) {
            if (table.dboid == database && table.relnamespace == schema.oid && table.oid() != 0)
                ++tables;
        }
        fmt::print("{:>10} {:>10} {:<30} {:>10}\n", schema.dboid, schema.oid,
                   terminalText(schema.nspname), tables);
    }
    fmt::print("\n");
}

void ListCommands::listTables(const std::string& filter) {
    std::vector<PgTable*> tables;
    dictionary_->tablesOfSchema(tables, *currentSchemaOid_);
    fmt::print("{:>10} {:>10} {:>10} {:30}\n", "db_oid", "schema_oid", "table_oid", "table_name");
    fmt::print("{}\n", ruleLine({10, 10, 10, 31}));
    for (const PgTable* table : tables) {
        const std::string name = table->tableName();
        if (!filter.empty() && !containsIgnoringCase(name, filter))
            continue;
        fmt::print("{:>10} {:>10} {:>10} {:<30}\n", table->databaseOid(), table->schemaOid(),
                   table->oid(), padName(name));
    }
    fmt::print("\n");
}

void ListCommands::describeTable(const std::string& typed) {
    const TypedTableName name = splitTableName(typed);
    NameLookup<PgTable> lookup;
    if (!name.table.text.empty())
        lookup = name.hasSchema ? dictionary_->findTable(name.schema, name.table)
                                : dictionary_->findTableInSchema(*currentSchemaOid_, name.table);
    const PgTable* table = lookup.found;
    fmt::print("\n");
    if (table == nullptr) {
        if (!lookup.ambiguity.empty())
            fmt::print("{}\n\n", terminalText(lookup.ambiguity));
        else
            fmt::print("Table {} not exist\n\n", terminalText(typed));
        return;
    }
    fmt::print("OID: {}, Toast OID: {}\n", table->oid(), table->toastOid());
    fmt::print("File Node: {}, Tablespace: {}\n", table->fileNode(), table->tablespaceOid());
    fmt::print("Datafile:  {}\n\n", terminalText(table->dataFilePath()));
    fmt::print("{:>5} {:<30} {:<25} {:>8} {:<10}\n", "col#", "name", "coltype", "length",
               "nullable");
    fmt::print("{}\n", ruleLine({5, 30, 25, 8, 10}));
    for (const ColumnDef& column : table->columns()) {
        // A dropped column keeps its catalogue row, under a made-up name and without a type,
        // but is no column of the table any more.
        if (column.isDropped())
            continue;
        fmt::print("{:>5} {:<30} {:<25} {:>8} {:<10}\n", column.attnum,
                   padName(dictionary_->toUtf8(std::string(column.name()))), sqlTypeName(column),
                   column.attlen, column.nullable ? "true" : "false");
    }
    fmt::print("\n");
}

bool ListCommands::bootstrap() {
    bool generated = false;
    bool loaded = false;
    {
        UiProgress bar;
        bar.beginPart(
            static_cast<uint32_t>(Dictionary::generateStepCount() + Dictionary::loadStepCount()), 1,
            1, 1);
        try {
            // The generation writes its files into the cache folder; a fresh working folder
            // has none yet.
            std::error_code ignored;
            std::filesystem::create_directories(dictDirectory, ignored);
            dictionary_->generate(&bar);
            generated = true;
            loaded = dictionary_->loadFromCache(&bar);
            bar.finish();
        } catch (const std::exception& e) {
            // The bar stops where it was; its line is wiped so that the message starts a line.
            bar.clearLine(true);
            fmt::print("Unable to run bootstrap, {}\n", terminalText(e.what()));
            mainLog().errorFormatted("Unable to run bootstrap, {}", e.what());
        }
    }
    const std::vector<DictDatabaseFailure>& failed = dictionary_->databaseFailures();
    const auto printFailedDatabases = [&] {
        // Logged by the generation already.
        for (const DictDatabaseFailure& db : failed)
            fmt::print("  Database \"{}\" (OID {}) not read: {}\n", terminalText(db.name), db.oid,
                       terminalText(db.reason));
    };
    if (!generated) {
        printFailedDatabases();
        // Only the files were to change; what was loaded before is untouched.
        if (!dictionary_->databases.empty())
            fmt::print("The dictionary loaded before is still the one in use.\n");
        fmt::print("\n");
        return false;
    }
    for (const std::string& warning : dictionary_->generationWarnings())
        fmt::print("Warning: {}\n", terminalText(warning));
    for (const std::string& warning : dictionary_->layoutWarnings()) {
        fmt::print("Warning: {}\n", terminalText(warning));
        mainLog().warn(warning);
    }
    // The catalogues too may lack what only the WAL holds (a table made after the checkpoint).
    if (const std::string notice = uncleanShutdownNotice(dataDirectory, serverVersion);
        !notice.empty()) {
        fmt::print("Warning: {}.\n", terminalText(notice));
        mainLog().warn(notice);
    }
    if (!dictionary_->keptPrevious().empty())
        fmt::print("{}\n", terminalText(dictionary_->keptPrevious()));
    if (!loaded) {
        // The files were written but do not read back: the log says which one and why.
        fmt::print(
            "Unable to run bootstrap, the dictionary files written do not load back "
            "(see log/vorn.log).\n");
        fmt::print("Please run 'bootstrap' to init dictionary.\n\n");
        return false;
    }
    // A catalogue read with damage or cut short leaves its rows out: the bootstrap is over,
    // but the dictionary is not the whole of what the data directory had.
    const bool damaged = !dictionary_->generationWarnings().empty();
    if (damaged) {
        const std::string line =
            "Bootstrap finished with damage: the catalogues named above were not read whole, "
            "so the dictionary may lack tables, columns or schemas.";
        fmt::print("{}\n", line);
        mainLog().warn(line);
    }
    if (!failed.empty()) {
        const size_t total = dictionary_->databases.size();
        fmt::print(
            "Bootstrap finished, but {} of {} database{} could not be read; {} tables are "
            "not in the dictionary:\n",
            failed.size(), total, total == 1 ? "" : "s", failed.size() == 1 ? "its" : "their");
        printFailedDatabases();
        fmt::print("\n");
        return false;
    }
    if (damaged) {
        fmt::print("\n");
        return false;
    }
    fmt::print("Bootstrap finish.\n\n");
    return true;
}

void ListCommands::showInfo(const std::string&) {}

void ListCommands::unloadDdl() {}

}  // namespace vorn
