#pragma once

#include <cstdint>
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

// The PostgreSQL name of the encoding of database `databaseOid` as the dictionary knows it
// ("LATIN1", "UTF8", ...); "UTF8" when the dictionary does not know the database or its
// encoding id. The files of a table are in its database's encoding.
std::string databaseClientEncoding(uint32_t databaseOid);
// The same name, or "" when the dictionary does not know it.
std::string databaseEncodingName(uint32_t databaseOid);
// "SET client_encoding TO '<name>';\n", the first line of every DDL script: the names in it
// are in the database's encoding. "" when the encoding is not known (nothing is guessed).
std::string clientEncodingStatement(uint32_t databaseOid);

}  // namespace vorn
