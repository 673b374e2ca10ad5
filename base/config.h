#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    uint16_t blockSize = 8192;  // 0 when the configured value was refused
    bool reverseByte = false;
    bool blockChecksum = false;
    bool traceBlock = false;

    // Reads "conf/vorn.ini" below the working directory. A file that cannot be read or parsed
    // is reported on `log` and in fileProblem, and leaves every field at its default; a
    // refused delimiter is reported on `log` and leaves its own field at the default. A
    // db_block_size that is not one of the five page sizes is reported on `log` and in
    // blockSizeProblem and gives blockSize 0: no page can be read with such a configuration.
    void load(FileLogger& log = mainLog());

    // What load found wrong, one line each for the console; "" when nothing.
    // "Config file conf/vorn.ini in folder \"<folder>\" cannot be used: <parser message>[, OS
    // error: <reason>]. Every setting takes its default."
    std::string fileProblem;
    // "Invalid database.db_block_size '<text>' in conf/vorn.ini: the block size must be 2048,
    // 4096, 8192, 16384 or 32768."
    std::string blockSizeProblem;
    // Settings that were refused and replaced by their defaults, one line each:
    // "Invalid export.export_format '<text>' in conf/vorn.ini: the format must be TEXT,
    // BINARY, DB or CSV; TEXT is used." and the like for field_delim_char.
    std::vector<std::string> settingProblems;

    // "TEXT", "CSV", "BINARY" or "DB"; empty for an unknown code.
    std::string exportFormatName() const;
};

}  // namespace vorn
