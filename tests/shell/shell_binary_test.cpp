// The real binary with piped input: what only a separate process shows (the line editor's
// plain reading of a non-terminal, the 200-byte cut, the exit status, a closed pipe).

#include <gtest/gtest.h>

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
