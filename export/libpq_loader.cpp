#include "export/libpq_loader.h"

#include <dlfcn.h>
#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace vorn {

namespace {

// One list gives the lookup order, the names and the slots of the function table.
#define VORN_LIBPQ_FUNCTIONS(X) \
    X(PQconnectdb)              \
    X(PQconnectdbParams)        \
    X(PQsetdbLogin)             \
    X(PQstatus)                 \
    X(PQfinish)                 \
    X(PQsetClientEncoding)      \
    X(PQgetResult)              \
    X(PQexec)                   \
    X(PQexecParams)             \
    X(PQprepare)                \
    X(PQexecPrepared)           \
    X(PQdescribePrepared)       \
    X(PQnfields)                \
    X(PQfname)                  \
    X(PQftype)                  \
    X(PQfsize)                  \
    X(PQfmod)                   \
    X(PQerrorMessage)           \
    X(PQcmdTuples)              \
    X(PQclear)                  \
    X(PQresultStatus)           \
    X(PQresStatus)              \
    X(PQresultErrorMessage)     \
    X(PQputCopyData)            \
    X(PQputCopyEnd)             \
    X(PQgetCopyData)            \
    X(PQfreemem)

enum Slot : int {
#define VORN_SLOT(name) k##name,
    VORN_LIBPQ_FUNCTIONS(VORN_SLOT)
#undef VORN_SLOT
        kSlotCount
};
static_assert(kSlotCount == kLibpqFunctionCount);

constexpr const char* kNames[] = {
#define VORN_NAME(name) #name,
    VORN_LIBPQ_FUNCTIONS(VORN_NAME)
#undef VORN_NAME
};

constexpr const char* kDefaultLibrary = "libpq.so.5";

bool fileExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// The library of the process. Never destroyed: a connection closed by a static destructor at
// exit still finds its functions.
struct ProcessLibrary {
    std::mutex mutex;
    std::string directory;  // guarded by mutex
    LibpqLoader loader;     // loads under mutex; read without it once `loaded` is set
    std::atomic<bool> loaded{false};
};

ProcessLibrary& processLibrary() {
    static ProcessLibrary* library = new ProcessLibrary;
    return *library;
}

// The caller holds the mutex.
bool loadLocked(ProcessLibrary& library) {
    if (library.loaded.load(std::memory_order_relaxed))
        return true;
    if (!library.loader.load(library.directory))
        return false;
    library.loaded.store(true, std::memory_order_release);
    return true;
}

// The function in `slot` as type Fn, loading the library first if need be; null when it
// cannot be loaded.
template <typename Fn>
Fn resolve(Slot slot) {
    ProcessLibrary& library = processLibrary();
    if (!library.loaded.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(library.mutex);
        if (!loadLocked(library))
            return nullptr;
    }
    return reinterpret_cast<Fn>(library.loader.function(slot));
}

}  // namespace

const char* libpqFunctionName(int i) {
    return i >= 0 && i < kLibpqFunctionCount ? kNames[i] : "";
}

LibpqLoader::~LibpqLoader() {
    if (handle_ != nullptr)
        ::dlclose(handle_);
}

std::string LibpqLoader::chooseFile(const std::string& directory) {
    std::string dir = directory;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (!dir.empty()) {
        for (const char* name : {"libpq.so", "libpq.so.5"}) {
            const std::string path = dir + "/" + name;
            if (fileExists(path))
                return path;
        }
    }
    return kDefaultLibrary;
}

bool LibpqLoader::load(const std::string& directory) {
    if (loaded())
        return true;
    const std::string path = chooseFile(directory);
    ::dlerror();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        error_ = fmt::format("VORN-90002 Cannot dlopen({}) : {}", path,
                             reason != nullptr ? reason : "unknown error");
        if (!directory.empty() && path == kDefaultLibrary)
            error_ += fmt::format(" (no libpq.so or libpq.so.5 in {})", directory);
        return false;
    }
    void* found[kLibpqFunctionCount] = {};
    std::vector<const char*> missing;
    for (int i = 0; i < kLibpqFunctionCount; ++i) {
        found[i] = ::dlsym(handle, kNames[i]);
        if (found[i] == nullptr)
            missing.push_back(kNames[i]);
    }
    if (!missing.empty()) {
        ::dlclose(handle);
        std::string names;
        for (const char* name : missing)
            names += fmt::format("{}'{}'", names.empty() ? "" : ", ", name);
        error_ = fmt::format("VORN-90003 Can not find symbol{} {} in {}",
                             missing.size() == 1 ? "" : "s", names, path);
        return false;
    }
    for (int i = 0; i < kLibpqFunctionCount; ++i)
        functions_[i] = found[i];
    handle_ = handle;
    path_ = path;
    error_.clear();
    return true;
}

int initLibpq(const char* directory) {
    ProcessLibrary& library = processLibrary();
    std::lock_guard<std::mutex> lock(library.mutex);
    if (directory != nullptr && directory[0] != '\0')
        library.directory = directory;
    return loadLocked(library) ? 0 : -1;
}

std::string libpqLoadError() {
    ProcessLibrary& library = processLibrary();
    std::lock_guard<std::mutex> lock(library.mutex);
    return library.loader.error();
}

bool libpqLoaded() {
    return processLibrary().loaded.load(std::memory_order_acquire);
}

// Each forwarder calls the function of its own name through a pointer of its own type, which
// is libpq's signature; without the library it returns `failure`.
#define VORN_FORWARD(name, failure, ...)                 \
    if (auto fn = resolve<decltype(&pq::name)>(k##name)) \
        return fn(__VA_ARGS__);                          \
    return failure

namespace pq {

PGconn* PQconnectdb(const char* conninfo) {
    VORN_FORWARD(PQconnectdb, nullptr, conninfo);
}
PGconn* PQconnectdbParams(const char* const* keywords, const char* const* values,
                          int expandDbname) {
    VORN_FORWARD(PQconnectdbParams, nullptr, keywords, values, expandDbname);
}
PGconn* PQsetdbLogin(const char* host, const char* port, const char* options, const char* tty,
                     const char* dbName, const char* login, const char* password) {
    VORN_FORWARD(PQsetdbLogin, nullptr, host, port, options, tty, dbName, login, password);
}
ConnStatusType PQstatus(const PGconn* conn) {
    VORN_FORWARD(PQstatus, CONNECTION_BAD, conn);
}
void PQfinish(PGconn* conn) {
    if (auto fn = resolve<decltype(&pq::PQfinish)>(kPQfinish))
        fn(conn);
}
int PQsetClientEncoding(PGconn* conn, const char* encoding) {
    VORN_FORWARD(PQsetClientEncoding, -1, conn, encoding);
}
PGresult* PQgetResult(PGconn* conn) {
    VORN_FORWARD(PQgetResult, nullptr, conn);
}
PGresult* PQexec(PGconn* conn, const char* command) {
    VORN_FORWARD(PQexec, nullptr, conn, command);
}
PGresult* PQexecParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                       const char* const* paramValues, const int* paramLengths,
                       const int* paramFormats, int resultFormat) {
    VORN_FORWARD(PQexecParams, nullptr, conn, command, nParams, paramTypes, paramValues,
                 paramLengths, paramFormats, resultFormat);
}
PGresult* PQprepare(PGconn* conn, const char* stmtName, const char* query, int nParams,
                    const Oid* paramTypes) {
    VORN_FORWARD(PQprepare, nullptr, conn, stmtName, query, nParams, paramTypes);
}
PGresult* PQexecPrepared(PGconn* conn, const char* stmtName, int nParams,
                         const char* const* paramValues, const int* paramLengths,
                         const int* paramFormats, int resultFormat) {
    VORN_FORWARD(PQexecPrepared, nullptr, conn, stmtName, nParams, paramValues, paramLengths,
                 paramFormats, resultFormat);
}
PGresult* PQdescribePrepared(PGconn* conn, const char* stmtName) {
    VORN_FORWARD(PQdescribePrepared, nullptr, conn, stmtName);
}
int PQnfields(const PGresult* res) {
    VORN_FORWARD(PQnfields, -1, res);
}
char* PQfname(const PGresult* res, int column) {
    VORN_FORWARD(PQfname, nullptr, res, column);
}
Oid PQftype(const PGresult* res, int column) {
    VORN_FORWARD(PQftype, 0, res, column);
}
int PQfsize(const PGresult* res, int column) {
    VORN_FORWARD(PQfsize, 0, res, column);
}
int PQfmod(const PGresult* res, int column) {
    VORN_FORWARD(PQfmod, 0, res, column);
}
char* PQerrorMessage(const PGconn* conn) {
    VORN_FORWARD(PQerrorMessage, nullptr, conn);
}
char* PQcmdTuples(PGresult* res) {
    VORN_FORWARD(PQcmdTuples, nullptr, res);
}
void PQclear(PGresult* res) {
    if (auto fn = resolve<decltype(&pq::PQclear)>(kPQclear))
        fn(res);
}
ExecStatusType PQresultStatus(const PGresult* res) {
    VORN_FORWARD(PQresultStatus, PGRES_EMPTY_QUERY, res);
}
char* PQresStatus(ExecStatusType status) {
    VORN_FORWARD(PQresStatus, nullptr, status);
}
char* PQresultErrorMessage(const PGresult* res) {
    VORN_FORWARD(PQresultErrorMessage, nullptr, res);
}
int PQputCopyData(PGconn* conn, const char* buffer, int nbytes) {
    VORN_FORWARD(PQputCopyData, -1, conn, buffer, nbytes);
}
int PQputCopyEnd(PGconn* conn, const char* errormsg) {
    VORN_FORWARD(PQputCopyEnd, -1, conn, errormsg);
}
int PQgetCopyData(PGconn* conn, char** buffer, int async) {
    VORN_FORWARD(PQgetCopyData, -1, conn, buffer, async);
}
void PQfreemem(void* ptr) {
    if (auto fn = resolve<decltype(&pq::PQfreemem)>(kPQfreemem))
        fn(ptr);
}

}  // namespace pq

#undef VORN_FORWARD

}  // namespace vorn
