#include "export/cmd_export.h"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

#include "base/file_logger.h"
#include "base/progress.h"
#include "base/terminal_text.h"
#include "catalog/dictionary.h"
#include "export/data_writer.h"
#include "export/export_settings.h"
#include "export/file_names.h"
#include "export/import_script.h"
#include "export/writer_factory.h"

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

bool sameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The messages a writer collected, each stored behind a line feed, as one text.
std::string trimmedMessages(const std::string& messages) {
    size_t start = 0;
    while (start < messages.size() && messages[start] == '\n')
        ++start;
    return messages.substr(start);
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
        outcome.incomplete = result.damage.total() > 0;
        outcome.messages = trimmedMessages(writer->messages());
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
        entries.push_back({table, o.dataFile, o.failed || o.skipped, o.messages});
    }
    const uint32_t database = tables.empty() ? dictionary_->currentDatabaseOid : tables[0]->dboid;
    reportScript(vorn::writeSchemaImportScript(importSettings(database), schemaName, entries));
}

void CmdExport::writeTableImportScript(PgTable* table, const TableOutcome& outcome) {
    if (exportKind_ == kExportDb)
        return;
    ImportScriptSettings settings = importSettings(table->dboid);
    ImportTable entry{table, outcome.dataFile, outcome.failed || outcome.skipped, outcome.messages};
    const ImportScriptResult result = vorn::writeTableImportScript(settings, entry);
    reportScript(result);
}

void CmdExport::unloadTable(const char* typedName, unsigned degree) {
    // File names are unique within one command; each command starts afresh.
    resetTableFileNames();
    const std::string typed = typedName != nullptr ? typedName : "";
    std::string schemaPart, tablePart, partitionPart;
    bool nothingAfterDot = false;
    if (!typed.empty()) {
        std::string rest = typed;
        if (const size_t dot = typed.find('.'); dot != std::string::npos) {
            schemaPart = typed.substr(0, dot);
            foldIdentifier(schemaPart);
            rest = typed.substr(dot + 1);
            nothingAfterDot = rest.empty();
        }
        if (!nothingAfterDot) {
            if (const size_t colon = rest.find(':'); colon != std::string::npos) {
                tablePart = rest.substr(0, colon);
                partitionPart = rest.substr(colon + 1);
            } else {
                tablePart = rest;
            }
            foldIdentifier(tablePart);
            if (!partitionPart.empty())
                foldIdentifier(partitionPart);
        }
    }
    PgTable* table = nullptr;
    if (!tablePart.empty() && tablePart.size() <= kNamePartMax &&
        schemaPart.size() <= kNamePartMax) {
        table = !schemaPart.empty()
                    ? dictionary_->findTable(schemaPart.c_str(), tablePart.c_str())
                    : dictionary_->findTableInSchema(
                          shellSchemaOid_ != nullptr ? *shellSchemaOid_ : 0, tablePart.c_str());
    }
    if (table == nullptr) {
        say(fmt::format("Table {} not exist", typed));
        return;
    }

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
    unloadLog_->infoFormatted("[obj#:{}] table \"{}\".\"{}\" unloaded {} rows ({:.2f} secs).", oid,
                              schema, name, outcome.rows, seconds);
    say(fmt::format(" {} unloaded {} rows ({:.2f} secs).\n", formatLocalTimestamp(), outcome.rows,
                    seconds));
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
            say(fmt::format("  [{:02d}] {} table {} unloaded {} rows ({:.2f} secs).", index,
                            formatLocalTimestamp(), name, outcome.rows, seconds));
            unloadLog_->infoFormatted(
                "[{:02d}] [obj#: {}] table \"{}\".\"{}\" unloaded {} rows ({:.2f} secs).", index,
                oid, schema, name, outcome.rows, seconds);
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
    resetTableFileNames();
    degree = clampDegree(degree);
    const std::string typed = schemaName != nullptr ? schemaName : "";
    if (typed.empty()) {
        say(fmt::format("Schema {} not exist.", typed));
        return;
    }
    const NamespaceEntry* schema = nullptr;
    for (const auto& [key, entry] : dictionary_->schemas) {
        if (entry.dboid == dictionary_->currentDatabaseOid &&
            sameIgnoringCase(entry.nspname, typed)) {
            schema = &entry;
            break;
        }
    }
    if (schema == nullptr) {
        say(fmt::format("Schema {} not exist.", typed));
        return;
    }
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
                say(fmt::format(" {} unloaded {} rows ({:.2f} secs).", formatLocalTimestamp(),
                                outcome.rows, seconds));
                unloadLog_->infoFormatted(
                    "[obj#: {}] table \"{}\".\"{}\" unloaded {} rows ({:.2f} secs).", oid, shown,
                    tableName, outcome.rows, seconds);
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
        "========== Unload \"{}\": {} total, {} success, {} error, {} skipped, {} ignored "
        "==========\n",
        shown, counters.total, counters.success.load(), counters.error.load(), counters.skipped,
        counters.ignored);
    say("Finished.");
    say(summary);
    unloadLog_->info("Finished.");
    unloadLog_->info(summary);
    reportProblems(finished);
}

}  // namespace vorn
