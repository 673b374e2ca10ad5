// Standard output in a file gets what a terminal shows, plain: the real binary runs the same
// bootstrap and unloads on the deb15 fixture once with its standard output in a file and once
// on a terminal. The file holds no ESC and no carriage return; the terminal gets its colours
// and its progress bar; and what the terminal shows, line by line, is what the file holds.

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/shell/support/shell_harness.h"
#include "tests/support/fixture_skip.h"

namespace vorn::test {
namespace {

// Commands with a bar each (start-up, bootstrap, every table) and error lines in red (the
// missing export directory at start-up, the warnings of edge_text and all_types).
const std::string kCommands =
    "bootstrap\n"
    "use vorn\n"
    "unload table edge_text\n"
    "unload table all_types\n"
    "unload schema many\n"
    "exit\n";

// The run's clock readings, which differ from run to run.
std::string withoutTimes(const std::string& text) {
    static const std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
    static const std::regex seconds("\\(\\d+\\.\\d+ secs\\)");
    return std::regex_replace(std::regex_replace(text, stamp, "<time>"), seconds, "(<secs>)");
}

// The bytes without the colour codes (SGR sequences) a terminal takes as no text.
std::string withoutColours(const std::string& bytes) {
    static const std::regex sgr("\x1b\\[[0-9;]*m");
    return std::regex_replace(bytes, sgr, "");
}

// Each run in a work folder of its own without dump/, so that start-up says in red that the
// export directory is missing (the first unload makes it).
ProcessResult runIn(const FixtureManifest& m, bool terminal) {
    TempDir dir;
    dir.writeFile("conf/vorn.ini", configFileText(fixtureSettings(m)));
    return terminal ? runVornOnTerminal(dir.path(), kCommands) : runVorn(dir.path(), kCommands);
}

TEST(PlainOutput, AFileGetsTheLinesOfTheTerminalWithoutColoursOrBar) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    const ProcessResult file = runIn(m, false);
    ASSERT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(file.out.find('\x1b'), std::string::npos) << file.out;
    EXPECT_EQ(file.out.find('\r'), std::string::npos) << file.out;
    for (const char* line :
         {"Export directory \"dump\" is invalid: No such file or directory.\n",
          "Bootstrap finish.\n", " unloaded 12 rows (", " unloaded 6 rows, incomplete (",
          "Table \"public\".\"all_types\": no text output for columns ",
          "========== Unload \"many\": 20 total, 20 success, 0 incomplete, 0 error"})
        EXPECT_NE(file.out.find(line), std::string::npos) << line << "\n" << file.out;

    const ProcessResult terminal = runIn(m, true);
    ASSERT_EQ(terminal.status, 0) << terminal.err;
    for (const char* drawn :
         {"\x1b[90m*****", "\x1b[31;2mExport directory \"dump\" is invalid",
          "\x1b[31;2mTable \"public\".\"all_types\": no text output", "\x1b[0m",
          "\r[****************************************************************] 100.0% "})
        EXPECT_NE(terminal.out.find(drawn), std::string::npos) << drawn << "\n" << terminal.out;

    EXPECT_EQ(withoutTimes(screenText(withoutColours(terminal.out))), withoutTimes(file.out));
}

}  // namespace
}  // namespace vorn::test
