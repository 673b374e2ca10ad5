#include "base/config.h"

#include <fmt/format.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <locale>
#include <system_error>

namespace vorn {

namespace {

namespace pt = boost::property_tree;

constexpr const char* kConfigFileName = "vorn.ini";
constexpr uint16_t kDefaultBlockSize = 8192;
constexpr char kDefaultDelimiter = '|';

std::string trimmed(std::string text) {
    boost::algorithm::trim(text, std::locale::classic());
    return text;
}

bool isBlockSize(uint16_t size) {
    return size == 2048 || size == 4096 || size == 8192 || size == 16384 || size == 32768;
}

// COPY's text format reads a backslash followed by a letter, a digit or '.' as an escape
// sequence, and CR and LF as the end of a row, so it rejects all of them as delimiters; a NUL
// cannot be written into the import script at all. Upper-case letters are fine: the import
// scripts use an empty NULL string, not "\N".
bool copyRefusesDelimiter(char c) {
    return c == '\\' || c == '.' || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '\r' ||
           c == '\n' || c == '\0';
}

// The value as it can stand in one log line: control and non-ASCII bytes escaped.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c >= 0x7f) {
            out += fmt::format("\\x{:02x}", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// One byte that COPY accepts as a delimiter. An absent or empty element means the default;
// anything else that COPY would refuse is reported, since no import script could load the
// data written with it.
char readDelimiter(const pt::ptree& settings, const std::string& path, FileLogger& log,
                   std::vector<std::string>& problems) {
    auto text = settings.get_optional<std::string>("export.export_text.field_delim_char");
    if (!text || text->empty())
        return kDefaultDelimiter;
    if (text->size() == 1 && !copyRefusesDelimiter((*text)[0]))
        return (*text)[0];
    log.errorFormatted(
        "Invalid export.export_text.field_delim_char '{}': COPY cannot use it as a delimiter "
        "(one byte, not a backslash, '.', a lower-case letter, a digit, CR or LF); '{}' is used",
        printable(*text), kDefaultDelimiter);
    problems.push_back(fmt::format(
        "Invalid export.export_text.field_delim_char '{}' in {}: COPY cannot use it as a "
        "delimiter (one byte, not a backslash, '.', a lower-case letter, a digit, CR or LF); "
        "'{}' is used.",
        printable(*text), path, kDefaultDelimiter));
    return kDefaultDelimiter;
}

// The folder of the file as the user would look for it: relative to the working directory.
std::string absoluteFolder(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? std::filesystem::path(path).parent_path().string()
              : absolute.parent_path().string();
}

// The page size of the data directory. An absent or blank element means the default; any
// other text must be one of the five sizes PostgreSQL can be built with, since every page
// would be cut at the wrong place. A refused value gives 0 and the reason in `problem`.
uint16_t readBlockSize(const pt::ptree& settings, const std::string& path, std::string& problem) {
    const auto text = settings.get_optional<std::string>("database.db_block_size");
    if (!text || trimmed(*text).empty())
        return kDefaultBlockSize;
    const std::string value = trimmed(*text);
    unsigned size = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), size);
    if (error == std::errc() && end == value.data() + value.size() && size <= UINT16_MAX &&
        isBlockSize(static_cast<uint16_t>(size)))
        return static_cast<uint16_t>(size);
    problem = fmt::format(
        "Invalid database.db_block_size '{}' in {}: the block size must be 2048, 4096, 8192, "
        "16384 or 32768.",
        printable(*text), path);
    return 0;
}

}  // namespace

void Config::load(FileLogger& log) {
    const std::string path = fmt::format("conf/{}", kConfigFileName);
    fileProblem.clear();
    blockSizeProblem.clear();
    settingProblems.clear();
    errno = 0;
    pt::ptree settings;
    try {
        pt::ptree document;
        pt::read_xml(path, document, 0);
        settings = document.get_child("vorn");
    } catch (const pt::ptree_error& e) {
        const int osError = errno;
        std::string message = e.what();
        if (osError != 0)
            message += fmt::format(", OS error: {}", std::strerror(osError));
        fileProblem = message;
    } catch (const std::exception& e) {
        // A read that fails after the open (a folder by that name, an I/O error): the stream's
        // message says why.
        fileProblem = e.what();
    }
    if (!fileProblem.empty()) {
        log.errorFormatted("Error when reading config file, msg: {}", fileProblem);
        fileProblem = fmt::format(
            "Config file {} in folder \"{}\" cannot be used: {}. Every setting takes its default.",
            path, absoluteFolder(path), fileProblem);
        // Go on with the empty tree: every setting below takes its default.
        settings.clear();
    }

    const std::string version = settings.get<std::string>("database.db_version", "14.0");
    int major = 0;
    int minor = 0;
    std::sscanf(version.c_str(), "%d.%d", &major, &minor);
    versionMajor = static_cast<uint16_t>(major);
    versionMinor = static_cast<uint16_t>(minor);

    pgdataDir = trimmed(settings.get<std::string>("database.pgdata_dir", ""));
    dbEncoding = settings.get<std::string>("database.db_encoding", "UTF8");

    blockSize = readBlockSize(settings, path, blockSizeProblem);
    if (!blockSizeProblem.empty())
        log.error(blockSizeProblem);

    std::string format = settings.get<std::string>("export.export_format", "TEXT");
    boost::algorithm::to_upper(format, std::locale::classic());
    format = trimmed(std::move(format));
    if (format == "TEXT") {
        exportFormat = 1;
    } else if (format == "CSV") {
        exportFormat = 2;
    } else if (format == "BINARY") {
        exportFormat = 3;
    } else if (format == "DB") {
        exportFormat = 4;
    } else if (!format.empty()) {
        // A word that names no format would otherwise give files of another format than
        // the user asked for, without a word.
        const std::string problem = fmt::format(
            "Invalid export.export_format '{}' in {}: the format must be TEXT, BINARY, DB or "
            "CSV; {} is used.",
            printable(settings.get<std::string>("export.export_format", "")), path,
            exportFormatName());
        log.error(problem);
        settingProblems.push_back(problem);
    }

    exportDir = trimmed(settings.get<std::string>("export.export_dir", "dump"));
    if (exportDir.empty())
        exportDir = "dump";
    libpqPath = trimmed(settings.get<std::string>("export.export_db.libpq_path", ""));
    dbConn = trimmed(settings.get<std::string>("export.export_db.db_conn", ""));

    fieldDelimChar = readDelimiter(settings, path, log, settingProblems);

    reverseByte = settings.get<bool>("db_file.reverse_byte", false);
    blockChecksum = settings.get<bool>("db_file.block_checksum", false);
    traceBlock = settings.get<bool>("db_file.trace_block", false);
}

std::string Config::exportFormatName() const {
    switch (exportFormat) {
        case 1:
            return "TEXT";
        case 2:
            return "CSV";
        case 3:
            return "BINARY";
        case 4:
            return "DB";
        default:
            return "";
    }
}

}  // namespace vorn
