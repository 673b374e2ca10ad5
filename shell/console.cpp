#include "shell/console.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>

#include "base/console_color.h"
#include "base/file_logger.h"
#include "base/progress.h"
#include "base/signals.h"
#include "catalog/dictionary.h"
#include "export/cmd_ddl_export.h"
#include "export/cmd_export.h"
#include "export/libpq_loader.h"
#include "export/target_connection.h"
#include "shell/banner.h"
#include "shell/completion.h"
#include "shell/list_commands.h"
#include "shell/ui_line_editor.h"

namespace vorn {

uint32_t currentSchemaOid = 0;

namespace {

constexpr size_t kConnectStringLimit = 511;

class EditorLines : public ILineSource {
  public:
    explicit EditorLines(UiLineEditor& editor) : editor_(editor) {}
    bool readLine(const char* prompt, char* buffer, size_t limit) override {
        return editor_.readLine(prompt, buffer, limit);
    }

  private:
    UiLineEditor& editor_;
};

const char* boolText(bool value) {
    return value ? "true" : "false";
}

std::string exportFormatText(int code, const std::string& connectString) {
    switch (code) {
        case 1:
            return "TEXT FILE";
        case 2:
            return "CSV FILE";
        case 3:
            return "BINARY FILE";
        case 4:
            return "NEW DB(" + maskConnectString(connectString.c_str()) + ")";
        default:
            return "";
    }
}

}  // namespace

std::string maskConnectString(const char* text) {
    if (text == nullptr)
        return "";
    std::string masked(text, strnlen(text, kConnectStringLimit));
    // The credentials end at the last '@' (a password may hold '@'); the user part ends at
    // the first '/' or ':' in them, so that the common slip user:password@host hides the
    // password too.
    size_t at = masked.rfind('@');
    if (at == std::string::npos)
        at = masked.size();
    const size_t userEnd = masked.find_first_of("/:");
    if (userEnd == std::string::npos || userEnd >= at)
        return masked;
    for (size_t i = userEnd + 1; i < at; ++i)
        masked[i] = '*';
    return masked;
}

// The dictionary singleton is created before the log's, so it is destroyed after it at exit.
Console::Console() : log_(nullptr), dictionary_(&Dictionary::instance()) {
    log_ = &mainLog();
    cmdExport_ = std::make_unique<CmdExport>(dictionary_, &currentSchemaOid_);
    lineEditor_ = std::make_unique<UiLineEditor>(completionCallback, hintsCallback);
    listCommands_ = std::make_unique<ListCommands>(&currentSchemaOid_);
    ddlCommand_ = std::make_unique<CmdDdlExport>(dictionary_);
}

Console::~Console() = default;

int Console::run() {
    installSignalHandlers();
    EditorLines lines(*lineEditor_);
    return runSession(lines);
}

int Console::runSession(ILineSource& lines) {
    try {
        printBanner(std::cout);
        startup();
    } catch (const std::exception& e) {
        if (outputFailed())
            return 1;
        fmt::print("{}\n", e.what());
        log_->errorFormatted("Start-up failed: {}", e.what());
    }
    std::fflush(stdout);
    if (outputFailed())
        return 1;
    return runCommandLoop(lines);
}

void Console::startup() {
    log_->info("\n");
    log_->infoFormatted("Starting up {} for {} Version: {} on {}.", "VORN", "PostgreSQL",
                        releaseText(), "Linux");
    if (!readParameters())
        return;
    applyExportConfig();
    loadDictionary();
    showExportOptions();
}

bool Console::readParameters() {
    log_->info("Reading Parameter...");
    try {
        config_.load(*log_);
    } catch (const std::exception& e) {
        fmt::print("{}\n", e.what());
        log_->error(e.what());
        return false;
    }
    // Logged by the load already.
    if (!config_.fileProblem.empty())
        fmt::print("{}\n", config_.fileProblem);
    for (const std::string& problem : config_.settingProblems)
        fmt::print("{}\n", problem);
    if (!config_.blockSizeProblem.empty()) {
        // Every page would be cut at the wrong place: start-up stops here, as for a
        // configuration that does not load, and nothing is read with it.
        const char* stop =
            "The configuration is not used: correct conf/vorn.ini and start vorn again.";
        fmt::print("{}\n{}\n\n", config_.blockSizeProblem, stop);
        log_->error(stop);
        return false;
    }
    log_->info("Parameters:");
    log_->infoFormatted("    db_version:          [{}.{}]", config_.versionMajor,
                        config_.versionMinor);
    log_->infoFormatted("    db_default_charset:  [{}]", config_.dbEncoding);
    log_->infoFormatted("    pgdata_path:         [{}]", config_.pgdataDir);
    log_->infoFormatted("    export_format:       [{}]", config_.exportFormatName());
    log_->infoFormatted("    export_path:         [{}]", config_.exportDir);
    log_->infoFormatted("    text_delim_char:     [{}]", config_.fieldDelimChar);
    log_->infoFormatted("    db_block_size:       [{}]", config_.blockSize);
    log_->infoFormatted("    reverse_byte:        [{}]", boolText(config_.reverseByte));
    log_->infoFormatted("    block_checksum:      [{}]", boolText(config_.blockChecksum));
    log_->infoFormatted("    trace_block:         [{}]", boolText(config_.traceBlock));
    return true;
}

void Console::applyExportConfig() {
    cmdExport_->setExportKind(config_.exportFormat);
    cmdExport_->setExportPath(config_.exportDir);
    cmdExport_->setConnectString(config_.dbConn);
    cmdExport_->setTextDelimiter(config_.fieldDelimChar);
}

void Console::loadDictionary() {
    dictionary_->setServerVersion(static_cast<int16_t>(config_.versionMajor),
                                  static_cast<int16_t>(config_.versionMinor));
    Dictionary::setDataDirectory(config_.pgdataDir);
    Dictionary::setBlockSize(config_.blockSize);
    fmt::print("Loading dict from cache file...\n");
    bool loaded = false;
    {
        UiProgress bar;
        bar.beginPart(static_cast<uint32_t>(Dictionary::loadStepCount()), 1, 1, 1);
        loaded = dictionary_->loadFromCache(&bar);
        bar.finish();
    }
    fmt::print("{}\n\n",
               loaded ? "Finish loading dict." : "Please run 'bootstrap' to init dictionary.");
    enterCurrentDatabase();
}

void Console::showExportOptions() {
    const int code = config_.exportFormat;
    fmt::print("Export Options:\n");
    fmt::print("  DB Compatible    => [ {}.{} ]\n", config_.versionMajor, config_.versionMinor);
    fmt::print("  PGDATA Directory => [ {} ]\n", config_.pgdataDir);
    fmt::print("  Export Format    => [ {} ]\n", exportFormatText(code, config_.dbConn));
    if (code == 4)
        fmt::print("  Libpq Path       => [ {} ]\n", config_.libpqPath);
    else
        fmt::print("  Export Directory => [ {} ]\n", cmdExport_->exportPath());
    fmt::print("\n");

    if (code >= 1 && code <= 3) {
        const std::string& directory = cmdExport_->exportPath();
        if (::access(directory.c_str(), F_OK) != 0) {
            const int error = errno;
            uiSetRed();
            fmt::print("Export directory \"{}\" is invalid: {}.\n", directory,
                       std::strerror(error));
            uiResetColor();
        }
        if (code == 2) {
            fmt::print(
                "CSV export is not implemented: unload commands in this format write no data "
                "files (use TEXT, BINARY or DB).\n");
        }
        fmt::print("\n");
    } else if (code == 4) {
        if (initLibpq(config_.libpqPath.c_str()) != 0) {
            uiSetRed();
            fmt::print("Load libpq library error.\n");
            fmt::print("{}\n", libpqLoadError());
            uiResetColor();
            return;
        }
        testTargetConnection(config_.dbConn);
        fmt::print("\n");
    }
}

bool Console::outputFailed() {
    if (!std::ferror(stdout))
        return false;
    if (!outputFailureLogged_) {
        outputFailureLogged_ = true;
        log_->error("Standard output cannot be written any more; VORN exits with status 1.");
    }
    return true;
}

}  // namespace vorn
