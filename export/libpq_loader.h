#pragma once

// The PostgreSQL client library, loaded at run time. vorn does not link libpq: the DB export
// format is one of four, and a machine that only unloads to files need not have it. The
// library is opened with dlopen on first use (or by initLibpq at start-up) and the functions
// below forward to it under libpq's own names and signatures, in the namespace vorn::pq so
// that they never stand in for libpq's C symbols.
//
// Which file is loaded:
//   1. with a directory set (export.export_db.libpq_path): "<dir>/libpq.so" if that file
//      exists, else "<dir>/libpq.so.5" if that exists. A file that exists there is the
//      library: when it does not load, loading fails (a broken library the user pointed at
//      is not quietly replaced by another one);
//   2. otherwise, and when the directory holds neither file: "libpq.so.5" through the
//      dynamic loader's search path (the name the runtime package installs; the bare
//      "libpq.so" comes only with the development package).
// Every function declared below must be found, or the library counts as not loaded.
//
// Loading runs under one mutex; once it succeeded the function table is fixed for the rest of
// the process and read without a lock from any thread. A failed load is tried again by the
// next initLibpq or forwarding call, so a directory set after a failure takes effect. While
// libpq is not loaded, each forwarding function returns its failure value (null, -1,
// CONNECTION_BAD, 0) without calling anything.

#include <string>

namespace vorn {

namespace pq {

// libpq's handle types, opaque here as they are to every libpq client.
struct PGconn;
struct PGresult;
using Oid = unsigned int;

// The values of libpq's enums that vorn uses, as the libpq API documents them.
enum ConnStatusType : int { CONNECTION_OK = 0, CONNECTION_BAD = 1 };
enum ExecStatusType : int {
    PGRES_EMPTY_QUERY = 0,
    PGRES_COMMAND_OK = 1,
    PGRES_TUPLES_OK = 2,
    PGRES_COPY_OUT = 3,
    PGRES_COPY_IN = 4,
    PGRES_BAD_RESPONSE = 5,
    PGRES_NONFATAL_ERROR = 6,
    PGRES_FATAL_ERROR = 7,
};

PGconn* PQconnectdb(const char* conninfo);
PGconn* PQconnectdbParams(const char* const* keywords, const char* const* values, int expandDbname);
PGconn* PQsetdbLogin(const char* host, const char* port, const char* options, const char* tty,
                     const char* dbName, const char* login, const char* password);
ConnStatusType PQstatus(const PGconn* conn);
void PQfinish(PGconn* conn);
int PQsetClientEncoding(PGconn* conn, const char* encoding);
PGresult* PQgetResult(PGconn* conn);
PGresult* PQexec(PGconn* conn, const char* command);
PGresult* PQexecParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                       const char* const* paramValues, const int* paramLengths,
                       const int* paramFormats, int resultFormat);
PGresult* PQprepare(PGconn* conn, const char* stmtName, const char* query, int nParams,
                    const Oid* paramTypes);
PGresult* PQexecPrepared(PGconn* conn, const char* stmtName, int nParams,
                         const char* const* paramValues, const int* paramLengths,
                         const int* paramFormats, int resultFormat);
PGresult* PQdescribePrepared(PGconn* conn, const char* stmtName);
int PQnfields(const PGresult* res);
char* PQfname(const PGresult* res, int column);
Oid PQftype(const PGresult* res, int column);
int PQfsize(const PGresult* res, int column);
int PQfmod(const PGresult* res, int column);
char* PQerrorMessage(const PGconn* conn);
char* PQcmdTuples(PGresult* res);
void PQclear(PGresult* res);
ExecStatusType PQresultStatus(const PGresult* res);
char* PQresStatus(ExecStatusType status);
char* PQresultErrorMessage(const PGresult* res);
int PQputCopyData(PGconn* conn, const char* buffer, int nbytes);
int PQputCopyEnd(PGconn* conn, const char* errormsg);
int PQgetCopyData(PGconn* conn, char** buffer, int async);
// Releases what libpq allocated for the caller (the rows of PQgetCopyData).
void PQfreemem(void* ptr);

}  // namespace pq

// Every function declared above is looked up by name; libpqFunctionName(i) gives their
// names in lookup order, the order of the declarations.
inline constexpr int kLibpqFunctionCount = 27;
const char* libpqFunctionName(int i);

// One attempt at a library: the choice of file and the symbol lookup above, kept apart from
// the process-wide table so that a test can load into one of its own.
class LibpqLoader {
  public:
    LibpqLoader() = default;
    ~LibpqLoader();
    LibpqLoader(const LibpqLoader&) = delete;
    LibpqLoader& operator=(const LibpqLoader&) = delete;

    // Loads from `directory` (empty: the search path). Does nothing and returns true once a
    // load succeeded; after a failure, error() says why.
    bool load(const std::string& directory);
    bool loaded() const { return handle_ != nullptr; }
    // Empty while nothing failed: "VORN-90002 Cannot dlopen(<path>) : <reason>", or
    // "VORN-90003 Can not find symbol '<name>'" (several names: "symbols 'a', 'b'").
    const std::string& error() const { return error_; }
    // The file that was opened.
    const std::string& path() const { return path_; }
    // The address of libpqFunctionName(i); null while not loaded.
    void* function(int i) const { return loaded() ? functions_[i] : nullptr; }

    // The file load() would open for `directory`.
    static std::string chooseFile(const std::string& directory);

  private:
    void* handle_ = nullptr;
    void* functions_[kLibpqFunctionCount] = {};
    std::string error_;
    std::string path_;
};

// Sets the directory of later loads (when `directory` is neither null nor empty) and loads
// the process-wide library unless it is loaded already: 0 when it is loaded, -1 when loading
// failed (libpqLoadError says why).
int initLibpq(const char* directory);
// The reason of the last failed load of the process-wide library; empty when none failed.
std::string libpqLoadError();
bool libpqLoaded();

}  // namespace vorn
