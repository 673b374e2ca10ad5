// The real binary with piped input: what only a separate process shows (the line editor's
// plain reading of a non-terminal, the 200-byte cut, the exit status, a closed pipe).

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "shell/banner.h"
#include "tests/shell/support/shell_harness.h"

namespace vorn::test {
namespace {

const std::string kHelpFirstLines = "\n[INIT DATA DICTIONARY]\n  bootstrap\n";

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST(ShellBinary, PipedScriptPrintsNoPromptAndExitsZero) {
    TempDir dir;
    const ProcessResult r = runVorn(dir.path(), "help\nlist db\nexit\nhelp\n");
    EXPECT_EQ(r.status, 0) << r.err;
    // The banner opens the output; no prompt is echoed, and nothing after "exit" runs.
    EXPECT_EQ(r.out.rfind("\n" + std::string(81, '*') + "\n\n  VORN for PostgreSQL, Release ", 0),
              0u)
        << r.out;
    EXPECT_EQ(r.out.find("VORN >"), std::string::npos) << r.out;
    EXPECT_EQ(count(r.out, kHelpFirstLines), 1u) << r.out;
    const std::string tail =
        "       oid dbname          encoding       \n"
        "---------- --------------- ---------------\n\n\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.err.find("callstack"), std::string::npos) << r.err;
    // Piped input has no terminal attributes: no complaint about them.
    EXPECT_EQ(r.err.find("tcsetattr"), std::string::npos) << r.err;

    const std::string log = dir.readFile("log/vorn.log");
    EXPECT_NE(log.find(std::string("Starting up VORN for PostgreSQL Version: ") + releaseText() +
                       " on Linux."),
              std::string::npos)
        << log;
}

TEST(ShellBinary, EndOfInputEndsTheLoopWithStatusZero) {
    TempDir dir;
    // The last line has no newline and there is no exit.
    const ProcessResult r = runVorn(dir.path(), "reload config\nlist");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string tail = "Loading config files...\n unknown command.\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}

// A configuration that cannot be used is said on the console, right after the banner: a file
// that is missing or not well-formed with its folder and the parser's message (start-up goes
// on with the defaults); a block size that is not a page size with the value, and start-up
// stops there, so that no page is read with it.
TEST(ShellBinary, AConfigurationThatCannotBeUsedIsSaidOnTheConsole) {
    const std::string defaults =
        ". Every setting takes its default.\nLoading dict from cache file...\n";
    struct Case {
        const char* name;
        std::optional<std::string> file;  // conf/vorn.ini; nullopt: none
        std::string afterBanner;          // "%d" stands for the work folder
        bool startsUp;
    };
    const Case cases[] = {
        {"missing", std::nullopt,
         "Config file conf/vorn.ini in folder \"%d/conf\" cannot be used: conf/vorn.ini: cannot "
         "open file, OS error: No such file or directory" +
             defaults,
         true},
        {"not well-formed", "<vorn><database><pgdata_dir>%d/data</pgdata_dir></vorn>",
         "Config file conf/vorn.ini in folder \"%d/conf\" cannot be used: conf/vorn.ini(1): "
         "unexpected end of data" +
             defaults,
         true},
        {"block size 1234",
         "<vorn><database><pgdata_dir>%d/data</pgdata_dir><db_block_size>1234</db_block_size>"
         "</database></vorn>",
         "Invalid database.db_block_size '1234' in conf/vorn.ini: the block size must be 2048, "
         "4096, 8192, 16384 or 32768.\n"
         "The configuration is not used: correct conf/vorn.ini and start vorn again.\n\n"
         "       oid dbname ",
         false},
        // Refused settings take their defaults: said, since the files would not be what the
        // user asked for.
        {"unknown format and delimiter",
         "<vorn><export><export_format>bin</export_format><export_text><field_delim_char>,,"
         "</field_delim_char></export_text></export></vorn>",
         "Invalid export.export_format 'bin' in conf/vorn.ini: the format must be TEXT, BINARY, "
         "DB or CSV; TEXT is used.\n"
         "Invalid export.export_text.field_delim_char ',,' in conf/vorn.ini: COPY cannot use it "
         "as a delimiter (one byte, not a backslash, '.', a lower-case letter, a digit, CR or "
         "LF); '|' is used.\nLoading dict from cache file...\n",
         true},
    };
    const auto inFolder = [](std::string text, const std::string& dir) {
        for (size_t at = text.find("%d"); at != std::string::npos; at = text.find("%d", at))
            text.replace(at, 2, dir);
        return text;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (c.file)
            dir.writeFile("conf/vorn.ini", inFolder(*c.file, dir.path()));
        const ProcessResult r = runVorn(dir.path(), "list db\nbootstrap\nexit\n");
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string out = screenText(r.out);
        const std::string banner = std::string(81, '*') + "\n\n";
        const size_t start = out.rfind(banner);
        ASSERT_NE(start, std::string::npos) << out;
        const std::string expected = inFolder(c.afterBanner, dir.path());
        EXPECT_EQ(out.substr(start + banner.size(), expected.size()), expected) << out;
        EXPECT_EQ(out.find("Export Options:") != std::string::npos, c.startsUp) << out;
        // The data directory of a configuration not used is never looked at.
        EXPECT_EQ(out.find(dir.path() + "/data"), std::string::npos) << out;
        EXPECT_NE(dir.readFile("log/vorn.log").find("[error] "), std::string::npos);
    }
}

TEST(ShellBinary, LinesAreCutAt200Bytes) {
    TempDir dir;
    // "desc " and 194 x end at byte 199; byte 200 is the first of the two bytes of 'é'.
    const std::string name = std::string(194, 'x') + "é" + std::string(100, 'z');
    const ProcessResult r = runVorn(dir.path(), "desc " + name + "\nexit\n");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string expected = "\nTable " + std::string(194, 'x') + "\xc3 not exist\n\n";
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
}

TEST(ShellBinary, ClosedStandardOutputEndsWithStatusOne) {
    TempDir dir;
    const ProcessResult r = runVorn(dir.path(), "help\nlist db\nexit\n", true);
    EXPECT_EQ(r.status, 1) << r.err;
    // Ended on purpose, not by a signal: no crash report.
    EXPECT_EQ(r.err.find("callstack"), std::string::npos) << r.err;
    const std::string log = dir.readFile("log/vorn.log");
    EXPECT_NE(log.find("[error] Standard output cannot be written any more"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("crash"), std::string::npos) << log;
}

}  // namespace
}  // namespace vorn::test
