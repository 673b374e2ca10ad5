// The one naming rule of a table's files: stems as the tables name them, unsafe bytes
// replaced with the OID added, and no two tables of a run on one name.

#include "export/file_names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "export/data_writer.h"
#include "tests/export/export_test_env.h"

namespace vorn::test {
namespace {

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

TEST(TableFileName, SecondTableOnOneNameGetsItsOidAndAWarning) {
    ExportEnv env;
    // "a_b" "c" and "a" "b_c" meet on one stem.
    EXPECT_EQ(tableFileName("a_b_c", 100), "a_b_c");
    EXPECT_EQ(tableFileName("a_b_c", 100), "a_b_c");  // the same table again: its own name
    testing::internal::CaptureStdout();
    EXPECT_EQ(tableFileName("a_b_c", 200), "a_b_c_200");
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("\"a_b_c\" is already used by the table with OID 100"),
              std::string::npos)
        << console;
    EXPECT_NE(env.log().find("written as \"a_b_c_200\""), std::string::npos) << env.log();
    // A table really named like the renamed one still gets a name of its own.
    testing::internal::CaptureStdout();
    EXPECT_EQ(tableFileName("a_b_c_200", 300), "a_b_c_200_300");
    EXPECT_EQ(tableFileName("a_b_c", 300), "a_b_c_300");
    testing::internal::GetCapturedStdout();

    resetTableFileNames();
    EXPECT_EQ(tableFileName("a_b_c", 200), "a_b_c");  // a new run
}

TEST(TableFileName, ParallelClaimsNeverShareAName) {
    ExportEnv env;
    testing::internal::CaptureStdout();
    constexpr int kThreads = 8;
    std::vector<std::string> names(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&names, i] { names[i] = tableFileName("s_t", 1000 + i); });
    for (std::thread& t : threads)
        t.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), size_t(kThreads));
}

}  // namespace
}  // namespace vorn::test
