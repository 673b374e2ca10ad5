// Dictionary generation from the system catalogues of PostgreSQL 9.0 - 9.6. No 9.x server
// exists here, so the catalogue files are written byte by byte from independently kept
// column lists (tests/catalog/support9x) and the cache files are compared line by line.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "catalog/dict_cache.h"
#include "catalog/dict_except.h"
#include "catalog/dictionary.h"
#include "storage/storage_settings.h"
#include "tests/catalog/support9x/catalog_9x.h"
#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

using test::Synthetic9xCatalogs;

constexpr uint16_t kBlockSize = 8192;

const char* const kCacheFiles[] = {"pg_db.dat", "pg_schema.dat", "pg_class.dat", "pg_attr.dat"};

const std::vector<std::string>& expectedLines(const Synthetic9xCatalogs& c,
                                              const std::string& file) {
    if (file == "pg_db.dat")
        return c.dbLines;
    if (file == "pg_schema.dat")
        return c.schemaLines;
    if (file == "pg_class.dat")
        return c.classLines;
    return c.attrLines;
}

// What a failed comparison prints: the lines only one side has, each on its own.
std::string lineDiff(std::vector<std::string> expected, std::vector<std::string> actual) {
    std::sort(expected.begin(), expected.end());
    std::sort(actual.begin(), actual.end());
    std::vector<std::string> missing, unexpected;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                        std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::back_inserter(unexpected));
    std::ostringstream out;
    out << expected.size() << " lines expected, " << actual.size() << " written\n";
    for (const std::string& l : missing)
        out << "  - " << l << "\n";
    for (const std::string& l : unexpected)
        out << "  + " << l << "\n";
    return out.str();
}

bool sameLines(std::vector<std::string> a, std::vector<std::string> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

std::string describe(const ColumnDef& c) {
    std::ostringstream out;
    out << "attnum " << c.attnum << " '" << c.name() << "' type " << c.atttypid << " typmod "
        << c.atttypmod << " len " << c.attlen << (c.nullable ? " null" : " not null") << " align "
        << c.attalign << (c.attbyval ? " byval" : " byref");
    return out.str();
}

class Catalog9xTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedDataDirectory_ = dataDirectory;
        savedBlockSize_ = blockSize;
        savedServerVersion_ = serverVersion;
        savedDictDirectory_ = dictDirectory;
        // Logs and the default dict/ folder are relative to the working directory.
        cwd_ = std::make_unique<test::ScopedWorkingDir>(tmp_.path());
    }

    void TearDown() override {
        cwd_.reset();
        dataDirectory = savedDataDirectory_;
        blockSize = savedBlockSize_;
        serverVersion = savedServerVersion_;
        dictDirectory = savedDictDirectory_;
    }

    std::string dataDir() const { return tmp_.path() + "/data"; }

    Synthetic9xCatalogs writeCluster(int minor) {
        return test::write9xDataDirectory(dataDir(), minor, kBlockSize);
    }

    // Runs the generator over the data directory as a 9.<minor> server's.
    int generate(int minor) {
        Dictionary& d = Dictionary::instance();
        d.setServerVersion(9, minor);
        d.setDataDirectory(dataDir());
        d.setBlockSize(kBlockSize);
        dictDirectory = tmp_.path() + "/dict";
        std::filesystem::create_directories(dictDirectory);
        return d.generate(nullptr);
    }

    // Lines of a cache file without their line feeds; a last line without one is kept
    // with a marker so that the comparison fails on it.
    std::vector<std::string> cacheLines(const std::string& file) const {
        std::ifstream in(dictDirectory + "/" + file, std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        const std::string text = buffer.str();
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                lines.push_back(text.substr(start) + " <no line feed at end of file>");
                break;
            }
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    test::TempDir tmp_;

  private:
    std::unique_ptr<test::ScopedWorkingDir> cwd_;
    std::string savedDataDirectory_;
    uint16_t savedBlockSize_ = 0;
    ServerVersion savedServerVersion_;
    std::string savedDictDirectory_;
};

class Catalog9xEveryMinorTest : public Catalog9xTest, public ::testing::WithParamInterface<int> {};

TEST_P(Catalog9xEveryMinorTest, CacheFilesHoldEveryVisibleCurrentRow) {
    const int minor = GetParam();
    const Synthetic9xCatalogs expected = writeCluster(minor);
    // The data must reach past one page for the reader's block loop to be tested.
    ASSERT_GT(expected.pagesWritten.at("base/12406/1249"), 2u);

    int result = 0;
    ASSERT_NO_THROW(result = generate(minor));
    for (const char* file : kCacheFiles) {
        const std::vector<std::string> actual = cacheLines(file);
        EXPECT_TRUE(sameLines(expectedLines(expected, file), actual))
            << "9." << minor << " " << file << " (generate returned " << result
            << "): " << lineDiff(expectedLines(expected, file), actual);
    }
}

TEST_P(Catalog9xEveryMinorTest, LoadedCacheGivesTheColumnLayouts) {
    const int minor = GetParam();
    const Synthetic9xCatalogs expected = writeCluster(minor);
    ASSERT_NO_THROW(generate(minor));
    Dictionary& d = Dictionary::instance();
    ASSERT_TRUE(d.loadFromCache(nullptr));
    EXPECT_EQ(d.currentDatabaseOid, expected.currentDatabaseOid);

    for (const test::ExpectedTable& table : expected.tables) {
        SCOPED_TRACE("9." + std::to_string(minor) + " table " +
                     test::escapeDictField(table.schema) + "." + test::escapeDictField(table.name));
        PgTable* t = d.findTable(table.schema.c_str(), table.name.c_str());
        ASSERT_NE(t, nullptr);
        // System columns (attnum < 0) may or may not be part of the layout.
        std::vector<ColumnDef> columns;
        for (const ColumnDef& c : t->columns())
            if (c.attnum > 0)
                columns.push_back(c);
        ASSERT_EQ(columns.size(), table.columns.size());
        int wrong = 0;
        for (size_t i = 0; i < columns.size() && wrong < 5; ++i) {
            const ColumnDef& want = table.columns[i];
            const ColumnDef& got = columns[i];
            const bool same = got.attnum == want.attnum && got.name() == want.name() &&
                              got.atttypid == want.atttypid && got.atttypmod == want.atttypmod &&
                              got.attlen == want.attlen && got.nullable == want.nullable &&
                              got.attalign == want.attalign && got.attbyval == want.attbyval;
            EXPECT_TRUE(same) << "column " << i << ": expected " << describe(want)
                              << "\n           got " << describe(got);
            wrong += same ? 0 : 1;  // a shifted field spoils every column: show the first few
        }
    }

    const std::vector<ColumnDef> mytable = d.findTable("myschema", "mytable")->columns();
    auto dropped = std::find_if(mytable.begin(), mytable.end(),
                                [](const ColumnDef& c) { return c.attnum == 2; });
    ASSERT_NE(dropped, mytable.end());
    EXPECT_TRUE(dropped->isDropped());
    EXPECT_EQ(dropped->attlen, 8);
    EXPECT_EQ(dropped->attalign, 'd');

    // Deleted, aborted and superseded rows name no table, and another database's tables are
    // not in the current one.
    for (const auto& [schema, name] : expected.absentTables)
        EXPECT_EQ(d.findTable(schema.c_str(), name.c_str()), nullptr) << schema << "." << name;
}

INSTANTIATE_TEST_SUITE_P(Minors, Catalog9xEveryMinorTest, ::testing::Range(0, 7),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "v9_" + std::to_string(info.param);
                         });

// Where a release moved a column the cache files hold, reading its files with the layout
// of the release before (or after) must not give the right lines: a column read from the
// wrong offset has to show. Boundaries that only change columns after the last one kept
// (9.1: relhasexclusion, attcollation; 9.5: relrowsecurity) cannot show in the lines.
struct WrongLayoutCase {
    int filesMinor;
    int readAsMinor;
    const char* file;
};

class Catalog9xWrongLayoutTest : public Catalog9xTest,
                                 public ::testing::WithParamInterface<WrongLayoutCase> {};

TEST_P(Catalog9xWrongLayoutTest, ShiftedColumnsShow) {
    const WrongLayoutCase c = GetParam();
    const Synthetic9xCatalogs expected = writeCluster(c.filesMinor);
    // PG_VERSION is made to agree with the configured version, or the generator would stop
    // at the version check before it decodes a single row.
    namespace fs = std::filesystem;
    const std::string version = "9." + std::to_string(c.readAsMinor) + "\n";
    tmp_.writeFile("data/PG_VERSION", version);
    for (const fs::directory_entry& db : fs::directory_iterator(dataDir() + "/base"))
        tmp_.writeFile("data/base/" + db.path().filename().string() + "/PG_VERSION", version);
    try {
        generate(c.readAsMinor);
    } catch (const DictExcept&) {
        return;  // refusing the catalogue is as good as a visible difference
    }
    EXPECT_FALSE(sameLines(expectedLines(expected, c.file), cacheLines(c.file)))
        << "9." << c.filesMinor << " files read as 9." << c.readAsMinor << " still give the "
        << c.file << " lines";
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Catalog9xWrongLayoutTest,
    ::testing::Values(WrongLayoutCase{2, 1, "pg_class.dat"},  // relallvisible added
                      WrongLayoutCase{1, 2, "pg_class.dat"},
                      WrongLayoutCase{3, 2, "pg_db.dat"},  // datminmxid added
                      WrongLayoutCase{2, 3, "pg_db.dat"},
                      WrongLayoutCase{4, 3, "pg_class.dat"},  // reltoastidxid removed
                      WrongLayoutCase{3, 4, "pg_class.dat"}),
    [](const ::testing::TestParamInfo<WrongLayoutCase>& info) {
        std::string file = info.param.file;
        file = file.substr(0, file.find('.'));
        return "files9_" + std::to_string(info.param.filesMinor) + "_as9_" +
               std::to_string(info.param.readAsMinor) + "_" + file;
    });

}  // namespace
}  // namespace vorn
