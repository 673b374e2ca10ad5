#pragma once

#include <cstdint>
#include <string>

#include "base/file_logger.h"

namespace vorn {

// Every setting of the program, read once at start-up from "conf/vorn.ini" (XML, root element
// <vorn>, one element per dotted key). A setting that is missing or unreadable keeps the default
// given here.
struct Config {
    uint16_t versionMajor = 14;
    uint16_t versionMinor = 0;
    std::string pgdataDir;
    std::string dbEncoding = "UTF8";
    int32_t exportFormat = 1;  // 1 TEXT, 2 CSV, 3 BINARY, 4 DB
    std::string exportDir = "dump";
    std::string libpqPath;
    std::string dbConn;  // user/password@host:port/dbname
    char fieldDelimChar = '|';
    uint16_t blockSize = 8192;
    bool reverseByte = false;
    bool blockChecksum = false;
    bool traceBlock = false;

    // Reads "conf/vorn.ini" below the working directory. A file that cannot be read or parsed
    // is reported on `log` and leaves every field at its default; so does a refused delimiter
    // for its own field.
    void load(FileLogger& log = mainLog());

    // "TEXT", "CSV", "BINARY" or "DB"; empty for an unknown code.
    std::string exportFormatName() const;
};

}  // namespace vorn
