// The one naming rule of a table's files: stems as the tables name them, unsafe bytes
// replaced with the OID added, and no two objects on one name of a directory, in one run or
// across runs (the directory's manifest).

#include "export/file_names.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "export/data_writer.h"
#include "tests/export/export_test_env.h"

namespace vorn::test {
namespace {

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(FileStem, SchemaTableAndPartitionSuffix) {
    struct Case {
        const char* schema;
        const char* table;
        const char* suffix;
        const char* stem;
    };
    const Case cases[] = {
        {"public", "t", "", "public_t"},
        {"public", "t", "p1", "public_t.p1"},
        {"", "t", "p1", "t.p1"},
        {"", "t", "", "t"},
        {"My Schema", "Ä t", "", "My Schema_Ä t"},  // no quoting or case change
    };
    for (const Case& c : cases)
        EXPECT_EQ(tableFileStem(c.schema, c.table, c.suffix), c.stem);
}

TEST(SafeFileName, ReplacesUnsafeBytesAndAddsTheOid) {
    struct Case {
        std::string name;
        std::string safe;
    };
    const Case cases[] = {
        {"public_t", "public_t"},
        {"public_t.p1", "public_t.p1"},
        {"s_with space-and.dots", "s_with space-and.dots"},
        {"s_\xc3\xa4\xff", "s_\xc3\xa4\xff"},  // high bytes kept
        {"s_a\"b'c*?$", "s_a\"b'c*?$"},
        {"s_a/b", "s_a_b_42"},
        {"../../etc/passwd", "_._.._etc_passwd_42"},
        {".hidden", "_hidden_42"},
        {"..", "_._42"},
        {"s_a\nb\tc\x01\x1f\x7f", "s_a_b_c____42"},
        {std::string("s_a\0b", 5), "s_a_b_42"},
        {"", "_42"},
        {"t.", "t."},  // only a leading dot hides a file
    };
    for (const Case& c : cases)
        EXPECT_EQ(safeFileName(c.name, 42), c.safe) << c.name;
}

TEST(TableFileName, LongNamesAreNotCut) {
    const std::string name(300, 'n');
    EXPECT_EQ(safeFileName(name, 7), name);
}

// Claims in the ExportEnv's export directory, with the console captured.
class Claims {
  public:
    explicit Claims(const ExportEnv& env) : dir_(env.root() + "/dump") {}

    std::string table(std::string_view name, uint32_t oid, uint32_t database = 1) {
        return claim(name, {FileOwnerKind::kTable, database, oid});
    }
    std::string schema(std::string_view name, uint32_t oid, uint32_t database) {
        return claim(name, {FileOwnerKind::kSchema, database, oid});
    }
    std::string claim(std::string_view name, const FileOwner& owner) {
        testing::internal::CaptureStdout();
        const std::string chosen = claimFileName(dir_, name, owner);
        console += testing::internal::GetCapturedStdout();
        return chosen;
    }
    const std::string& dir() const { return dir_; }

    std::string console;

  private:
    std::string dir_;
};

TEST(ClaimFileName, AnotherTableOnATakenNameGetsItsOidAndAWarning) {
    ExportEnv env;
    Claims claims(env);
    // "a_b" "c" and "a" "b_c" meet on one stem.
    EXPECT_EQ(claims.table("a_b_c", 100), "a_b_c");
    EXPECT_EQ(claims.table("a_b_c", 100), "a_b_c");  // the same table again: its own name
    EXPECT_EQ(claims.console, "");
    EXPECT_EQ(claims.table("a_b_c", 200), "a_b_c_200");
    EXPECT_NE(claims.console.find("File name \"a_b_c\" is already used by the table with OID 100 "
                                  "of database 1; the table with OID 200 of database 1 is "
                                  "written as \"a_b_c_200\"."),
              std::string::npos)
        << claims.console;
    EXPECT_NE(env.log().find("written as \"a_b_c_200\""), std::string::npos) << env.log();
    // Said once per run, though the data file and the DDL script both ask.
    claims.console.clear();
    EXPECT_EQ(claims.table("a_b_c", 200), "a_b_c_200");
    EXPECT_EQ(claims.console, "");
    // A table really named like the renamed one still gets a name of its own.
    EXPECT_EQ(claims.table("a_b_c_200", 300), "a_b_c_200_300");
    EXPECT_EQ(claims.table("a_b_c", 300), "a_b_c_300");
    EXPECT_EQ(claims.table("a_b_c", 400), "a_b_c_400");
    // Its OID suffix taken as well: a counter after it.
    EXPECT_EQ(claims.table("a_b_c_500", 600), "a_b_c_500");
    EXPECT_EQ(claims.table("a_b_c", 500), "a_b_c_500_2");
}

TEST(ClaimFileName, ALaterRunKeepsEveryTableOnItsName) {
    ExportEnv env;
    {
        Claims claims(env);
        EXPECT_EQ(claims.table("x_a_b", 10), "x_a_b");
        EXPECT_EQ(claims.table("x_a_b", 20), "x_a_b_20");
    }
    // A new process: only the manifest remembers. The second table alone still keeps off
    // the first one's name, and says so again; the first keeps its own.
    resetTableFileNames();
    Claims claims(env);
    EXPECT_EQ(claims.table("x_a_b", 20), "x_a_b_20");
    EXPECT_NE(claims.console.find("\"x_a_b\" is already used by the table with OID 10 of "
                                  "database 1"),
              std::string::npos)
        << claims.console;
    claims.console.clear();
    EXPECT_EQ(claims.table("x_a_b", 10), "x_a_b");
    EXPECT_EQ(claims.console, "");
    // A table of the same OID in another database is another table.
    EXPECT_EQ(claims.table("x_a_b", 10, 2), "x_a_b_10");
    resetTableFileNames();
    EXPECT_EQ(claims.table("x_a_b", 10, 2), "x_a_b_10");
}

TEST(ClaimFileName, SchemasOfOneNameInTwoDatabasesGetTwoScripts) {
    ExportEnv env;
    Claims claims(env);
    // public is OID 2200 in every database.
    EXPECT_EQ(claims.schema("import_public", 2200, 16384), "import_public");
    EXPECT_EQ(claims.schema("import_public", 2200, 16390), "import_public_2200");
    EXPECT_NE(claims.console.find("File name \"import_public\" is already used by the schema "
                                  "with OID 2200 of database 16384; the schema with OID 2200 of "
                                  "database 16390 is written as \"import_public_2200\"."),
              std::string::npos)
        << claims.console;
    EXPECT_EQ(claims.schema("import_public", 2200, 16400), "import_public_2200_2");
    // A table whose OID is a schema's is still another object.
    EXPECT_EQ(claims.table("import_public", 2200, 16384), "import_public_2200_3");
    resetTableFileNames();
    EXPECT_EQ(claims.schema("import_public", 2200, 16390), "import_public_2200");
    EXPECT_EQ(claims.schema("import_public", 2200, 16384), "import_public");
}

TEST(ClaimFileName, AFileTheManifestDoesNotRecordIsKept) {
    ExportEnv env;
    Claims claims(env);
    // Written before there was a manifest, or by something else: it may be another table's.
    env.writeDump("s_t.txt", "rows of someone\n");
    env.writeDump("s_u.bin", "");
    env.writeDump("s_v.sql", "");
    env.writeDump("s_w.txt.tmp", "");  // a cut-off file names nothing
    EXPECT_EQ(claims.table("s_t", 7), "s_t_7");
    EXPECT_NE(
        claims.console.find("File name \"s_t\" is already used by a file in \"" + claims.dir() +
                            "\" that vorn_files.manifest does not record; the table with "
                            "OID 7 of database 1 is written as \"s_t_7\"."),
        std::string::npos)
        << claims.console;
    EXPECT_EQ(claims.table("s_u", 8), "s_u_8");
    EXPECT_EQ(claims.table("s_v", 9), "s_v_9");
    EXPECT_EQ(claims.table("s_w", 10), "s_w");
    EXPECT_EQ(env.read("s_t.txt"), "rows of someone\n");
    // Once recorded, the file is the table's own: a later run writes over it.
    resetTableFileNames();
    EXPECT_EQ(claims.table("s_w", 10), "s_w");
    // A recorded name whose file is gone stays its table's.
    EXPECT_EQ(claims.table("s_gone", 11), "s_gone");
    resetTableFileNames();
    EXPECT_EQ(claims.table("s_gone", 12), "s_gone_12");
}

TEST(ClaimFileName, BadManifestLinesAreLoggedAndSkipped) {
    ExportEnv env;
    env.writeDump(kFileManifestName,
                  "# comment\n"
                  "table\t1\t10\tkept_by_10\n"
                  "tabel\t1\t11\tbad_kind\n"
                  "table\t1\tx\tbad_oid\n"
                  "table\t1\t99999999999\ttoo_big\n"
                  "table\t1\t13\n"
                  "table\t1\t14\ta/b\n"
                  "\n"
                  "table\t1\t15\tkept_by_15\n"
                  "table\t1\t16\tkept_by_15\n"  // given twice: the first line wins
                  "schema\t1\t2200\tcut_of");   // a run stopped in this line's write
    Claims claims(env);
    EXPECT_EQ(claims.table("kept_by_10", 20), "kept_by_10_20");
    EXPECT_EQ(claims.table("kept_by_15", 16), "kept_by_15_16");
    EXPECT_EQ(claims.table("bad_kind", 20), "bad_kind");
    const std::string log = env.log();
    EXPECT_NE(log.find("vorn_files.manifest\", line 3: the kind is neither \"table\" nor "
                       "\"schema\": ignored."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("line 4: the object OID is no number of 32 bits"), std::string::npos);
    EXPECT_NE(log.find("line 5: the object OID is no number of 32 bits"), std::string::npos);
    EXPECT_NE(log.find("line 6: fewer than four tab-separated fields"), std::string::npos);
    EXPECT_NE(log.find("line 7: the name is empty or holds a '/'"), std::string::npos);
    EXPECT_NE(log.find("also gives \"kept_by_15\" to the table with OID 16 of database 1: "
                       "ignored, the name stays with the table with OID 15 of database 1."),
              std::string::npos)
        << log;
    // The cut line is reported too, and what was appended after it is a line of its own.
    EXPECT_NE(log.find("line 11: cut off before its line end"), std::string::npos) << log;
    const ManifestContents after = readFileManifest(claims.dir());
    ASSERT_FALSE(after.entries.empty());
    EXPECT_EQ(after.entries.back().name, "bad_kind");
    EXPECT_EQ(after.entries.back().owner, (FileOwner{FileOwnerKind::kTable, 1, 20}));
}

TEST(ClaimFileName, AnotherDirectoryMakesTheManifestBeReadAgain) {
    ExportEnv env;
    Claims claims(env);
    EXPECT_EQ(claims.table("s_t", 1), "s_t");
    // Another run writes into the same folder meanwhile.
    std::ofstream(claims.dir() + "/" + kFileManifestName, std::ios::app)
        << "table\t1\t2\ts_other\n";
    EXPECT_EQ(claimFileName(env.root(), "elsewhere", {FileOwnerKind::kTable, 1, 3}), "elsewhere");
    EXPECT_EQ(claims.table("s_other", 4), "s_other_4");
}

TEST(ClaimFileName, AManifestThatCannotBeWrittenIsSaidOnce) {
    ExportEnv env;
    Claims claims(env);
    std::filesystem::create_directories(claims.dir() + "/" + kFileManifestName + "/x");
    EXPECT_EQ(claims.table("s_t", 1), "s_t");
    EXPECT_EQ(claims.table("s_u", 2), "s_u");
    EXPECT_EQ(claims.table("s_t", 3), "s_t_3");  // still apart within the run
    EXPECT_EQ(occurrences(claims.console, "File names not recorded in \"" + claims.dir() + "/" +
                                              kFileManifestName + "\": "),
              1u)
        << claims.console;
    // A folder that is not there says nothing here: writing the file itself fails and says so.
    testing::internal::CaptureStdout();
    claimFileName(env.root() + "/missing", "s_t", {FileOwnerKind::kTable, 1, 1});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ClaimFileName, ParallelClaimsNeverShareAName) {
    ExportEnv env;
    testing::internal::CaptureStdout();
    constexpr int kThreads = 8;
    std::vector<std::string> names(kThreads);
    std::vector<std::thread> threads;
    const std::string dir = env.root() + "/dump";
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&names, &dir, i] {
            names[i] = claimFileName(dir, "s_t", {FileOwnerKind::kTable, 1, 1000u + i});
        });
    for (std::thread& t : threads)
        t.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), size_t(kThreads));
    // Every name is in the manifest, each on a line of its own, with its owner.
    const ManifestContents manifest = readFileManifest(dir);
    EXPECT_TRUE(manifest.problems.empty());
    ASSERT_EQ(manifest.entries.size(), size_t(kThreads));
    for (const ManifestEntry& e : manifest.entries)
        EXPECT_EQ(names[e.owner.objectOid - 1000], e.name);
}

}  // namespace
}  // namespace vorn::test
