#include "base/config.h"

#include <fmt/format.h>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <locale>

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
char readDelimiter(const pt::ptree& settings, FileLogger& log) {
    auto text = settings.get_optional<std::string>("export.export_text.field_delim_char");
    if (!text || text->empty())
        return kDefaultDelimiter;
    if (text->size() == 1 && !copyRefusesDelimiter((*text)[0]))
        return (*text)[0];
    log.errorFormatted(
        "Invalid export.export_text.field_delim_char '{}': COPY cannot use it as a delimiter "
        "(one byte, not a backslash, '.', a lower-case letter, a digit, CR or LF); '{}' is used",
        printable(*text), kDefaultDelimiter);
    return kDefaultDelimiter;
}

}  // namespace

void Config::load(FileLogger& log) {
    const std::string path = fmt::format("conf/{}", kConfigFileName);
    errno = 0;
    pt::ptree settings;
    try {
        pt::ptree document;
        pt::read_xml(path, document, 0);
        settings = document.get_child("vorn");
    } catch (const pt::ptree_error& e) {
        const int osError = errno;
        if (osError != 0) {
            log.errorFormatted("Error when reading config file, msg: {}, OS error: {}", e.what(),
                               std::strerror(osError));
        } else {
            log.errorFormatted("Error when reading config file, msg: {}", e.what());
        }
        // Go on with the empty tree: every setting below takes its default.
    }

    const std::string version = settings.get<std::string>("database.db_version", "14.0");
    int major = 0;
    int minor = 0;
    std::sscanf(version.c_str(), "%d.%d", &major, &minor);
    versionMajor = static_cast<uint16_t>(major);
    versionMinor = static_cast<uint16_t>(minor);

    pgdataDir = trimmed(settings.get<std::string>("database.pgdata_dir", ""));
    dbEncoding = settings.get<std::string>("database.db_encoding", "UTF8");

    blockSize = settings.get<uint16_t>("database.db_block_size", kDefaultBlockSize);
    if (!isBlockSize(blockSize))
        blockSize = kDefaultBlockSize;

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
    }

    exportDir = trimmed(settings.get<std::string>("export.export_dir", "dump"));
    if (exportDir.empty())
        exportDir = "dump";
    libpqPath = trimmed(settings.get<std::string>("export.export_db.libpq_path", ""));
    dbConn = trimmed(settings.get<std::string>("export.export_db.db_conn", ""));

    fieldDelimChar = readDelimiter(settings, log);

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
