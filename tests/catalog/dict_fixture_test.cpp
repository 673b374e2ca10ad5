// Bootstrap against the servers themselves: the dictionary generated from each fixture's
// stopped data directory must hold, field for field, what the server answered for the same
// catalogue columns while it ran (<fixture>/dict/), and the tables it describes must be the
// ones the manifest describes, unloading to the same files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/file_logger.h"
#include "catalog/dict_cache.h"
#include "catalog/dict_except.h"
#include "catalog/dictionary.h"
#include "catalog/lost_blocks.h"
#include "export/copy_binary_writer.h"
#include "export/copy_text_writer.h"
#include "export/export_settings.h"
#include "export/file_names.h"
#include "storage/file_node_map.h"
#include "storage/relation_path.h"
#include "storage/table.h"
#include "tests/storage/support/copy_text.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

constexpr size_t kShown = 8;
// pg_attr.dat: field of atttypid and of the fast default.
constexpr size_t kAttTypeField = 4, kAttMissingField = 12;

using Rows = std::vector<std::vector<std::string>>;

Rows cacheRows(const std::string& path) {
    Rows rows;
    std::istringstream in(readFileBytes(path));
    std::string line;
    while (std::getline(in, line))
        rows.push_back(splitCacheLine(line));
    return rows;
}

std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The server printed attmissingval as an array text ("{42}", "{dflt}"); the cache holds the
// hex of the value's stored bytes. Turns the server's form into ours for the types the
// fixtures give fast defaults, and both into "?" for other types.
void normaliseMissing(std::vector<std::string>& server) {
    if (server.size() <= kAttMissingField || server[kAttMissingField].empty())
        return;
    const uint32_t type = static_cast<uint32_t>(std::stoul(server[kAttTypeField]));
    const std::optional<std::string> bytes = storedFromArrayText(server[kAttMissingField], type);
    server[kAttMissingField] = bytes ? hexOf(*bytes) : "?";
}

std::string joined(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i)
        out += (i ? "|" : "") + fields[i];
    return out;
}

// Compares two sets of rows as multisets and reports what only one side has.
void expectSameRows(Rows ours, Rows theirs, const std::string& what) {
    std::vector<std::string> a, b;
    for (const auto& r : ours)
        a.push_back(joined(r));
    for (const auto& r : theirs)
        b.push_back(joined(r));
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    std::vector<std::string> onlyOurs, onlyTheirs;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(onlyOurs));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyTheirs));
    std::string report;
    for (size_t i = 0; i < onlyOurs.size() && i < kShown; ++i)
        report += "\n  only ours:   " + onlyOurs[i];
    for (size_t i = 0; i < onlyTheirs.size() && i < kShown; ++i)
        report += "\n  only server: " + onlyTheirs[i];
    EXPECT_TRUE(onlyOurs.empty() && onlyTheirs.empty())
        << what << ": " << onlyOurs.size() << " rows only ours, " << onlyTheirs.size()
        << " only the server's (of " << a.size() << " / " << b.size() << ")" << report;
}

class DictFixture : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        VORN_FIXTURE_OR_SKIP(manifest, GetParam());
        manifest_ = manifest;
        settings_.use(manifest_);
        Dictionary& d = Dictionary::instance();
        d.setServerVersion(static_cast<int16_t>(manifest_.server.major),
                           static_cast<int16_t>(manifest_.server.minor));
        dictDirectory = dir_.path() + "/dict";
        fs::create_directories(dictDirectory);
        mainLog().open(dir_.path().c_str());
        unloadLog().open(dir_.path().c_str());
        exportDirectory = dir_.path();
        resetTableFileNames();
    }
    void TearDown() override {
        dictDirectory = savedDict_;
        exportDirectory = savedExport_;
        resetTableFileNames();
    }

    // Server answers of one per-database file, all databases the generation reads.
    Rows serverRows(const std::string& file) const {
        Rows rows;
        for (const FixtureDatabase& db : manifest_.databases) {
            if (db.name == "template0" || db.name == "template1")
                continue;
            const std::string path = manifest_.dir + "/dict/" + std::to_string(db.oid) + "/" + file;
            EXPECT_TRUE(fs::exists(path)) << path;
            for (auto& row : readCopyTextFile(path))
                rows.push_back(std::move(row));
        }
        return rows;
    }

    void generate() {
        ASSERT_NO_THROW(Dictionary::instance().generate(nullptr))
            << "see " << dir_.path() << "/log/vorn.log";
        ASSERT_TRUE(Dictionary::instance().loadFromCache(nullptr));
    }

    FixtureManifest manifest_;
    FixtureServerSettings settings_;
    TempDir dir_;
    // Saved before SetUp(), which may skip, for TearDown() to put back.
    std::string savedDict_ = dictDirectory, savedExport_ = exportDirectory;
};

TEST_P(DictFixture, CacheFilesHoldWhatTheServerAnswered) {
    generate();
    expectSameRows(cacheRows(dictFilePath(DictFile::kDatabase)),
                   readCopyTextFile(manifest_.dir + "/dict/pg_db.txt"), "pg_db.dat");
    expectSameRows(cacheRows(dictFilePath(DictFile::kNamespace)), serverRows("pg_schema.txt"),
                   "pg_schema.dat");
    expectSameRows(cacheRows(dictFilePath(DictFile::kClass)), serverRows("pg_class.txt"),
                   "pg_class.dat");
    Rows serverAttributes = serverRows("pg_attr.txt");
    for (auto& row : serverAttributes)
        normaliseMissing(row);
    Rows ourAttributes = cacheRows(dictFilePath(DictFile::kAttribute));
    for (auto& row : ourAttributes) {
        if (row.size() > kAttMissingField && !row[kAttMissingField].empty()) {
            const uint32_t type = static_cast<uint32_t>(std::stoul(row[kAttTypeField]));
            if (type != typeoid::kInt4 && type != typeoid::kText && type != typeoid::kVarchar)
                row[kAttMissingField] = "?";
        }
    }
    expectSameRows(ourAttributes, serverAttributes, "pg_attr.dat");
}

// A catalogue the server left whole gives no lost-blocks warning, after VACUUM FULL of the
// catalogues too; and its indexes and visibility map are read for real: were its file one
// block shorter, its indexes would point at rows in that block.
TEST_P(DictFixture, WholeCataloguesGiveNoWarningAndTheirIndexesReachTheirLastBlock) {
    generate();
    EXPECT_THAT(Dictionary::instance().generationWarnings(), ::testing::IsEmpty());

    const auto check = [](const std::string& what, const CatalogFiles& files) {
        SCOPED_TRACE(what);
        const uint64_t blocks = heapFileBlocks(files);
        ASSERT_GT(blocks, 0u);
        EXPECT_FALSE(findLostBlocks(files, blocks).any());
        const LostBlocks shorter = findLostBlocks(files, blocks - 1);
        EXPECT_GT(shorter.indexRows, 0u);
        EXPECT_EQ(shorter.firstIndexBlock, blocks - 1);
        EXPECT_EQ(shorter.lastIndexBlock, blocks - 1);
    };
    FileNodeMap globalMap;
    globalMap.load(dataDirectory + "/global/pg_filenode.map");
    check("pg_database", catalogFiles(CatalogKind::kDatabase, dataDirectory + "/global",
                                      globalMap.lookup(1262), &globalMap, {}));
    for (const FixtureDatabase& db : manifest_.databases) {
        if (db.name == "template0" || db.name == "template1")
            continue;
        PgClass relation;
        relation.dboid = db.oid;
        relation.dbTablespace = db.tablespace;
        const std::string dir = relationDirectory(relation);
        FileNodeMap map;
        map.load(dir + "/pg_filenode.map");
        // The server's pg_class rows give the file nodes of pg_namespace and its indexes.
        std::unordered_map<uint32_t, uint32_t> classNodes;
        for (const auto& row :
             readCopyTextFile(manifest_.dir + "/dict/" + std::to_string(db.oid) + "/pg_class.txt"))
            if (row.size() > 7 && !row[2].empty() && !row[7].empty())
                classNodes[static_cast<uint32_t>(std::stoul(row[2]))] =
                    static_cast<uint32_t>(std::stoul(row[7]));
        ASSERT_TRUE(classNodes.count(2615)) << db.name;
        check(db.name + " pg_class",
              catalogFiles(CatalogKind::kClass, dir, map.lookup(1259), &map, classNodes));
        check(db.name + " pg_attribute",
              catalogFiles(CatalogKind::kAttribute, dir, map.lookup(1249), &map, classNodes));
        check(db.name + " pg_namespace",
              catalogFiles(CatalogKind::kNamespace, dir, classNodes[2615], &map, classNodes));
    }
}

// The table objects of the dictionary are those the manifest describes: same file, same
// TOAST relation, same layout, and they unload to the same bytes.
TEST_P(DictFixture, TablesAreTheManifestsTables) {
    generate();
    Dictionary& d = Dictionary::instance();
    size_t tables = 0;
    for (const FixtureDatabase& db : manifest_.databases) {
        if (!db.described)
            continue;
        d.currentDatabaseOid = db.oid;
        for (const FixtureTable& t : db.tables) {
            const std::string where = GetParam() + " " + db.name + "." + t.schema + "." + t.name;
            SCOPED_TRACE(where);
            const std::string name = bytesFromHex(t.nameHex);
            PgTable* table = d.findTable(t.schema.c_str(), name.c_str());
            ASSERT_NE(table, nullptr);
            ++tables;
            EXPECT_EQ(table->oid(), t.oid);
            EXPECT_EQ(table->relkind, t.relkind);
            EXPECT_EQ(table->fileNode(), t.relfilenode);
            EXPECT_EQ(table->schemaName(), t.schema);
            if (t.relkind == 'r') {
                EXPECT_EQ(table->dataFilePath(), t.path);
            }
            ASSERT_EQ(table->toast != nullptr, t.toast.has_value());
            if (t.toast) {
                EXPECT_EQ(table->toast->oid, t.toast->oid);
                EXPECT_EQ(table->toast->relfilenode, t.toast->relfilenode);
                EXPECT_EQ(
                    relationDirectory(*table->toast) + "/" + std::to_string(t.toast->relfilenode),
                    t.toast->path);
            }

            const ColumnLayout want = fixtureLayout(t);
            // The dictionary never has the header OID column: tables WITH OIDS are read
            // without it, as COPY leaves the OID out too.
            ColumnLayout wantUser;
            for (const ColumnDef& c : want)
                if (c.attnum > 0)
                    wantUser.push_back(c);
            const ColumnLayout& have = table->columns();
            ASSERT_EQ(have.size(), wantUser.size());
            for (size_t i = 0; i < have.size(); ++i) {
                SCOPED_TRACE(std::string(wantUser[i].name()));
                EXPECT_EQ(have[i].attnum, wantUser[i].attnum);
                EXPECT_EQ(have[i].name(), wantUser[i].name());
                EXPECT_EQ(have[i].atttypid, wantUser[i].atttypid);
                EXPECT_EQ(have[i].atttypmod, wantUser[i].atttypmod);
                EXPECT_EQ(have[i].attlen, wantUser[i].attlen);
                EXPECT_EQ(have[i].attalign, wantUser[i].attalign);
                EXPECT_EQ(have[i].attbyval, wantUser[i].attbyval);
                EXPECT_EQ(have[i].hasMissing, wantUser[i].hasMissing);
                EXPECT_EQ(have[i].missingValue, wantUser[i].missingValue);
            }
            if (t.relkind != 'r')
                continue;

            // Same bytes as the manifest's table gives, which the export tests hold against
            // the server's COPY.
            FixturePgTable byHand(db, t);
            for (int format = 0; format < 2; ++format) {
                auto unload = [&](PgTable& source, const std::string& stem) {
                    const ColumnLayout& layout = source.columns();
                    testing::internal::CaptureStdout();
                    std::string file;
                    if (format == 0) {
                        CopyTextWriter w(&layout, stem, source.name(), "", source.oid());
                        EXPECT_FALSE(source.unload(w, nullptr).failed);
                        file = w.filePath();
                    } else {
                        CopyBinaryWriter w(&layout, stem, source.name(), "", source.oid());
                        EXPECT_FALSE(source.unload(w, nullptr).failed);
                        file = w.filePath();
                    }
                    testing::internal::GetCapturedStdout();
                    return readFileBytes(file);
                };
                resetTableFileNames();
                const std::string ours = unload(*table, "dict");
                resetTableFileNames();
                const std::string manual = unload(byHand.table(), "manifest");
                EXPECT_TRUE(ours == manual)
                    << (format == 0 ? "text" : "binary") << " files differ: " << ours.size()
                    << " bytes through the dictionary, " << manual.size() << " by hand";
            }
        }
    }
    EXPECT_GT(tables, 40u);
}

// A pg_attribute row of a middle column lost: the table is named with the attribute number
// it lacks, and refuses to unload rather than write its rows shifted.
TEST_P(DictFixture, ATableMissingAColumnRowIsNamedAndNotUnloaded) {
    generate();
    Dictionary& d = Dictionary::instance();
    EXPECT_TRUE(d.layoutWarnings().empty());
    const FixtureTable& bulk = manifest_.table("vorn", "public", "bulk");
    const std::string prefix =
        std::to_string(bulk.databaseOid) + "|" + std::to_string(bulk.oid) + "|2|";
    const std::string path = dictFilePath(DictFile::kAttribute);
    std::string kept, line;
    std::ifstream in(path, std::ios::binary);
    size_t dropped = 0;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0)
            ++dropped;
        else
            kept += line + "\n";
    }
    in.close();
    ASSERT_EQ(dropped, 1u);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << kept;
    ASSERT_TRUE(d.loadFromCache(nullptr));

    const std::vector<std::string> warnings = d.layoutWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0],
              "table \"public\".\"bulk\" of database vorn: the catalogue has no column "
              "for attribute number 2 of the table's 4: its rows cannot be decoded");
    d.currentDatabaseOid = bulk.databaseOid;
    PgTable* table = d.findTable("public", "bulk");
    ASSERT_NE(table, nullptr);
    CopyTextWriter writer(&table->columns(), "gap", table->name(), "", table->oid());
    const UnloadResult result = table->unload(writer, nullptr);
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.rows, 0u);
}

INSTANTIATE_TEST_SUITE_P(Builds, DictFixture, ::testing::ValuesIn(fixtureLabels()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
}  // namespace vorn::test
