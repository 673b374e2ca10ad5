// Bootstrap failures: each one is reported with what failed, and the dictionary of the last
// good bootstrap stays as it was.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/file_logger.h"
#include "catalog/dict_cache.h"
#include "catalog/dict_except.h"
#include "catalog/dictionary.h"
#include "storage/file_node_map.h"
#include "tests/storage/support/copy_text.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

// A copy of a data directory made of symbolic links to its files, so that a test can take
// one file away or replace it without touching the fixture.
void linkFarm(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    for (const fs::directory_entry& e : fs::directory_iterator(from)) {
        const fs::path target = to / e.path().filename();
        if (e.is_directory())
            linkFarm(e.path(), target);
        else
            fs::create_symlink(fs::canonical(e.path()), target);
    }
}

class DictGenerate : public ::testing::Test {
  protected:
    void SetUp() override {
        VORN_FIXTURE_OR_SKIP(manifest, "deb15");
        manifest_ = manifest;
        settings_.use(manifest_);
        Dictionary::instance().setServerVersion(static_cast<int16_t>(manifest_.server.major),
                                                static_cast<int16_t>(manifest_.server.minor));
        dictDirectory = dir_.path() + "/dict";
        fs::create_directories(dictDirectory);
        mainLog().open(dir_.path().c_str());
        farm_ = dir_.path() + "/data";
        linkFarm(manifest_.dataDir, farm_);
        dataDirectory = farm_;
        Dictionary::instance().generate(nullptr);
        for (DictFile f : files_)
            good_.push_back(readFileBytes(dictFilePath(f)));
        ASSERT_FALSE(good_[0].empty());
    }
    void TearDown() override { dictDirectory = saved_; }

    // Generation fails with a message holding each of `parts`, and leaves the good files.
    void expectFailure(std::initializer_list<std::string> parts) {
        try {
            Dictionary::instance().generate(nullptr);
            ADD_FAILURE() << "the bootstrap succeeded";
        } catch (const DictExcept& e) {
            for (const std::string& part : parts)
                EXPECT_NE(std::string(e.what()).find(part), std::string::npos)
                    << "\"" << part << "\" not in: " << e.what();
        }
        for (size_t i = 0; i < std::size(files_); ++i) {
            EXPECT_EQ(readFileBytes(dictFilePath(files_[i])), good_[i]) << dictFilePath(files_[i]);
            EXPECT_FALSE(fs::exists(dictFilePath(files_[i]) + ".tmp"));
        }
    }
    const FixtureDatabase& database(const std::string& name) {
        const FixtureDatabase* db = manifest_.findDatabase(name);
        if (db == nullptr)
            throw std::runtime_error("no database " + name);
        return *db;
    }
    // The file of a mapped catalogue of `db` (0: the shared map) in the farm.
    std::string catalogueFile(const FixtureDatabase* db, uint32_t catalogueOid) {
        const std::string dir =
            db == nullptr ? farm_ + "/global" : farm_ + "/base/" + std::to_string(db->oid);
        FileNodeMap map;
        map.load(dir + "/pg_filenode.map");
        return dir + "/" + std::to_string(map.lookup(catalogueOid));
    }

    const DictFile files_[4] = {DictFile::kDatabase, DictFile::kNamespace, DictFile::kClass,
                                DictFile::kAttribute};
    FixtureManifest manifest_;
    FixtureServerSettings settings_;
    TempDir dir_;
    std::string saved_ = dictDirectory;  // before SetUp(), which may skip
    std::string farm_;
    std::vector<std::string> good_;
};

TEST_F(DictGenerate, MissingCatalogueOfOneDatabase) {
    fs::remove(catalogueFile(&database("vorn"), 1259));
    expectFailure({"pg_class", "database vorn (oid " + std::to_string(database("vorn").oid),
                   "The dictionary was not changed."});
}

TEST_F(DictGenerate, EmptySharedCatalogue) {
    const std::string file = catalogueFile(nullptr, 1262);
    fs::remove(file);
    std::ofstream(file).close();
    expectFailure({"pg_database", "no rows read"});
}

TEST_F(DictGenerate, WrongDirectoryOrVersion) {
    dataDirectory = dir_.path() + "/nowhere";
    expectFailure({"data directory", "not found"});
    dataDirectory = dir_.path() + "/dict";
    expectFailure({"not a PostgreSQL data directory"});
    dataDirectory = farm_;
    Dictionary::instance().setServerVersion(14, 0);
    expectFailure({"written by PostgreSQL 15", "configured version is 14"});
    Dictionary::instance().setServerVersion(19, 0);
    expectFailure({"not supported"});
}

TEST_F(DictGenerate, DictionaryFolderMissing) {
    fs::remove_all(dictDirectory);
    try {
        Dictionary::instance().generate(nullptr);
        ADD_FAILURE() << "the bootstrap succeeded";
    } catch (const DictExcept& e) {
        EXPECT_NE(std::string(e.what()).find("failed to open dict file"), std::string::npos)
            << e.what();
    }
}

// Without the relation maps a catalogue is read from the file named by its OID, which after
// VACUUM FULL no longer exists; with them bootstrap finds the moved catalogues.
TEST_F(DictGenerate, MapsNameTheCatalogueFiles) {
    const FixtureDatabase& vorn = database("vorn");
    const std::string dir = farm_ + "/base/" + std::to_string(vorn.oid);
    const std::string pgClass = catalogueFile(&vorn, 1259);
    // Move pg_class to a new node, as VACUUM FULL does, and point the map at it.
    FileNodeMap map;
    map.load(dir + "/pg_filenode.map");
    ASSERT_EQ(map.lookup(1259), 1259u) << "the fixture's pg_class has not moved";
    fs::rename(pgClass, dir + "/99999");
    std::string bytes = readFileBytes(fs::canonical(dir + "/pg_filenode.map"));
    fs::remove(dir + "/pg_filenode.map");
    // Entries start at offset 8: pairs of (oid, filenode); the checksum is not checked.
    for (size_t at = 8; at + 8 <= bytes.size(); at += 8) {
        uint32_t oid;
        std::memcpy(&oid, bytes.data() + at, 4);
        if (oid == 1259) {
            const uint32_t node = 99999;
            std::memcpy(bytes.data() + at + 4, &node, 4);
        }
    }
    std::ofstream(dir + "/pg_filenode.map", std::ios::binary) << bytes;
    Dictionary::instance().generate(nullptr);
    EXPECT_EQ(readFileBytes(dictFilePath(DictFile::kClass)), good_[2]);
}

}  // namespace
}  // namespace vorn::test
