// The lines of a directory's file manifest: what parses, what is refused and why, and that
// every name a claim can hand out comes back from its line unchanged.

#include "export/file_manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "export/file_names.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

TEST(FileManifest, LinesParseOrSayWhyNot) {
    struct Case {
        std::string line;
        std::string reason;  // empty: parses
    };
    const Case cases[] = {
        {"table\t16384\t16390\tpublic_t", ""},
        {"schema\t0\t4294967295\timport_public", ""},
        {"table\t1\t2\tname with blanks and\ttab",
         "the name is empty or holds a '/' or a control "
         "character"},
        {"Table\t1\t2\tn", "the kind is neither \"table\" nor \"schema\""},
        {"table\t-1\t2\tn", "the database OID is no number of 32 bits"},
        {"table\t 1\t2\tn", "the database OID is no number of 32 bits"},
        {"table\t1\t4294967296\tn", "the object OID is no number of 32 bits"},
        {"table\t1\t2x\tn", "the object OID is no number of 32 bits"},
        {"table\t1\t\tn", "the object OID is no number of 32 bits"},
        {"table\t1\t2\t", "the name is empty or holds a '/' or a control character"},
        {"table\t1\t2\t../x", "the name is empty or holds a '/' or a control character"},
        {"table\t1\t2", "fewer than four tab-separated fields"},
        {"", "fewer than four tab-separated fields"},
    };
    for (const Case& c : cases) {
        std::string reason;
        const auto entry = parseManifestLine(c.line, &reason);
        EXPECT_EQ(entry.has_value(), c.reason.empty()) << c.line;
        EXPECT_EQ(reason, c.reason) << c.line;
    }
    const auto entry = parseManifestLine("schema\t16384\t2200\timport_public", nullptr);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->owner, (FileOwner{FileOwnerKind::kSchema, 16384, 2200}));
    EXPECT_EQ(entry->name, "import_public");
}

TEST(FileManifest, EveryNameAClaimHandsOutComesBack) {
    // The names safeFileName makes of odd bytes: high bytes, quotes, blanks, dots.
    for (const std::string& raw :
         {std::string("public_t"), std::string("My Schema_\xc3\x84 t.p1"),
          std::string("s_a\"b'c*?$|\\"), std::string("\n\t/.."), std::string("s_\xff\xfe")}) {
        const ManifestEntry entry{{FileOwnerKind::kTable, 4000000000u, 3000000001u},
                                  safeFileName(raw, 3000000001u)};
        std::string line = formatManifestLine(entry);
        ASSERT_EQ(line.back(), '\n');
        line.pop_back();
        const auto back = parseManifestLine(line, nullptr);
        ASSERT_TRUE(back) << line;
        EXPECT_EQ(back->name, entry.name);
        EXPECT_EQ(back->owner, entry.owner);
    }
}

TEST(FileManifest, AMissingManifestIsAnEmptyOne) {
    TempDir dir;
    const ManifestContents contents = readFileManifest(dir.path());
    EXPECT_FALSE(contents.exists);
    EXPECT_TRUE(contents.entries.empty());
    EXPECT_TRUE(contents.problems.empty());
    // The first entry makes the file, with a comment on top that a reader skips.
    appendFileManifest(dir.path(), {{FileOwnerKind::kTable, 1, 2}, "s_t"}, false);
    appendFileManifest(dir.path(), {{FileOwnerKind::kSchema, 1, 3}, "import_s"}, false);
    const std::string text = dir.readFile(kFileManifestName);
    EXPECT_EQ(text.front(), '#');
    EXPECT_NE(text.find("\ntable\t1\t2\ts_t\nschema\t1\t3\timport_s\n"), std::string::npos) << text;
    const ManifestContents back = readFileManifest(dir.path());
    EXPECT_TRUE(back.exists);
    EXPECT_TRUE(back.problems.empty());
    ASSERT_EQ(back.entries.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/" + kFileManifestName + ".tmp"));
}

}  // namespace
}  // namespace vorn::test
