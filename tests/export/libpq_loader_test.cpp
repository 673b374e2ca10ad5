// The run-time loading of libpq: which file is chosen, what a broken or foreign library
// gives, that a failed load can be followed by a good one, and the failure values of the
// forwarding functions while nothing is loaded.

#include "export/libpq_loader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "export/target_connection.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

// The absolute path of the system's libpq, as the dynamic loader resolves "libpq.so.5".
std::string systemLibpq() {
    LibpqLoader loader;
    if (!loader.load(""))
        return "";
    Dl_info info;
    if (::dladdr(loader.function(0), &info) == 0 || info.dli_fname == nullptr)
        return "";
    return info.dli_fname;
}

// A shared library that is not libpq.
std::string foreignLibrary() {
    for (const char* path :
         {"/lib/x86_64-linux-gnu/libz.so.1", "/usr/lib/x86_64-linux-gnu/libz.so.1"})
        if (::access(path, R_OK) == 0)
            return path;
    return "";
}

void link(const std::string& target, const std::string& path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

TEST(LibpqLoader, ChoosesTheDirectorysLibraryThenTheSearchPath) {
    TempDir both, versioned, neither;
    both.writeFile("libpq.so", "");
    both.writeFile("libpq.so.5", "");
    versioned.writeFile("libpq.so.5", "");
    EXPECT_EQ(LibpqLoader::chooseFile(both.path()), both.path() + "/libpq.so");
    EXPECT_EQ(LibpqLoader::chooseFile(both.path() + "//"), both.path() + "/libpq.so");
    EXPECT_EQ(LibpqLoader::chooseFile(versioned.path()), versioned.path() + "/libpq.so.5");
    EXPECT_EQ(LibpqLoader::chooseFile(neither.path()), "libpq.so.5");
    EXPECT_EQ(LibpqLoader::chooseFile("/nonexistent/vorn/lib"), "libpq.so.5");
    EXPECT_EQ(LibpqLoader::chooseFile(""), "libpq.so.5");
}

TEST(LibpqLoader, BrokenOrForeignLibraryFailsAndALaterLoadSucceeds) {
    const std::string real = systemLibpq();
    ASSERT_FALSE(real.empty()) << "no libpq.so.5 on the search path";

    LibpqLoader loader;
    TempDir junk;
    junk.writeFile("libpq.so", "not a shared object\n");
    EXPECT_FALSE(loader.load(junk.path()));
    EXPECT_FALSE(loader.loaded());
    EXPECT_EQ(loader.function(0), nullptr);
    EXPECT_EQ(loader.error().rfind("VORN-90002 Cannot dlopen(" + junk.path() + "/libpq.so) : ", 0),
              0u)
        << loader.error();

    const std::string foreign = foreignLibrary();
    if (!foreign.empty()) {
        TempDir other;
        link(foreign, other.path() + "/libpq.so");
        EXPECT_FALSE(loader.load(other.path()));
        EXPECT_EQ(loader.error().rfind("VORN-90003 Can not find symbols 'PQconnectdb', ", 0), 0u)
            << loader.error();
        EXPECT_NE(loader.error().find("'PQgetCopyData', 'PQfreemem' in " + other.path()),
                  std::string::npos)
            << loader.error();
    }

    TempDir good;
    link(real, good.path() + "/libpq.so.5");
    ASSERT_TRUE(loader.load(good.path())) << loader.error();
    EXPECT_TRUE(loader.error().empty());
    EXPECT_EQ(loader.path(), good.path() + "/libpq.so.5");
    for (int i = 0; i < kLibpqFunctionCount; ++i)
        EXPECT_NE(loader.function(i), nullptr) << libpqFunctionName(i);
    // Loaded once, a library stays: another directory changes nothing.
    EXPECT_TRUE(loader.load(junk.path()));
    EXPECT_EQ(loader.path(), good.path() + "/libpq.so.5");
}

// The process-wide library, as the DB format uses it. Only a process that has not loaded
// libpq yet can show the unloaded state (ctest runs each test in a process of its own).
TEST(LibpqLoader, ForwardersFailCleanlyUntilALoadSucceeds) {
    if (libpqLoaded())
        GTEST_SKIP() << "libpq is loaded in this process already";
    TempDir junk;
    junk.writeFile("libpq.so", "not a shared object\n");
    EXPECT_EQ(initLibpq(junk.path().c_str()), -1);
    EXPECT_FALSE(libpqLoaded());
    const std::string error = libpqLoadError();
    EXPECT_NE(error.find("VORN-90002 Cannot dlopen(" + junk.path() + "/libpq.so)"),
              std::string::npos)
        << error;

    EXPECT_EQ(pq::PQstatus(nullptr), pq::CONNECTION_BAD);
    EXPECT_EQ(pq::PQexec(nullptr, "select 1"), nullptr);
    EXPECT_EQ(pq::PQresultStatus(nullptr), pq::PGRES_EMPTY_QUERY);
    EXPECT_EQ(pq::PQputCopyData(nullptr, "x", 1), -1);
    EXPECT_EQ(pq::PQputCopyEnd(nullptr, nullptr), -1);
    EXPECT_EQ(pq::PQerrorMessage(nullptr), nullptr);
    pq::PQfinish(nullptr);
    pq::PQclear(nullptr);

    PgConnect connection;
    try {
        connection.connectWith("u/p@h:5432/db");
        ADD_FAILURE() << "connected";
    } catch (const DBExcept& e) {
        EXPECT_EQ(std::string(e.what()), "connect error: libpq is not loaded: " + error);
    }

    const std::string real = systemLibpq();
    ASSERT_FALSE(real.empty());
    TempDir good;
    link(real, good.path() + "/libpq.so");
    EXPECT_EQ(initLibpq(good.path().c_str()), 0) << libpqLoadError();
    EXPECT_TRUE(libpqLoaded());
    EXPECT_EQ(libpqLoadError(), "");
    EXPECT_EQ(pq::PQstatus(nullptr), pq::CONNECTION_BAD);  // libpq's own answer now
    EXPECT_EQ(initLibpq(junk.path().c_str()), 0);
}

}  // namespace
}  // namespace vorn::test
