#pragma once

// The application object of vorn: what the process builds before the first prompt, the
// start-up report, and the command loop that reads a line, splits it and dispatches it to
// the listing commands, the unload commands and the DDL export.
//
// Start-up, in this order: signal handlers, banner, "Starting up ..." in log/vorn.log, the
// parameters of conf/vorn.ini (logged one per line), the export settings handed to the
// unload commands, the dictionary loaded from dict/, the export options reported (the export
// directory checked, or libpq loaded and the target database tried). None of it stops the
// program: the loop starts whatever start-up found.
//
// The loop ends at "exit", "quit" or the end of input with status 0. A command that throws
// is reported (console and log) and the loop goes on. Standard output that cannot be
// written any more (a closed pipe) ends the program with status 1: there is no one left to
// read what it would print.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/config.h"
#include "catalog/typed_name.h"
#include "shell/command_line.h"

namespace vorn {

class CmdDdlExport;
class CmdExport;
class Dictionary;
class FileLogger;
class ListCommands;
class UiLineEditor;
struct DatabaseEntry;

// The OID of the current schema, for whoever has no Console at hand (table-name completion).
// Console::setSchema writes it together with the Console's own copy; 0 means none.
extern uint32_t currentSchemaOid;

// Where the command loop takes its lines from: the line editor in the program, a script in
// the tests.
class ILineSource {
  public:
    virtual ~ILineSource() = default;
    // False at the end of input. Otherwise copies at most `limit` bytes of the line into
    // `buffer` (limit + 1 bytes, zeroed by the caller); an empty line leaves it untouched.
    virtual bool readLine(const char* prompt, char* buffer, size_t limit) = 0;
};

// A connect string user/password@host:port/dbname with one '*' for each byte of the
// password (everything between the first '/' and the last '@'; without '@' everything after
// the first '/'). Only the first 511 bytes are kept. Null gives "".
std::string maskConnectString(const char* text);

class Console {
  public:
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The program: signal handlers, then runSession with the line editor. Returns the exit
    // status.
    int run();
    // Banner, start-up and command loop over `lines`; 0, or 1 when standard output failed.
    int runSession(ILineSource& lines);

    void startup();
    bool readParameters();
    void applyExportConfig();
    void loadDictionary();
    void showExportOptions();

    // Until exit, quit or the end of input; 0, or 1 when standard output failed.
    int runCommandLoop(ILineSource& lines);
    // One trimmed and split line; false for exit and quit.
    bool dispatch(const CommandLine& line);

    // "%s.%s@VORN > " with the current database and schema, or "VORN > " without a database.
    std::string prompt() const;

    void setDatabase(const std::string& name);
    void setSchema(const std::string& text);
    int unloadSchema(const CommandLine& line);
    int unloadTable(const std::string& name, const CommandLine& line);
    void reloadConfig();

    uint32_t schemaOid() const { return currentSchemaOid_; }
    const std::string& schemaName() const { return schemaName_; }
    const Config& config() const { return config_; }

  private:
    // Makes the named schema of the current database current, else (said on the console)
    // "public" of it. When neither exists and the database was just chosen, the current
    // schema is none.
    void chooseSchema(const NamePart& schema, bool databaseChosen);
    // After the dictionary was loaded at start-up: "public" of its current database becomes
    // current without a word, or no schema when there is none, so that the prompt shows what
    // the commands use.
    void enterCurrentDatabase();
    void selectDatabase(const DatabaseEntry& entry);
    // Whether standard output has failed; logs it once.
    bool outputFailed();

    FileLogger* log_;
    Dictionary* dictionary_;
    uint32_t currentSchemaOid_ = 0;
    std::string schemaName_;
    std::unique_ptr<CmdExport> cmdExport_;
    std::unique_ptr<UiLineEditor> lineEditor_;
    Config config_;
    std::unique_ptr<ListCommands> listCommands_;
    std::unique_ptr<CmdDdlExport> ddlCommand_;
    bool outputFailureLogged_ = false;
};

}  // namespace vorn
