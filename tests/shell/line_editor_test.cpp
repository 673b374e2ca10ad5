#include <gtest/gtest.h>

// clang-format off
#include <stdio.h>
#include <readline/history.h>
// clang-format on
#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "shell/completion.h"
#include "shell/ui_line_editor.h"
#include "tests/shell/support/shell_harness.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

// Standard input read from a file for the life of the object (the test process may have no
// standard input at all).
class StdinFromFile {
  public:
    explicit StdinFromFile(const std::string& path) {
        saved_ = dup(STDIN_FILENO);
        const int fd = open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << path;
        dup2(fd, STDIN_FILENO);
        close(fd);
        __fpurge(stdin);
        clearerr(stdin);
    }
    ~StdinFromFile() {
        __fpurge(stdin);
        if (saved_ >= 0) {
            dup2(saved_, STDIN_FILENO);
            close(saved_);
        } else {
            close(STDIN_FILENO);
        }
        clearerr(stdin);
    }

  private:
    int saved_ = -1;
};

std::vector<std::string> historyLines() {
    std::vector<std::string> lines;
    for (int i = 0; i < history_length; ++i) {
        const HIST_ENTRY* entry = history_get(history_base + i);
        lines.push_back(entry != nullptr && entry->line != nullptr ? entry->line : "<null>");
    }
    return lines;
}

std::string repeat(const std::string& text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += text;
    return out;
}

// Without a terminal: lines as they come, no prompt on standard output, the loop's 200-byte
// cut (inside a character, too), the whole line in the history.
TEST(LineEditor, ReadsPlainLinesWhenInputIsNoTerminal) {
    const std::string longAscii(250, 'a');
    const std::string wide = repeat("表", 70);  // 210 bytes
    TempDir dir;
    dir.writeFile("input.txt", "list db\n\n" + longAscii + "\n" + wide +
                                   "\nlist db\nlist db\nlast line without newline");
    StdinFromFile input(dir.path() + "/input.txt");
    clear_history();

    UiLineEditor editor(completionCallback, hintsCallback);
    CapturedStdout out;
    std::vector<std::string> lines;
    char buffer[201];
    for (int call = 0; call < 10; ++call) {
        std::memset(buffer, 0, sizeof buffer);
        if (call == 1)
            std::strcpy(buffer, "untouched");
        if (!editor.readLine("VORN > ", buffer, 200))
            break;
        lines.push_back(buffer);
    }
    EXPECT_EQ(out.finish(), "");

    const std::vector<std::string> expected = {
        "list db", "untouched", std::string(200, 'a'),      wide.substr(0, 200),
        "list db", "list db",   "last line without newline"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(lines[3].size(), 200u);  // 66 characters and two bytes of the 67th

    // Empty lines stay out, long lines stay whole, a line repeated at once is kept once.
    const std::vector<std::string> history = {"list db", longAscii, wide, "list db",
                                              "last line without newline"};
    EXPECT_EQ(historyLines(), history);

    // The end of input stays the end.
    EXPECT_FALSE(editor.readLine("VORN > ", buffer, 200));
}

TEST(LineEditor, HistoryKeepsTheLastHundredLines) {
    std::string text;
    for (int i = 1; i <= 150; ++i)
        text += "line " + std::to_string(i) + "\n";
    TempDir dir;
    dir.writeFile("input.txt", text);
    StdinFromFile input(dir.path() + "/input.txt");
    clear_history();

    UiLineEditor editor(completionCallback, hintsCallback);
    char buffer[201] = {};
    while (editor.readLine("", buffer, 200))
        std::memset(buffer, 0, sizeof buffer);
    const std::vector<std::string> history = historyLines();
    ASSERT_EQ(history.size(), 100u);
    EXPECT_EQ(history.front(), "line 51");
    EXPECT_EQ(history.back(), "line 150");
}

}  // namespace
}  // namespace vorn::test
