#include "base/file_logger.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <exception>

#include "base/terminal_text.h"

namespace vorn {

namespace {

constexpr const char* kLogDirectory = "log";
constexpr const char* kLogPattern = "[%Y-%m-%d %H:%M:%S] [%l] %v";

}  // namespace

FileLogger::FileLogger(const char* fileName) : fileName_(fileName) {
    open(kLogDirectory);
}

FileLogger::~FileLogger() = default;

void FileLogger::open(const char* dir) {
    try {
        const std::string path = fmt::format("{}/{}", dir != nullptr ? dir : "", fileName_);
        // Appends; creates missing directories. Throws when the file cannot be opened, and
        // then the holder keeps what it had (nothing, on the first opening).
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
        // Not registered with spdlog: both holders use the name "vorn".
        auto logger = std::make_unique<spdlog::logger>("vorn", std::move(sink));
        logger->set_pattern(kLogPattern, spdlog::pattern_time_type::local);
        logger->set_level(spdlog::level::debug);
        logger->flush_on(spdlog::level::debug);
        logger_ = std::move(logger);
    } catch (const std::exception&) {
        // A program that cannot log still recovers data; stay silent.
    }
}

// The message is passed as plain text, never as a format string. Its control bytes but the
// line feeds are escaped (base/terminal_text.h): messages name tables and columns, and a log
// read with tail or less in a terminal must not act on an escape sequence in one.
void FileLogger::info(const std::string& message) {
    if (logger_)
        logger_->info(terminalLines(message));
}

void FileLogger::warn(const std::string& message) {
    if (logger_)
        logger_->warn(terminalLines(message));
}

void FileLogger::error(const std::string& message) {
    if (logger_)
        logger_->error(terminalLines(message));
}

FileLogger& mainLog() {
    static FileLogger log("vorn.log");
    return log;
}

FileLogger& unloadLog() {
    static FileLogger log("unload_table.log");
    return log;
}

}  // namespace vorn
