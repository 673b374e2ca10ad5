#include "base/file_logger.h"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <boost/filesystem.hpp>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

using test::ScopedWorkingDir;
using test::TempDir;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "the last line lacks its newline";
    return lines;
}

TEST(FileLoggerTest, WritesOneStampedLinePerMessageAtItsLevel) {
    TempDir dir;
    ScopedWorkingDir cwd(dir.path());  // the constructor opens "log/vorn.log" first
    FileLogger log("vorn.log");
    log.open(dir.path().c_str());
    ASSERT_TRUE(log.isOpen());

    struct Case {
        std::function<void()> call;
        std::string line;  // after the time stamp
    };
    const std::vector<Case> cases = {
        {[&] { log.info("msg"); }, "[info] msg"},
        {[&] { log.warn("msg"); }, "[warning] msg"},
        {[&] { log.error("msg"); }, "[error] msg"},
        // Messages are text, not format strings.
        {[&] { log.info("50% {} done {:d}"); }, "[info] 50% {} done {:d}"},
        {[&] { log.infoFormatted("table {}.{} rows {}", "s", "t", 42); },
         "[info] table s.t rows 42"},
        {[&] { log.warnFormatted("signal {}", 1); }, "[warning] signal 1"},
        {[&] { log.errorFormatted("{}: {}", "pg_class", "bad"); }, "[error] pg_class: bad"},
    };
    for (const auto& c : cases)
        c.call();

    // Flushed after every message: readable while the logger is still open.
    const auto lines = linesOf(dir.readFile("vorn.log"));
    ASSERT_EQ(lines.size(), cases.size());
    const std::regex stamp(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] (.*)$)");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, stamp)) << lines[i];
        EXPECT_EQ(m[1].str(), cases[i].line);
    }
}

TEST(FileLoggerTest, CreatesTheLogDirectoryBelowTheWorkingDirectory) {
    TempDir dir;
    ScopedWorkingDir cwd(dir.path());
    FileLogger log("vorn.log");
    ASSERT_TRUE(log.isOpen());
    EXPECT_TRUE(boost::filesystem::is_directory(dir.path() + "/log"));
    log.info("first");
    EXPECT_NE(dir.readFile("log/vorn.log").find("] [info] first\n"), std::string::npos);
}

TEST(FileLoggerTest, CreatesNestedDirectoriesGivenToOpen) {
    TempDir dir;
    ScopedWorkingDir cwd(dir.path());
    FileLogger log("unload_table.log");
    log.open((dir.path() + "/a/b").c_str());
    ASSERT_TRUE(log.isOpen());
    log.error("x");
    EXPECT_EQ(linesOf(dir.readFile("a/b/unload_table.log")).size(), 1u);
}

TEST(FileLoggerTest, AppendsAcrossOpenings) {
    TempDir dir;
    ScopedWorkingDir cwd(dir.path());
    dir.writeFile("log/vorn.log", "old line\n");
    {
        FileLogger log("vorn.log");
        log.info("first run");
    }
    {
        FileLogger log("vorn.log");
        log.info("second run");
    }
    const auto lines = linesOf(dir.readFile("log/vorn.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "old line");
    EXPECT_TRUE(lines[1].ends_with("] [info] first run")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with("] [info] second run")) << lines[2];
}

TEST(FileLoggerTest, StaysSilentWhenTheLogDirectoryIsAPlainFile) {
    TempDir dir;
    ScopedWorkingDir cwd(dir.path());
    dir.writeFile("log", "not a directory\n");

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    FileLogger log("vorn.log");
    log.info("lost");
    log.warnFormatted("lost {}", 2);
    log.error("lost");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_FALSE(log.isOpen());
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(dir.readFile("log"), "not a directory\n");
}

TEST(FileLoggerTest, TwoLoggersNamedAlikeKeepTheirLinesApart) {
    TempDir dir;
    ScopedWorkingDir cwd(dir.path());
    FileLogger main("vorn.log");
    FileLogger unload("unload_table.log");
    ASSERT_TRUE(main.isOpen());
    ASSERT_TRUE(unload.isOpen());
    main.info("start-up");
    unload.info("table s.t: 3 rows");
    main.info("parameters");

    EXPECT_EQ(spdlog::get("vorn"), nullptr) << "holders must stay out of spdlog's registry";
    const auto mainLines = linesOf(dir.readFile("log/vorn.log"));
    const auto unloadLines = linesOf(dir.readFile("log/unload_table.log"));
    ASSERT_EQ(mainLines.size(), 2u);
    ASSERT_EQ(unloadLines.size(), 1u);
    EXPECT_TRUE(unloadLines[0].ends_with("table s.t: 3 rows"));
}

// Messages name tables and columns: a log read with tail in a terminal shows their control
// bytes escaped; the line feeds of a message of several lines are ours and stay.
TEST(FileLoggerTest, ControlBytesAreEscapedLineFeedsKept) {
    TempDir dir;
    ScopedWorkingDir cwd(dir.path());
    FileLogger log("unload_table.log");
    log.warn("table \"esc\x1b]0;pwned\x07name\" unloaded\nsecond line\r");
    const auto lines = linesOf(dir.readFile("log/unload_table.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with("] [warning] table \"esc\\x1b]0;pwned\\x07name\" unloaded"))
        << lines[0];
    EXPECT_EQ(lines[1], "second line\\x0d");
}

}  // namespace
}  // namespace vorn
