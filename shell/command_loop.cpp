// The command loop of Console and the handlers it runs itself: switching the current
// database and schema, and the option checks in front of the unload commands.

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "base/file_logger.h"
#include "base/terminal_text.h"
#include "catalog/dictionary.h"
#include "export/cmd_ddl_export.h"
#include "export/cmd_export.h"
#include "shell/console.h"
#include "shell/help_text.h"
#include "shell/list_commands.h"

namespace vorn {

namespace {

// The schema a database starts in, spelled exactly so.
const NamePart kPublic{"public", true};

void unknownCommand() {
    std::puts(" unknown command.");
}

}  // namespace

std::string Console::prompt() const {
    const uint32_t database = dictionary_->currentDatabaseOid;
    if (database != 0) {
        for (const DatabaseEntry& entry : dictionary_->databases) {
            if (entry.oid == database) {
                // No current schema (a database without the one asked for) shows as none.
                // readline prints the prompt as it is, and takes \001 and \002 in it for
                // its own markers: the names are escaped.
                return fmt::format("{}.{}@{} > ", terminalText(entry.datname),
                                   terminalText(schemaName_), "VORN");
            }
        }
    }
    return fmt::format("{} > ", "VORN");
}

int Console::runCommandLoop(ILineSource& lines) {
    for (;;) {
        const std::string promptText = prompt();
        char buffer[kCommandLineLimit + 1] = {};
        if (!lines.readLine(promptText.c_str(), buffer, kCommandLineLimit))
            break;
        std::string text(buffer);
        if (text.empty())
            continue;
        trimCommandLine(text);
        const CommandLine line = splitCommandLine(text);

        bool goOn = true;
        try {
            goOn = dispatch(line);
        } catch (const std::exception& e) {
            if (outputFailed())
                return 1;
            fmt::print("Command failed: {}\n", terminalText(e.what()));
            log_->errorFormatted("Command \"{}\" failed: {}", text, e.what());
        } catch (...) {
            if (outputFailed())
                return 1;
            fmt::print("Command failed.\n");
            log_->errorFormatted("Command \"{}\" failed with an unknown exception", text);
        }
        // stdout is fully buffered on a pipe: a reader that went away shows only here.
        std::fflush(stdout);
        if (outputFailed())
            return 1;
        if (!goOn)
            break;
    }
    return 0;
}

bool Console::dispatch(const CommandLine& line) {
    const auto& u = line.upper;
    const auto& r = line.raw;
    const std::string& command = u[0];

    if (command == "HELP") {
        printHelp();
    } else if (command == "EXIT" || command == "QUIT") {
        fmt::print("\n");
        return false;
    } else if (command == "BOOTSTRAP") {
        const uint64_t loads = dictionary_->cacheLoads();
        listCommands_->bootstrap();
        // A bootstrap refused before it read anything (a version other than PG_VERSION's, a
        // data directory not found) has said why, and the dictionary is the one loaded before:
        // so is the schema. One read anew makes the schema chosen before stale; a dictionary
        // without a database (files that did not load back, said so) has no schema to say
        // anything about.
        if (dictionary_->cacheLoads() != loads) {
            if (dictionary_->currentDatabaseOid != 0)
                chooseSchema(kPublic, true);
            else
                enterCurrentDatabase();
        }
    } else if (command == "DESC") {
        if (!u[1].empty())
            listCommands_->describeTable(r[1]);
    } else if (command == "INFO") {
        if (!u[1].empty())
            listCommands_->showInfo(r[1]);
    } else if (command == "LIST") {
        if (u[1] == "DB")
            listCommands_->listDatabases();
        else if (u[1] == "SCHEMA")
            listCommands_->listSchemas();
        else if (u[1] == "TABLE")
            listCommands_->listTables(r[2]);
        else
            unknownCommand();
    } else if (command == "RELOAD") {
        if (u[1] == "DICT") {
            // Nothing: the dictionary is read at start-up and by bootstrap.
        } else if (u[1] == "CONFIG") {
            reloadConfig();
        } else {
            unknownCommand();
        }
    } else if (command == "USE") {
        setDatabase(r[1]);
    } else if (command == "SET") {
        if (u[1] == "DB")
            setDatabase(r[2]);
        else if (u[1] == "SCHEMA")
            setSchema(r[2]);
        else
            unknownCommand();
    } else if (command == "SHOW") {
        if (u[1] != "CHARSET")
            unknownCommand();
    } else if (command == "UNLOAD") {
        if (u[1] == "SCHEMA")
            unloadSchema(line);
        else if (u[1] == "TABLE")
            unloadTable(r[2], line);
        else if (u[1] == "DDL")
            listCommands_->unloadDdl();
        else if (u[1] == "OBJECT")
            ddlCommand_->runDdlCommand(r[2].c_str());
        else
            unknownCommand();
    } else if (command == "UNTRUNC" || command == "UNDELETE") {
        if (u[1] == "TABLE") {
            if (u[3] != "PARALLEL" && !u[3].empty())
                std::printf("Invalid option %s\n", u[3].c_str());
        } else {
            unknownCommand();
        }
    } else {
        unknownCommand();
    }
    return true;
}

int Console::unloadSchema(const CommandLine& line) {
    const auto& u = line.upper;
    // atoi as typed: "parallel" without a number is 0 and "-3" a huge unsigned degree; the
    // unload holds the degree to 1 .. 10.
    const unsigned degree = u[3] == "PARALLEL" ? static_cast<unsigned>(std::atoi(u[4].c_str())) : 1;
    cmdExport_->unloadSchema(line.raw[2].c_str(), degree);
    return 1;
}

int Console::unloadTable(const std::string& name, const CommandLine& line) {
    const auto& u = line.upper;
    if (name.empty()) {
        fmt::print("Please specify Table name\n");
        return 1;
    }
    if (u[3] == "OBJECT_ID" || u[3] == "PARALLEL" || u[3].empty()) {
        // One table is always unloaded by one thread.
        cmdExport_->unloadTable(name.c_str(), 1);
        return 1;
    }
    fmt::print("Invalid option {}\n", u[3]);
    return 0;
}

void Console::reloadConfig() {
    fmt::print("Loading config files...\n");
}

void Console::selectDatabase(const DatabaseEntry& entry) {
    dictionary_->currentDatabaseOid = entry.oid;
    dictionary_->setClientEncoding(entry.encoding);
}

void Console::setDatabase(const std::string& typed) {
    const NameLookup<const DatabaseEntry> lookup = dictionary_->findDatabase(parseNamePart(typed));
    if (lookup.found != nullptr) {
        selectDatabase(*lookup.found);
        chooseSchema(kPublic, true);
    } else if (!lookup.ambiguity.empty()) {
        fmt::print("{}\n", terminalText(lookup.ambiguity));
    } else {
        fmt::print("Database {} does not exist.\n", terminalText(typed));
    }
}

void Console::setSchema(const std::string& text) {
    std::string schema = text;
    std::string database;
    const size_t dot = findOutsideQuotes(text, '.');
    if (dot != std::string::npos) {
        database = text.substr(0, dot);
        schema = text.substr(dot + 1);
    }
    if (!database.empty()) {
        const NamePart name = parseNamePart(database);
        const NameLookup<const DatabaseEntry> lookup = dictionary_->findDatabase(name);
        if (lookup.found == nullptr) {
            if (!lookup.ambiguity.empty())
                fmt::print("{}\n", terminalText(lookup.ambiguity));
            else
                fmt::print("Database \"{}\" does not exist.\n", terminalText(name.text));
            return;
        }
        selectDatabase(*lookup.found);
    }
    chooseSchema(parseNamePart(schema), !database.empty());
}

void Console::chooseSchema(const NamePart& schema, bool databaseChosen) {
    const NameLookup<const NamespaceEntry> lookup = dictionary_->findSchema(schema);
    const NamespaceEntry* entry = lookup.found;
    if (entry == nullptr) {
        if (!lookup.ambiguity.empty())
            fmt::print("{}\n", terminalText(lookup.ambiguity));
        else
            fmt::print("Schema \"{}\" does not exist.\n", terminalText(schema.text));
        entry = dictionary_->findSchema(kPublic).found;
    }
    if (entry != nullptr) {
        currentSchemaOid_ = entry->oid;
        schemaName_ = entry->nspname;
    } else if (databaseChosen) {
        // The schema chosen before belongs to another database: no schema is current now.
        currentSchemaOid_ = 0;
        schemaName_.clear();
    } else {
        return;
    }
    currentSchemaOid = currentSchemaOid_;
}

void Console::enterCurrentDatabase() {
    const NamespaceEntry* entry =
        dictionary_->currentDatabaseOid != 0 ? dictionary_->findSchema(kPublic).found : nullptr;
    currentSchemaOid_ = entry != nullptr ? entry->oid : 0;
    schemaName_ = entry != nullptr ? entry->nspname : std::string();
    currentSchemaOid = currentSchemaOid_;
}

}  // namespace vorn
