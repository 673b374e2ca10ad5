// Names from the data directory reach the terminal escaped: the variant fixtures hold the
// table vorn.public E'esc\x1b]0;pwned\x07name', which sets the terminal's title when printed
// as it is. The real binary lists it, describes it and unloads its schema; nothing of it
// may reach standard output or the logs as a raw ESC or BEL.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/shell/support/shell_harness.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

const std::string kRawName = "esc\x1b]0;pwned\x07name";
const std::string kShownName = "esc\\x1b]0;pwned\\x07name";

// Every ESC in `text` that starts none of our own sequences (the warning colours, the
// progress bar's line wipe), and every other control byte but line feed and carriage
// return (the progress bar's), as "offset: byte".
std::string foreignControlBytes(const std::string& text) {
    std::string found;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != 0x7F)
            continue;
        if (text[i] == '\n' || text[i] == '\r')
            continue;
        if (text[i] == '\x1b' &&
            (text.compare(i, 7, "\x1b[31;2m") == 0 || text.compare(i, 4, "\x1b[0m") == 0 ||
             text.compare(i, 3, "\x1b[K") == 0 || text.compare(i, 4, "\x1b[2K") == 0))
            continue;
        found += std::to_string(i) + ": " + std::to_string(byte) + "\n";
    }
    return found;
}

class UntrustedNames : public ::testing::TestWithParam<std::string> {};

TEST_P(UntrustedNames, ListDescAndUnloadShowTheEscapeSequenceEscaped) {
    VORN_FIXTURE_OR_SKIP(m, GetParam());
    const FixtureTable& table = m.table("vorn", "public", kRawName);
    TempDir dir;
    dir.writeFile("conf/vorn.ini", configFileText(fixtureSettings(m)));
    std::filesystem::create_directories(dir.path() + "/dump");

    const ProcessResult r = runVorn(dir.path(),
                                    "bootstrap\n"
                                    "use vorn\n"
                                    "list table esc\n"
                                    "desc " +
                                        kRawName +
                                        "\n"
                                        "unload schema public\n"
                                        "unload table " +
                                        kRawName + "\nexit\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(foreignControlBytes(r.out), "") << r.out;
    EXPECT_EQ(r.out.find(kRawName), std::string::npos);

    const std::string out = screenText(r.out);
    for (const std::string& expected : {
             // list table: the escaped name, padded as it is shown.
             fmt::format("{:>10} {:>10} {:>10} {:<30}\n", table.databaseOid, 2200, table.oid,
                         kShownName),
             fmt::format("\nOID: {}, Toast OID: 0\n", table.oid),
             " unloading table " + kShownName + "...\n",
             " unloading table \"public\".\"" + kShownName + "\" in parallel 1...\n",
             std::string(" unloaded 2 rows ("),
         }) {
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    }

    for (const char* log : {"log/vorn.log", "log/unload_table.log"})
        EXPECT_EQ(foreignControlBytes(dir.readFile(log)), "") << log;
    const std::string unloads = dir.readFile("log/unload_table.log");
    EXPECT_NE(unloads.find("table \"public\".\"" + kShownName + "\" unloaded 2 rows"),
              std::string::npos)
        << unloads;
}

// With no writer for CSV each table is skipped, and the messages that name it (the skip, the
// summary's list, the lines of parallel workers) show it escaped too.
TEST_P(UntrustedNames, SkippedTablesAreNamedEscaped) {
    VORN_FIXTURE_OR_SKIP(m, GetParam());
    TempDir dir;
    ShellSettings settings = fixtureSettings(m);
    settings.format = "CSV";
    dir.writeFile("conf/vorn.ini", configFileText(settings));
    std::filesystem::create_directories(dir.path() + "/dump");

    const ProcessResult r = runVorn(dir.path(), "bootstrap\nuse vorn\nunload table " + kRawName +
                                                    "\nunload schema public parallel 3\nexit\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(foreignControlBytes(r.out), "") << r.out;
    const std::string out = screenText(r.out);
    const std::string quoted = "\"public\".\"" + kShownName + "\"";
    for (const std::string& expected : {
             "  Export format CSV has no writer: table " + quoted + " is not unloaded.\n",
             // A worker's line: "  [NN] <time> unloading table <name>...".
             " unloading table " + kShownName + "...\n",
             "  skipped " + quoted + ": Export format CSV has no writer: table " + quoted +
                 " is not unloaded.\n",
         }) {
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    }
    EXPECT_EQ(foreignControlBytes(dir.readFile("log/unload_table.log")), "");
}

INSTANTIATE_TEST_SUITE_P(Builds, UntrustedNames, ::testing::Values("deb15v", "pg18v"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vorn::test
