// The data-directory check of bootstrap: a folder that is not there (or is no data directory)
// is told apart from one that cannot be read, which names the path and the system's reason.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "catalog/dict_except.h"
#include "catalog/dict_loader.h"
#include "catalog/dictionary.h"
#include "storage/storage_settings.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

class DataDirectoryCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        Dictionary::instance().setServerVersion(15, 0);
        dataDirectory = dir_.path() + "/pgdata";
        dictDirectory = dir_.path() + "/dict";
        fs::create_directories(dictDirectory);
    }
    void TearDown() override {
        dataDirectory = savedData_;
        dictDirectory = savedDict_;
        Dictionary::instance().setServerVersion(savedVersion_.major, savedVersion_.minor);
    }
    // The message of the bootstrap's failure.
    std::string failure() {
        try {
            Dictionary::instance().generate(nullptr);
        } catch (const DictExcept& e) {
            return e.what();
        }
        return "(no failure)";
    }

    TempDir dir_;
    std::string savedData_ = dataDirectory;
    std::string savedDict_ = dictDirectory;
    ServerVersion savedVersion_ = serverVersion;
};

// Permission denied cannot be made for root, which the tests run as: the errors are handed in.
TEST_F(DataDirectoryCheck, MissingPathsAreNoDataDirectoryOtherErrorsAreSaid) {
    const std::string missing = "\"/d\" is not a PostgreSQL data directory: it has no global/";
    const std::string unreadable = "data directory \"" + dataDirectory + "\" cannot be read: ";
    struct Case {
        int error;
        std::string expected;
    } cases[] = {
        {0, missing},
        {ENOENT, missing},
        {ENOTDIR, missing},
        {EACCES, unreadable + "\"/d/global\": Permission denied"},
        {EIO, unreadable + "\"/d/global\": Input/output error"},
        {ELOOP, unreadable + "\"/d/global\": Too many levels of symbolic links"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dataDirectoryAccessError("/d/global", c.error, missing), c.expected) << c.error;
}

// A symbolic link that loops fails to open with ELOOP even for root: the same path as a
// permission denied, through the real check.
TEST_F(DataDirectoryCheck, APathThatCannotBeLookedAtIsNamedWithTheReason) {
    fs::create_directories(dataDirectory);
    const std::string loop = ": Too many levels of symbolic links";
    const std::string prefix = "data directory \"" + dataDirectory + "\" cannot be read: \"";

    fs::create_symlink(dataDirectory + "/global", dataDirectory + "/global");
    EXPECT_EQ(failure(), prefix + dataDirectory + "/global\"" + loop);

    fs::remove(dataDirectory + "/global");
    fs::create_directories(dataDirectory + "/global");
    fs::create_symlink(dataDirectory + "/PG_VERSION", dataDirectory + "/PG_VERSION");
    EXPECT_EQ(failure(), prefix + dataDirectory + "/PG_VERSION\"" + loop);

    // A missing PG_VERSION is still a wrong folder.
    fs::remove(dataDirectory + "/PG_VERSION");
    EXPECT_EQ(failure(),
              "\"" + dataDirectory +
                  "\" is not a PostgreSQL data directory: it has no readable PG_VERSION");

    const std::string loopedData = dir_.path() + "/looped";
    fs::create_symlink(loopedData, loopedData);
    dataDirectory = loopedData;
    EXPECT_EQ(failure(), "data directory \"" + loopedData + "\" cannot be read: \"" + loopedData +
                             "\"" + loop);
}

}  // namespace
}  // namespace vorn::test
