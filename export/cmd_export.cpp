#include "export/cmd_export.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/file_logger.h"
#include "base/progress.h"
#include "base/terminal_text.h"
#include "catalog/dictionary.h"
#include "export/data_writer.h"
#include "export/export_settings.h"
#include "export/import_script.h"
#include "export/writer_factory.h"
#include "storage/control_file.h"
#include "storage/storage_settings.h"

namespace vorn {

namespace {

constexpr size_t kNamePartMax = 63;  // the longest catalogue name
constexpr unsigned kMaxDegree = 10;
constexpr double kDbPaceSeconds = 0.05;

// One console line in one write, so that the lines of parallel workers never mix. Control
// bytes in it are escaped, line feeds aside (base/terminal_text.h): the names in it come
// from the data directory, and a writer's message may quote one.
void say(const std::string& text) {
    std::string line = terminalLines(text);
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot write to file");
}

unsigned clampDegree(unsigned degree) {
    if (degree == 0)
        return 1;
    return degree > kMaxDegree ? kMaxDegree : degree;
}

uint64_t monotonicNanoseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Whole milliseconds since `start`, in seconds.
double secondsSince(uint64_t start) {
    return static_cast<double>((monotonicNanoseconds() - start) / 1000000) / 1000.0;
}

// "schema"."table" for messages, the names escaped.
std::string quoted(const std::string& schema, const std::string& table) {
    return fmt::format("\"{}\".\"{}\"", terminalText(schema), terminalText(table));
}

// The messages a writer collected, each stored behind a line feed, as one text.
std::string trimmedMessages(const std::string& messages) {
    size_t start = 0;
    while (start < messages.size() && messages[start] == '\n')
        ++start;
    return messages.substr(start);
}

// How a table's unload ended, for the line after it: a table that failed or was skipped
// wrote no rows, and an incomplete one did not write all of them.
std::string doneText(const CmdExport::TableOutcome& outcome, double seconds) {
    if (outcome.failed)
        return fmt::format("failed ({:.2f} secs).", seconds);
    if (outcome.skipped)
        return fmt::format("skipped ({:.2f} secs).", seconds);
    if (outcome.incomplete)
        return fmt::format("unloaded {} rows, incomplete ({:.2f} secs).", outcome.rows, seconds);
    return fmt::format("unloaded {} rows ({:.2f} secs).", outcome.rows, seconds);
}

// A table of a session's temporary schema (pg_temp_<n>): its file "t<n>_<file node>" belongs to
// that session, and the server removes it when it starts again. "" for any other table.
std::string temporaryTableNote(const PgTable& table) {
    const std::string schema = table.schemaName();
    constexpr std::string_view kPrefix = "pg_temp_";
    if (schema.compare(0, kPrefix.size(), kPrefix) != 0 || schema.size() == kPrefix.size())
        return "";
    const std::string backend = schema.substr(kPrefix.size());
    if (backend.find_first_not_of("0123456789") != std::string::npos)
        return "";
    return fmt::format(
        "is a temporary table of a session that ended with the server, which drops it when it "
        "starts: its file \"t{}_{}\" is not read.",
        backend, table.fileNode());
}

// After an unload: what a crash left unsaid, once per command (console and log).
void sayUncleanShutdown(FileLogger& log) {
    const std::string notice = uncleanShutdownNotice(dataDirectory, serverVersion);
    if (notice.empty())
        return;
    say("Warning: " + notice + ".");
    log.warn(notice);
}

std::string fileNameOf(const std::string& path) {
    return path.empty() ? std::string() : std::filesystem::path(path).filename().string();
}

}  // namespace

std::string formatLocalTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

void foldIdentifier(char* name) {
    const size_t n = std::strlen(name);
    if (n < 3)
        return;
    if (name[0] == '"' && name[n - 1] == '"') {
        std::memmove(name, name + 1, n - 2);
        name[n - 2] = '\0';
        return;
    }
    for (size_t i = 0; i < n; ++i)
        name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
}

void foldIdentifier(std::string& name) {
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    foldIdentifier(buffer.data());
    name = buffer.data();
}

CmdExport::CmdExport(Dictionary* dictionary, uint32_t* shellSchemaOid)
    : dictionary_(dictionary), shellSchemaOid_(shellSchemaOid), unloadLog_(&unloadLog()) {}

void CmdExport::setExportKind(int code) {
    exportKind_ = code;
}

void CmdExport::setExportPath(const std::string& path) {
    if (path.empty())
        return;
    exportPath_ = path;
    exportDirectory = path;
}

void CmdExport::setConnectString(const std::string& text) {
    targetConnectString = text;
}

void CmdExport::setTextDelimiter(char delimiter) {
    textDelimiter = delimiter;
}

std::unique_ptr<IDataWriter> CmdExport::createWriter(PgTable* table, const char* suffix) {
    if (table == nullptr || exportKind_ < kExportText || exportKind_ > kExportDb)
        return nullptr;
    return makeDataWriter(exportKind_, *table, suffix != nullptr ? suffix : "");
}

std::string CmdExport::schemaDisplayName(const PgTable& table) const {
    const auto found =
        dictionary_->schemas.find(dictKey(dictionary_->currentDatabaseOid, table.schemaOid()));
    if (found != dictionary_->schemas.end())
        return found->second.nspname;
    return fmt::format("schema{}", table.schemaOid());
}

CmdExport::TableOutcome CmdExport::unloadOneTable(PgTable* table, const char* suffix) {
    return unloadWith(table, suffix, true);
}

CmdExport::TableOutcome CmdExport::unloadQueuedTable(PgTable* table, const char* suffix) {
    return unloadWith(table, suffix, false);
}

CmdExport::TableOutcome CmdExport::unloadWith(PgTable* table, const char* suffix,
                                              bool withProgress) {
    TableOutcome outcome;
    const std::string name = quoted(table->schemaName(), table->tableName());
    if (table->relkind == 'p') {
        // A partitioned table has no storage: reading it would give "0 rows" that are not the
        // table's rows, and an import script that loads nothing.
        outcome.skipped = true;
        outcome.messages = fmt::format(
            "Table {} is a partitioned table: it holds no rows of its own. Its rows are in its "
            "partitions, which are tables of their own: unload them by name or with their "
            "schema.",
            name);
        say("  " + outcome.messages);
        unloadLog_->warn(outcome.messages);
        return outcome;
    }
    if (const std::string temporary = temporaryTableNote(*table); !temporary.empty()) {
        outcome.skipped = true;
        outcome.messages = fmt::format("Table {} {}", name, temporary);
        say("  " + outcome.messages);
        unloadLog_->warn(outcome.messages);
        return outcome;
    }
    try {
        std::unique_ptr<IDataWriter> writer = createWriter(table, suffix);
        if (!writer) {
            outcome.skipped = true;
            outcome.messages =
                exportKind_ == kExportCsv
                    ? fmt::format("Export format CSV has no writer: table {} is not unloaded.",
                                  name)
                    : fmt::format("Export format {} has no writer: table {} is not unloaded.",
                                  exportKind_, name);
            say("  " + outcome.messages);
            unloadLog_->warn(outcome.messages);
            return outcome;
        }
        UnloadResult result;
        if (withProgress) {
            UiProgress progress;
            result = table->unload(*writer, &progress);
        } else {
            result = table->unload(*writer, nullptr);
        }
        outcome.rows = result.rows;
        outcome.failed = result.failed;
        outcome.incomplete = result.damage.total() > 0 || result.unloggedAfterCrash;
        outcome.messages = trimmedMessages(writer->messages());
        // Values written empty or NULL for want of an output are not the table's values.
        if (const std::string lost = writer->valuesNotWritten(); !lost.empty() && !outcome.failed) {
            outcome.incomplete = true;
            unloadLog_->warn(fmt::format("Table {}: {}", name, lost));
            if (!outcome.messages.empty())
                outcome.messages += '\n';
            outcome.messages += lost;
        }
        if (result.emptyPages > 0) {
            const std::string note =
                fmt::format("  Table {}: {} empty pages.", name, result.emptyPages);
            say(note);
            unloadLog_->info(note);
        }
        if (!outcome.failed)
            if (auto* fileWriter = dynamic_cast<DataWriter*>(writer.get()))
                outcome.dataFile = fileNameOf(fileWriter->outputFile());
    } catch (const std::exception& e) {
        // Listing segments or building the TOAST index can fail outside the page loop.
        outcome.failed = true;
        outcome.rows = 0;
        outcome.messages = fmt::format("Unload table {} error: {}", name, e.what());
        unloadLog_->error(outcome.messages);
    }
    if ((outcome.failed || outcome.incomplete) && !outcome.messages.empty())
        say("  " + outcome.messages);
    return outcome;
}

bool CmdExport::exportDirectoryReady() {
    if (exportKind_ != kExportText && exportKind_ != kExportBinary)
        return true;
    const std::filesystem::path directory = exportPath_.empty() ? "." : exportPath_;
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (!error && !std::filesystem::is_directory(directory, error) && !error)
        error = std::make_error_code(std::errc::not_a_directory);
    std::string problem;
    if (error)
        problem = fmt::format("Export directory \"{}\" cannot be created: {}.", exportPath_,
                              error.message());
    else if (::access(directory.c_str(), W_OK | X_OK) != 0)
        problem = fmt::format("Export directory \"{}\" cannot be written: {}.", exportPath_,
                              std::strerror(errno));
    if (problem.empty())
        return true;
    say(problem);
    unloadLog_->error(problem);
    return false;
}

ImportScriptSettings CmdExport::importSettings(uint32_t databaseOid) const {
    ImportScriptSettings settings;
    settings.exportKind = exportKind_;
    settings.exportPath = exportPath_;
    settings.delimiter = textDelimiter;
    // The encoding of the table's own database, which the data files are written in.
    for (const DatabaseEntry& db : dictionary_->databases) {
        if (db.oid == databaseOid && db.encodingName != "unknown")
            settings.clientEncoding = db.encodingName;
        if (db.oid == dictionary_->currentDatabaseOid)
            settings.databaseName = db.datname;
    }
    if (settings.clientEncoding.empty())
        settings.clientEncoding =
            dictionary_->clientEncoding.empty() ? "UTF8" : dictionary_->clientEncoding;
    return settings;
}

void CmdExport::reportScript(const ImportScriptResult& result) {
    if (!result.error.empty()) {
        const std::string text = "  Import script not written: " + result.error;
        say(text);
        unloadLog_->error(text);
    }
    for (const std::string& table : result.byHand) {
        const std::string text = fmt::format(
            "  Table {} has a name no psql \\COPY line can hold: {} says how to load it by hand.",
            terminalText(table), result.path);
        say(text);
        unloadLog_->warn(text);
    }
}

void CmdExport::reportProblems(const std::vector<Finished>& finished) {
    for (const Finished& f : finished) {
        const char* what = f.outcome.failed       ? "failed"
                           : f.outcome.incomplete ? "incomplete"
                           : f.outcome.skipped    ? "skipped"
                                                  : nullptr;
        if (what == nullptr)
            continue;
        std::string reason = f.outcome.messages;
        for (char& c : reason)
            if (c == '\n')
                c = ' ';
        const std::string text =
            fmt::format("  {} {}: {}", what, quoted(f.table->schemaName(), f.table->tableName()),
                        reason.empty() ? std::string("no message") : reason);
        say(text);
        unloadLog_->info(text);
    }
}

void CmdExport::writeSchemaImportScript(const std::string& schemaName,
                                        const std::vector<PgTable*>& tables,
                                        const std::vector<Finished>& finished) {
    if (exportKind_ == kExportDb)
        return;
    std::map<const PgTable*, const TableOutcome*> outcomes;
    for (const Finished& f : finished)
        outcomes[f.table] = &f.outcome;
    std::vector<ImportTable> entries;
    for (PgTable* table : tables) {
        const auto found = outcomes.find(table);
        if (found == outcomes.end()) {
            entries.push_back({table, "", true, "not unloaded"});
            continue;
        }
        const TableOutcome& o = *found->second;
        entries.push_back({table, o.dataFile, o.failed, o.messages, o.skipped});
    }
    const uint32_t database = tables.empty() ? dictionary_->currentDatabaseOid : tables[0]->dboid;
    reportScript(vorn::writeSchemaImportScript(importSettings(database), schemaName, entries));
}

void CmdExport::writeTableImportScript(PgTable* table, const TableOutcome& outcome) {
    if (exportKind_ == kExportDb)
        return;
    ImportScriptSettings settings = importSettings(table->dboid);
    ImportTable entry{table, outcome.dataFile, outcome.failed, outcome.messages, outcome.skipped};
    const ImportScriptResult result = vorn::writeTableImportScript(settings, entry);
    reportScript(result);
}

void CmdExport::unloadTable(const char* typedName, unsigned degree) {
    const std::string typed = typedName != nullptr ? typedName : "";
    const TypedTableName parts = splitTableName(typed);
    // The suffix names a file, not a catalogue object: it is folded as before.
    std::string partitionPart = parts.suffix;
    if (!partitionPart.empty())
        foldIdentifier(partitionPart);
    NameLookup<PgTable> lookup;
    if (!parts.table.text.empty() && parts.table.text.size() <= kNamePartMax &&
        parts.schema.text.size() <= kNamePartMax) {
        lookup = parts.hasSchema
                     ? dictionary_->findTable(parts.schema, parts.table)
                     : dictionary_->findTableInSchema(
                           shellSchemaOid_ != nullptr ? *shellSchemaOid_ : 0, parts.table);
    }
    PgTable* table = lookup.found;
    if (table == nullptr) {
        say(!lookup.ambiguity.empty() ? lookup.ambiguity
                                      : fmt::format("Table {} not exist", typed));
        return;
    }
    if (!exportDirectoryReady())
        return;

    const uint32_t oid = table->oid();
    // The names as the console and the log show them.
    const std::string schema = terminalText(schemaDisplayName(*table));
    const std::string name = terminalText(table->tableName());
    degree = clampDegree(degree);
    const uint64_t start = monotonicNanoseconds();
    unloadLog_->infoFormatted("[obj#: {}] table \"{}\".\"{}\" unloading...", oid, schema, name);
    if (!partitionPart.empty())
        say(fmt::format(" {} unloading table partition \"{}\".\"{}\":\"{}\" in parallel {}...",
                        formatLocalTimestamp(), schema, name, partitionPart, degree));
    else
        say(fmt::format(" {} unloading table \"{}\".\"{}\" in parallel {}...",
                        formatLocalTimestamp(), schema, name, degree));

    TableOutcome outcome;
    if (degree == 1)
        outcome = unloadOneTable(table, partitionPart.c_str());
    writeTableImportScript(table, outcome);

    const double seconds = secondsSince(start);
    unloadLog_->infoFormatted("[obj#:{}] table \"{}\".\"{}\" {}", oid, schema, name,
                              doneText(outcome, seconds));
    say(fmt::format(" {} {}", formatLocalTimestamp(), doneText(outcome, seconds)));
    sayUncleanShutdown(*unloadLog_);
    say("");
}

void CmdExport::fillQueue(const std::vector<PgTable*>& tables) {
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        taskQueue_.clear();
    }
    for (PgTable* table : tables) {
        if (table == nullptr)
            continue;
        std::lock_guard<std::mutex> lock(queueMutex_);
        taskQueue_.push_back(table);
    }
}

void CmdExport::recordFinished(PgTable* table, const TableOutcome& outcome,
                               UnloadCounters& counters) {
    {
        std::lock_guard<std::mutex> lock(finishedMutex_);
        finished_.push_back({table, outcome});
    }
    // Skipped tables are counted after the run, from the finished list.
    if (outcome.skipped)
        return;
    if (outcome.failed)
        counters.error.fetch_add(1);
    else if (outcome.incomplete)
        counters.incomplete.fetch_add(1);
    else
        counters.success.fetch_add(1);
}

void CmdExport::pace(double seconds) const {
    if (exportKind_ != kExportDb || seconds >= kDbPaceSeconds)
        return;
    timespec wait{0, 50 * 1000 * 1000};
    timespec left{};
    while (nanosleep(&wait, &left) != 0 && errno == EINTR)
        wait = left;
}

void CmdExport::workerLoop(int index, UnloadCounters* counters) {
    for (;;) {
        PgTable* table = nullptr;
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            if (taskQueue_.empty())
                return;
            table = taskQueue_.front();
            taskQueue_.pop_front();
        }
        if (table == nullptr)
            continue;
        // Everything a table does, its console lines included, stays inside this guard: one
        // table's failure must not end the worker or the run.
        TableOutcome outcome;
        try {
            const uint32_t oid = table->oid();
            // The names as the console and the log show them.
            const std::string schema = terminalText(table->schemaName());
            const std::string name = terminalText(table->tableName());
            const uint64_t start = monotonicNanoseconds();
            say(fmt::format("  [{:02d}] {} unloading table {}...", index, formatLocalTimestamp(),
                            name));
            unloadLog_->infoFormatted("[{:02d}] [obj#: {}] table \"{}\".\"{}\" unloading...", index,
                                      oid, schema, name);
            outcome = unloadQueuedTable(table, nullptr);
            const double seconds = secondsSince(start);
            say(fmt::format("  [{:02d}] {} table {} {}", index, formatLocalTimestamp(), name,
                            doneText(outcome, seconds)));
            unloadLog_->infoFormatted("[{:02d}] [obj#: {}] table \"{}\".\"{}\" {}", index, oid,
                                      schema, name, doneText(outcome, seconds));
            pace(seconds);
        } catch (const std::exception& e) {
            outcome.failed = true;
            outcome.messages = e.what();
        }
        recordFinished(table, outcome, *counters);
    }
}

std::thread CmdExport::startWorker(int index, UnloadCounters* counters) {
    return std::thread(&CmdExport::workerLoop, this, index, counters);
}

void CmdExport::unloadSchema(const char* schemaName, unsigned degree) {
    degree = clampDegree(degree);
    const std::string typed = schemaName != nullptr ? schemaName : "";
    if (typed.empty()) {
        say(fmt::format("Schema {} not exist.", typed));
        return;
    }
    const NameLookup<const NamespaceEntry> lookup = dictionary_->findSchema(parseNamePart(typed));
    const NamespaceEntry* schema = lookup.found;
    if (schema == nullptr) {
        say(!lookup.ambiguity.empty() ? lookup.ambiguity
                                      : fmt::format("Schema {} not exist.", typed));
        return;
    }
    if (!exportDirectoryReady())
        return;
    const std::string name = schema->nspname;
    const std::string shown = terminalText(name);  // on the console and in the log
    std::vector<PgTable*> tables;
    const uint32_t total = dictionary_->tablesOfSchema(tables, schema->oid);

    say(fmt::format(" Unloading {}'s tables, total cnt: {} in parallel {}", shown, total, degree));
    unloadLog_->info("");
    unloadLog_->infoFormatted("Unloading {}'s tables, total cnt: {}.", shown, total);
    if (exportKind_ == kExportCsv && total > 0)
        say("  Export format CSV has no writer: the tables are counted as skipped.");

    UnloadCounters counters;
    counters.total = static_cast<int32_t>(total);
    {
        std::lock_guard<std::mutex> lock(finishedMutex_);
        finished_.clear();
    }

    if (total > 0 && degree == 1) {
        for (PgTable* table : tables) {
            TableOutcome outcome;
            try {
                const uint32_t oid = table->oid();
                const std::string tableName = terminalText(table->tableName());
                const uint64_t start = monotonicNanoseconds();
                say(fmt::format(" {} unloading table {}...", formatLocalTimestamp(), tableName));
                unloadLog_->infoFormatted("[obj#: {}] table \"{}\".\"{}\" unloading...", oid, shown,
                                          tableName);
                outcome = unloadOneTable(table, nullptr);
                const double seconds = secondsSince(start);
                say(fmt::format(" {} {}", formatLocalTimestamp(), doneText(outcome, seconds)));
                unloadLog_->infoFormatted("[obj#: {}] table \"{}\".\"{}\" {}", oid, shown,
                                          tableName, doneText(outcome, seconds));
                pace(seconds);
            } catch (const std::exception& e) {
                outcome.failed = true;
                outcome.messages = e.what();
            }
            recordFinished(table, outcome, counters);
        }
    } else if (total > 0) {
        try {
            fillQueue(tables);
        } catch (const std::exception& e) {
            const std::string text =
                fmt::format("failed to init unload table queue, error msg: {}", e.what());
            say(text);
            unloadLog_->error(text);
        }
        std::vector<std::thread> workers;
        // Reserved up front: a thread started must never be lost to a failed push_back.
        workers.reserve(degree);
        std::mutex workersMutex;
        for (unsigned i = 0; i < degree; ++i) {
            std::lock_guard<std::mutex> lock(workersMutex);
            try {
                workers.push_back(startWorker(static_cast<int>(i), &counters));
            } catch (const std::system_error& e) {
                // The workers already running take the rest of the queue.
                const std::string text =
                    i == 0
                        ? fmt::format("cannot start unload worker 0 ({}); going on without workers",
                                      e.what())
                        : fmt::format("cannot start unload worker {} ({}); going on with {}", i,
                                      e.what(), i);
                say(text);
                unloadLog_->error(text);
                break;
            }
        }
        if (workers.empty())
            workerLoop(0, &counters);
        std::lock_guard<std::mutex> lock(workersMutex);
        for (std::thread& worker : workers)
            worker.join();
    }

    std::vector<Finished> finished;
    {
        std::lock_guard<std::mutex> lock(finishedMutex_);
        finished.swap(finished_);
    }
    for (const Finished& f : finished)
        if (f.outcome.skipped)
            ++counters.skipped;
    if (total > 0)
        writeSchemaImportScript(name, tables, finished);

    const std::string summary = fmt::format(
        "========== Unload \"{}\": {} total, {} success, {} incomplete, {} error, {} skipped, {} "
        "ignored ==========\n",
        shown, counters.total, counters.success.load(), counters.incomplete.load(),
        counters.error.load(), counters.skipped, counters.ignored);
    say("Finished.");
    say(summary);
    unloadLog_->info("Finished.");
    unloadLog_->info(summary);
    reportProblems(finished);
    sayUncleanShutdown(*unloadLog_);
}

}  // namespace vorn
