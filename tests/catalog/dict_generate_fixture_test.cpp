// Bootstrap failures: each one is reported with what failed, and the dictionary of the last
// good bootstrap stays as it was. A database that cannot be read is left out and named; a
// bootstrap that leaves something out keeps the dictionary it replaces in dict/previous/.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
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

// A file of the farm replaced by `bytes` (the link is removed, the fixture is not touched).
void replaceFile(const std::string& path, const std::string& bytes) {
    fs::remove(path);
    std::ofstream(path, std::ios::binary) << bytes;
}

// The lines of a cache file whose first field (the database OID) is `dboid`.
size_t linesOfDatabase(const std::string& text, uint32_t dboid) {
    const std::string prefix = std::to_string(dboid) + "|";
    std::istringstream in(text);
    size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
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
        // The bootstrap before the one a test runs: what it may keep in dict/previous/.
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
        std::string dir =
            db == nullptr ? farm_ + "/global" : farm_ + "/base/" + std::to_string(db->oid);
        // A database made in another tablespace has its catalogues there.
        if (!fs::exists(dir + "/pg_filenode.map") && fs::exists(farm_ + "/pg_tblspc"))
            for (const auto& ts : fs::directory_iterator(farm_ + "/pg_tblspc"))
                for (const auto& version : fs::directory_iterator(ts.path()))
                    if (fs::exists(version.path() / std::to_string(db->oid) / "pg_filenode.map"))
                        dir = (version.path() / std::to_string(db->oid)).string();
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

// One database whose catalogue is lost, emptied or overwritten: the others are written as
// before, the database is named with the catalogue and the reason, and the dictionary it
// replaces is kept in dict/previous/ (it had the database's tables).
TEST_F(DictGenerate, AnUnreadableDatabaseIsLeftOutAndNamed) {
    const uint32_t vorn = database("vorn").oid;
    const uint32_t postgres = database("postgres").oid;
    struct Case {
        const char* name;
        uint32_t catalogue;
        std::optional<std::string> bytes;  // nullopt: the file is removed
        std::string reason;                // "%s" stands for the file's path
    };
    const Case cases[] = {
        {"pg_class removed", 1259, std::nullopt,
         "pg_class: file \"%s\" cannot be read: No such file or directory"},
        {"pg_attribute emptied", 1249, "", "pg_attribute: no rows read from \"%s\""},
        {"pg_class overwritten", 1259, std::string(8192, '\x5a'),
         "pg_class: no rows read from \"%s\" (1 page skipped)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(farm_);
        linkFarm(manifest_.dataDir, farm_);
        for (size_t i = 0; i < std::size(files_); ++i)
            std::ofstream(dictFilePath(files_[i]), std::ios::binary) << good_[i];
        fs::remove_all(dictDirectory + "/previous");
        const std::string file = catalogueFile(&database("vorn"), c.catalogue);
        if (c.bytes)
            replaceFile(file, *c.bytes);
        else
            fs::remove(file);

        ASSERT_NO_THROW(Dictionary::instance().generate(nullptr));
        const auto& failed = Dictionary::instance().databaseFailures();
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].name, "vorn");
        EXPECT_EQ(failed[0].oid, vorn);
        std::string reason = c.reason;
        reason.replace(reason.find("%s"), 2, file);
        EXPECT_EQ(failed[0].reason, reason);
        EXPECT_NE(
            readFileBytes(dir_.path() + "/vorn.log")
                .find("Database \"vorn\" (OID " + std::to_string(vorn) + ") not read: " + reason),
            std::string::npos);

        // Nothing of vorn in the three per-database files, the others as before.
        for (size_t i = 1; i < std::size(files_); ++i) {
            const std::string text = readFileBytes(dictFilePath(files_[i]));
            EXPECT_EQ(linesOfDatabase(text, vorn), 0u) << dictFilePath(files_[i]);
            EXPECT_EQ(linesOfDatabase(text, postgres), linesOfDatabase(good_[i], postgres))
                << dictFilePath(files_[i]);
        }
        // The database itself is still listed.
        EXPECT_EQ(readFileBytes(dictFilePath(DictFile::kDatabase)), good_[0]);

        for (size_t i = 0; i < std::size(files_); ++i) {
            const std::string kept = dictDirectory + "/previous/" +
                                     fs::path(dictFilePath(files_[i])).filename().string();
            EXPECT_EQ(readFileBytes(kept), good_[i]) << kept;
            EXPECT_FALSE(fs::exists(kept + ".tmp"));
            EXPECT_FALSE(fs::exists(dictFilePath(files_[i]) + ".tmp"));
        }
        const std::string& notice = Dictionary::instance().keptPrevious();
        EXPECT_EQ(notice.rfind("The previous dictionary was kept in " + dictDirectory +
                                   "/previous/: this bootstrap found ",
                               0),
                  0u)
            << notice;
        EXPECT_NE(notice.find("; 1 database was not read."), std::string::npos) << notice;
    }
}

// When no database can be read there is nothing to write: the bootstrap fails, names each
// database, and the dictionary stays as it was.
TEST_F(DictGenerate, NoDatabaseReadIsAFailure) {
    for (const FixtureDatabase& db : manifest_.databases)
        if (db.name != "template0" && db.name != "template1")
            fs::remove(catalogueFile(&db, 1259));
    expectFailure({"no database could be read; database \"postgres\" (OID " +
                       std::to_string(database("postgres").oid) + "): pg_class: file \"",
                   "The dictionary was not changed."});
    EXPECT_EQ(Dictionary::instance().databaseFailures().size(), 4u);
    EXPECT_FALSE(fs::exists(dictDirectory + "/previous"));
}

// A dictionary that had more tables than the data directory now shows (say, from before the
// damage) is kept, replacing an older copy; the new files are written all the same. A
// bootstrap that finds as many tables and no damage keeps nothing.
TEST_F(DictGenerate, FewerTablesThanBeforeKeepThePreviousFiles) {
    Dictionary::instance().generate(nullptr);
    EXPECT_EQ(Dictionary::instance().keptPrevious(), "");
    EXPECT_FALSE(fs::exists(dictDirectory + "/previous"));

    // Two tables more than the data directory has, and a stale copy from an older bootstrap.
    const std::string richer =
        good_[2] + "5|2200|99998|lost_a|0|r|1|99998|0|0\n" + "5|2200|99999|lost_b|0|p|1|0|0|0\n";
    std::ofstream(dictFilePath(DictFile::kClass), std::ios::binary) << richer;
    fs::create_directories(dictDirectory + "/previous");
    std::ofstream(dictDirectory + "/previous/pg_class.dat") << "stale\n";
    std::ofstream(dictDirectory + "/previous/pg_attr.dat") << "stale\n";

    Dictionary::instance().generate(nullptr);
    EXPECT_EQ(readFileBytes(dictDirectory + "/previous/pg_class.dat"), richer);
    EXPECT_EQ(readFileBytes(dictDirectory + "/previous/pg_attr.dat"), good_[3]);
    EXPECT_EQ(readFileBytes(dictFilePath(DictFile::kClass)), good_[2]);
    const std::string& notice = Dictionary::instance().keptPrevious();
    EXPECT_NE(notice.find("/previous/: this bootstrap found "), std::string::npos) << notice;
    // The count of the two added tables is the difference.
    const size_t found = notice.find("found ") + 6;
    const uint64_t now = std::stoull(notice.substr(found));
    EXPECT_NE(notice.find(" tables where it had " + std::to_string(now + 2) + "."),
              std::string::npos)
        << notice;
    EXPECT_NE(readFileBytes(dir_.path() + "/vorn.log").find("[warning] " + notice),
              std::string::npos);
}

// A catalogue page that cannot be read is damage, not a failure: the database is read from
// the other pages, and the dictionary it replaces is kept.
TEST_F(DictGenerate, DamagedCatalogueKeepsThePreviousFiles) {
    const std::string file = catalogueFile(&database("vorn"), 1249);
    std::string bytes = readFileBytes(file);
    ASSERT_GT(bytes.size(), 8192u * 2);
    // pd_lower (offset 12) above pd_upper: the header of the second page is refused.
    const uint16_t lower = 0xFFF0;
    std::memcpy(bytes.data() + 8192 + 12, &lower, 2);
    replaceFile(file, bytes);

    Dictionary::instance().generate(nullptr);
    EXPECT_THAT(Dictionary::instance().databaseFailures(), ::testing::IsEmpty());
    ASSERT_EQ(Dictionary::instance().generationWarnings().size(), 1u);
    EXPECT_NE(Dictionary::instance().generationWarnings()[0].find("pg_attribute of database vorn"),
              std::string::npos);
    EXPECT_EQ(Dictionary::instance().keptPrevious(),
              "The previous dictionary was kept in " + dictDirectory +
                  "/previous/: catalogues were read with damage.");
    for (size_t i = 0; i < std::size(files_); ++i)
        EXPECT_EQ(readFileBytes(dictDirectory + "/previous/" +
                                fs::path(dictFilePath(files_[i])).filename().string()),
                  good_[i]);
    EXPECT_NE(readFileBytes(dictFilePath(DictFile::kAttribute)), good_[3]);
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
