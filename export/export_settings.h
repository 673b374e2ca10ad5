#pragma once

#include <string>

namespace vorn {

// Process-wide settings of the export writers: set at start-up from the configuration (or by
// a test) before any unload runs, then only read, also by the worker threads of a parallel
// schema unload. Each writer takes the values it needs when it is built.

// The directory the data files and DDL scripts are written to ("dump").
extern std::string exportDirectory;
// The one-byte field delimiter of the COPY text files ('|').
extern char textDelimiter;
// The libpq connect string of the target database of export format DB.
extern std::string targetConnectString;

}  // namespace vorn
