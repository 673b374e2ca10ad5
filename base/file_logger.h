#pragma once

#include <fmt/format.h>

#include <memory>
#include <string>

namespace spdlog {
class logger;
}

namespace vorn {

// Holder of one synchronous file logger ("log/<file>", lines "[%Y-%m-%d %H:%M:%S] [%l] %v",
// flushed after every message; control bytes of a message other than its line feeds are
// written as "\xHH", base/terminal_text.h). When the file cannot be opened the holder stays silent:
// every call does nothing and the program runs on.
class FileLogger {
  public:
    explicit FileLogger(const char* fileName);
    ~FileLogger();
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    // (Re)builds the logger on "<dir>/<file name>"; a null dir counts as "".
    void open(const char* dir);
    bool isOpen() const { return logger_ != nullptr; }

    void info(const std::string& message);
    void warn(const std::string& message);
    void error(const std::string& message);

    template <typename... Args>
    void infoFormatted(fmt::format_string<Args...> format, Args&&... args) {
        info(fmt::vformat(format, fmt::make_format_args(args...)));
    }
    template <typename... Args>
    void warnFormatted(fmt::format_string<Args...> format, Args&&... args) {
        warn(fmt::vformat(format, fmt::make_format_args(args...)));
    }
    template <typename... Args>
    void errorFormatted(fmt::format_string<Args...> format, Args&&... args) {
        error(fmt::vformat(format, fmt::make_format_args(args...)));
    }

  private:
    const char* fileName_;
    std::unique_ptr<spdlog::logger> logger_;
};

// "log/vorn.log": start-up, parameters, dictionary, signals and crashes.
FileLogger& mainLog();
// "log/unload_table.log": table unloads and their results.
FileLogger& unloadLog();

}  // namespace vorn
