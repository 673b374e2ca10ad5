#pragma once

// UNLOAD TABLE and UNLOAD SCHEMA: find the tables in the dictionary, unload each through the
// writer of the configured export format, write the psql import scripts, and report rows,
// times and failures on the console and in log/unload_table.log.
//
// UNLOAD SCHEMA with a degree above 1 is the one place where threads are started: up to ten
// workers take tables from a shared queue; each table is unloaded by one worker through its
// own writer, and the dictionary is only read while they run.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/data_writer.h"
#include "storage/table.h"

namespace vorn {

class Dictionary;
class FileLogger;
struct ImportScriptSettings;
struct ImportScriptResult;

// The current local time as "YYYY-MM-DD HH:MM:SS".
std::string formatLocalTimestamp();

// Folds a typed name part in place: 3 or more characters in double quotes lose the quotes
// and keep their case; any other part of 3 or more characters is lower-cased; shorter parts
// stay as typed.
void foldIdentifier(char* name);
void foldIdentifier(std::string& name);

// The counters of one UNLOAD SCHEMA, shared with its workers.
struct UnloadCounters {
    int32_t total = 0;
    int32_t skipped = 0;  // tables not read: a format without writer (CSV), partitioned tables
    int32_t ignored = 0;
    std::atomic<int32_t> success{0};
    std::atomic<int32_t> incomplete{0};  // written, but with rows or values missing
    std::atomic<int32_t> error{0};
};

class CmdExport {
  public:
    CmdExport(Dictionary* dictionary, uint32_t* shellSchemaOid);
    virtual ~CmdExport() = default;

    void setExportKind(int code);
    // An empty path changes nothing; otherwise it is also the writers' exportDirectory.
    void setExportPath(const std::string& path);
    void setConnectString(const std::string& text);
    void setTextDelimiter(char delimiter);

    int exportKind() const { return exportKind_; }
    const std::string& exportPath() const { return exportPath_; }

    // UNLOAD TABLE [schema.]table[:partition].
    void unloadTable(const char* name, unsigned degree);
    // UNLOAD SCHEMA name [PARALLEL degree].
    void unloadSchema(const char* schemaName, unsigned degree);

    // The writer of the configured format for one table, or null (CSV has none).
    std::unique_ptr<IDataWriter> createWriter(PgTable* table, const char* suffix);

    // What one table's unload came to.
    struct TableOutcome {
        uint64_t rows = 0;
        bool failed = false;
        bool skipped = false;     // no writer for the format, or a partitioned table: not read
        bool incomplete = false;  // read with damage: some rows or values are missing
        std::string messages;     // the writer's messages (failures, damage)
        std::string dataFile;     // the data file written, empty when none
    };
    // One table on the calling thread, with a progress bar (unloadOneTable) or without one
    // (unloadQueuedTable, for the workers). Never throws for the table: whatever goes wrong
    // is a failed outcome with its message, printed as "  <messages>".
    TableOutcome unloadOneTable(PgTable* table, const char* suffix);
    TableOutcome unloadQueuedTable(PgTable* table, const char* suffix);

    void fillQueue(const std::vector<PgTable*>& tables);
    void workerLoop(int index, UnloadCounters* counters);

  protected:
    // Starts one worker of UNLOAD SCHEMA on a thread of its own; throws std::system_error
    // when the system refuses the thread.
    virtual std::thread startWorker(int index, UnloadCounters* counters);

  private:
    struct Finished {
        PgTable* table;
        TableOutcome outcome;
    };

    TableOutcome unloadWith(PgTable* table, const char* suffix, bool withProgress);
    std::string schemaDisplayName(const PgTable& table) const;
    // The import scripts of the file formats (none for DB). A script that cannot be written,
    // and each table that must be loaded by hand, are reported.
    void writeTableImportScript(PgTable* table, const TableOutcome& outcome);
    void writeSchemaImportScript(const std::string& schemaName, const std::vector<PgTable*>& tables,
                                 const std::vector<Finished>& finished);
    ImportScriptSettings importSettings(uint32_t databaseOid) const;
    void reportScript(const ImportScriptResult& result);
    // After the summary: the tables that failed, came out incomplete or were skipped, and why.
    void reportProblems(const std::vector<Finished>& finished);
    // Keeps the outcome for the script and summary and counts it as a success or an error.
    void recordFinished(PgTable* table, const TableOutcome& outcome, UnloadCounters& counters);
    // The file formats: the export directory, created when missing. False, after one line
    // saying why, when it cannot be created or written: the command then unloads nothing.
    bool exportDirectoryReady();
    // Format DB: a table done in under 50 ms is followed by a 50 ms pause.
    void pace(double seconds) const;

    std::deque<PgTable*> taskQueue_;
    std::mutex queueMutex_;
    Dictionary* dictionary_;
    uint32_t* shellSchemaOid_;
    FileLogger* unloadLog_;
    int exportKind_ = 1;
    std::string exportPath_ = "dump";

    // Tables done in the running UNLOAD SCHEMA, for its import script and summary.
    std::vector<Finished> finished_;
    std::mutex finishedMutex_;
};

}  // namespace vorn
