// What only a terminal shows: the line editor and vorn run in a pane of a detached tmux
// server of their own, keys are sent with send-keys and the screen read with capture-pane.
// Every wait polls the screen against a deadline; nothing sleeps a fixed time.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "shell/banner.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace vorn::test {
namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

// Runs a program found in PATH and returns its standard output; `status` gets the exit
// status (-1 when it could not run).
std::string runTool(const std::vector<std::string>& args, int* status = nullptr) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        if (status != nullptr)
            *status = -1;
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);

    std::string out;
    if (spawned == 0) {
        char chunk[4096];
        ssize_t n;
        while ((n = read(pipeFds[0], chunk, sizeof chunk)) > 0)
            out.append(chunk, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int result = -1;
    if (spawned == 0) {
        int raw = 0;
        waitpid(child, &raw, 0);
        result = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    if (status != nullptr)
        *status = result;
    return out;
}

bool haveTmux() {
    int status = -1;
    runTool({"tmux", "-V"}, &status);
    return status == 0;
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::string rstrip(std::string text) {
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

// One program in a tmux pane. The pane's shell saves the terminal settings before the
// program and after it, prints "[status N]" when it ends, and then waits, so the screen can
// still be read.
class TmuxPane {
  public:
    // `program` is a shell command; it runs with no inputrc, TERM=xterm-256color and what
    // `environment` gives env(1) (for example "LC_ALL=C" or "-u LC_ALL LANG=C.UTF-8").
    TmuxPane(const std::string& dir, const std::string& program, const std::string& environment,
             int width = 120, int height = 40)
        : dir_(dir), socket_(dir + "/tmux.sock") {
        const std::string command = "stty -g > stty.before; env " + environment +
                                    " INPUTRC=/dev/null TERM=xterm-256color " + program +
                                    "; echo \"[status $?]\"; stty -g > stty.after; "
                                    "exec sleep 600";
        int status = -1;
        tmux({"new-session", "-d", "-x", std::to_string(width), "-y", std::to_string(height), "-c",
              dir, "-s", "test", command},
             &status);
        started_ = status == 0;
    }
    ~TmuxPane() { tmux({"kill-server"}); }

    bool started() const { return started_; }

    // Keys by tmux's names: "Tab", "Enter", "Up", "Left", "BSpace", "C-c" ...
    void keys(std::initializer_list<std::string> names) {
        std::vector<std::string> args = {"send-keys", "-t", "test"};
        args.insert(args.end(), names.begin(), names.end());
        tmux(args);
    }
    void type(const std::string& text) { tmux({"send-keys", "-t", "test", "-l", text}); }

    // The visible screen; wrapped rows joined with `joined`, colours as escape sequences with
    // `escapes`.
    std::string screen(bool escapes = false, bool joined = false) {
        std::vector<std::string> args = {"capture-pane", "-p", "-t", "test"};
        if (escapes)
            args.push_back("-e");
        if (joined)
            args.push_back("-J");
        return tmux(args);
    }
    std::string row(int y) {
        const std::vector<std::string> rows = splitLines(screen());
        return y < static_cast<int>(rows.size()) ? rstrip(rows[static_cast<size_t>(y)]) : "";
    }
    // The pane's title, which an OSC 0 sequence written to the pane would set.
    std::string title() { return tmux({"display-message", "-p", "-t", "test", "#{pane_title}"}); }
    int cursorX() {
        return std::stoi(tmux({"display-message", "-p", "-t", "test", "#{cursor_x}"}));
    }

    // Polls the screen until `ready` holds; records a failure with the last screen if it
    // never does.
    bool waitUntil(const std::function<bool(const std::string&)>& ready, const std::string& what,
                   bool escapes = false, bool joined = false) {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        std::string last;
        while (std::chrono::steady_clock::now() < deadline) {
            last = screen(escapes, joined);
            if (ready(last))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "timed out waiting for " << what << "; screen:\n" << last;
        return false;
    }
    bool waitFor(const std::string& text, bool escapes = false) {
        return waitUntil([&](const std::string& s) { return s.find(text) != std::string::npos; },
                         "\"" + text + "\"", escapes);
    }
    // Waits for screen row `y` to read `text` exactly (trailing blanks aside).
    bool waitForRow(int y, const std::string& text) {
        return waitUntil(
            [&](const std::string& s) {
                const std::vector<std::string> rows = splitLines(s);
                return y < static_cast<int>(rows.size()) &&
                       rstrip(rows[static_cast<size_t>(y)]) == text;
            },
            "row " + std::to_string(y) + " \"" + text + "\"");
    }

    // Terminal settings of the pane before the program and after it ended.
    std::string sttyBefore() const { return readText("stty.before"); }
    std::string sttyAfter() const { return readText("stty.after"); }

  private:
    std::string tmux(std::vector<std::string> args, int* status = nullptr) {
        args.insert(args.begin(), {"tmux", "-u", "-f", "/dev/null", "-S", socket_});
        return runTool(args, status);
    }
    std::string readText(const std::string& name) const {
        std::string text;
        FILE* file = fopen((dir_ + "/" + name).c_str(), "r");
        if (file == nullptr)
            return text;
        char chunk[512];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
            text.append(chunk, n);
        fclose(file);
        return text;
    }

    std::string dir_;
    std::string socket_;
    bool started_ = false;
};

class Terminal : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!haveTmux())
            GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
    }
    // The line editor alone, echoing each line as "[<bytes>] <line>|".
    std::unique_ptr<TmuxPane> startEcho(const std::string& environment = "LC_ALL=C",
                                        int width = 120) {
        auto pane =
            std::make_unique<TmuxPane>(dir_.path(), VORN_LINE_EDITOR_ECHO, environment, width);
        EXPECT_TRUE(pane->started());
        pane->waitForRow(0, "echo>");
        return pane;
    }
    std::unique_ptr<TmuxPane> startVorn() {
        auto pane = std::make_unique<TmuxPane>(dir_.path(), VORN_BINARY, "LC_ALL=C");
        EXPECT_TRUE(pane->started());
        pane->waitFor("VORN >");  // capture-pane drops trailing blanks
        return pane;
    }

    TempDir dir_;
};

TEST_F(Terminal, TabCyclesThroughTheCandidatesThenTheTypedText) {
    auto pane = startEcho();
    pane->type("UN");
    const char* cycle[] = {
        "unload database", "unload schema", "unload table", "unload object", "UN",
        "unload database"};
    for (const char* shown : cycle) {
        pane->keys({"Tab"});
        pane->waitForRow(0, std::string("echo> ") + shown);
    }
    // Any other key takes the candidate shown; Enter returns it.
    pane->type(" x");
    pane->keys({"Enter"});
    pane->waitForRow(1, "[17] unload database x|");

    // A single candidate is taken at once, without a blank after it.
    pane->type("boot");
    pane->keys({"Tab"});
    pane->waitForRow(2, "echo> bootstrap");
    EXPECT_EQ(pane->cursorX(), 15);
}

TEST_F(Terminal, HintIsYellowStaysBehindTheTextAndGoesOnEnter) {
    auto pane = startEcho();
    pane->type("set db ");
    pane->waitFor("echo> set db  <db_name>");
    pane->waitFor("33m <db_name>", true);
    EXPECT_EQ(pane->cursorX(), 13);  // the hint does not move the cursor

    pane->type("x");
    pane->waitForRow(0, "echo> set db x <db_name>");
    EXPECT_EQ(pane->cursorX(), 14);
    // Typed inside the line: the text moves, the hint is drawn once, after its end.
    pane->keys({"Left"});
    pane->type("y");
    pane->waitForRow(0, "echo> set db yx <db_name>");
    EXPECT_EQ(pane->cursorX(), 14);
    // A text that matches no command loses the hint.
    pane->keys({"C-a"});
    pane->type("re");
    pane->waitForRow(0, "echo> reset db yx");

    pane->keys({"C-a", "C-d", "C-d", "Enter"});
    pane->waitForRow(1, "[9] set db yx|");
    EXPECT_EQ(pane->row(0), "echo> set db yx");
}

TEST_F(Terminal, HintIsCutToTheRowAndFollowsAWrappedLine) {
    auto pane = startEcho("LC_ALL=C", 30);
    pane->type("set db abcdefghij");
    // 23 columns of text leave 7; the last one stays free.
    pane->waitForRow(0, "echo> set db abcdefghij <db_n");
    EXPECT_EQ(pane->row(1), "");
    pane->type("klmnopqrstu");
    pane->waitForRow(1, "rstu <db_name>");
    EXPECT_EQ(pane->row(0), "echo> set db abcdefghijklmnopq");
    // Back to one row: nothing is left on the second.
    pane->keys({"BSpace", "BSpace", "BSpace", "BSpace", "BSpace", "BSpace", "BSpace", "BSpace"});
    pane->waitForRow(0, "echo> set db abcdefghijklm <d");
    EXPECT_EQ(pane->row(1), "");
}

TEST_F(Terminal, HistoryRecallsEarlierLines) {
    auto pane = startEcho();
    pane->type("list db");
    pane->keys({"Enter"});
    pane->waitFor("[7] list db|");
    pane->keys({"Enter"});  // an empty line is not remembered
    pane->waitFor("[0] |");
    pane->type("help");
    pane->keys({"Enter"});
    pane->waitFor("[4] help|");

    pane->keys({"Up"});
    pane->waitForRow(6, "echo> help");
    pane->keys({"Up"});
    pane->waitForRow(6, "echo> list db");
    pane->keys({"Down"});
    pane->waitForRow(6, "echo> help");
    pane->keys({"Up", "Enter"});
    pane->waitForRow(7, "[7] list db|");
}

TEST_F(Terminal, WideCharactersAreEditedWholeInAnyLocale) {
    auto pane = startEcho("LC_ALL=C");
    pane->type("表格名");
    pane->keys({"BSpace"});
    pane->type("é");
    pane->keys({"Left", "Left"});
    pane->type("ü");
    pane->waitForRow(0, "echo> 表ü格é");
    EXPECT_EQ(pane->cursorX(), 9);  // two columns for 表, one for ü
    pane->keys({"Enter"});
    pane->waitForRow(1, "[10] 表ü格é|");
}

TEST_F(Terminal, LongLineIsCutAtTwoHundredBytesButRecalledWhole) {
    std::string wide;
    for (int i = 0; i < 70; ++i)
        wide += "表";  // 210 bytes, 140 columns
    auto pane = startEcho();
    pane->type(wide);
    pane->keys({"Enter"});
    pane->waitFor("[200] ");
    pane->keys({"Up"});
    // The recalled line wraps; joined again it holds all 70 characters.
    pane->waitUntil(
        [&](const std::string& s) {
            const size_t prompt = s.rfind("echo> ");
            return prompt != std::string::npos && countOf(s.substr(prompt), "表") == 70;
        },
        "the whole line recalled", false, true);
}

TEST_F(Terminal, EndOfInputLeavesTheProcessLocaleAlone) {
    // readline sets LC_CTYPE from the environment while it starts; the editor puts the
    // process's own back.
    auto pane = startEcho("-u LC_ALL LANG=C.UTF-8 LC_CTYPE=C.UTF-8");
    pane->type("表");
    pane->keys({"Enter"});
    pane->waitFor("[3] 表|");
    pane->keys({"C-d"});
    pane->waitFor("end of input, ctype C\n");
    pane->waitFor("[status 0]");
}

TEST_F(Terminal, VornBannerIsColoured) {
    auto pane = startVorn();
    const std::string screen = pane->screen(true);
    EXPECT_NE(screen.find("\033[90m" + std::string(81, '*')), std::string::npos) << screen;
    EXPECT_NE(screen.find("\033[96m  VORN for PostgreSQL"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\033[92m" + std::string(releaseText())), std::string::npos) << screen;
    EXPECT_NE(screen.find("\033[92m" + buildDate()), std::string::npos) << screen;
}

// Typed at a terminal with standard output in a file (`vorn > out.txt`): the lines are read
// plainly, as the terminal itself echoes them, and the file gets what vorn printed without
// the line editor's escape sequences and carriage returns.
TEST_F(Terminal, VornWithOutputInAFileWritesNoEditorSequencesThere) {
    auto pane = std::make_unique<TmuxPane>(dir_.path(), std::string(VORN_BINARY) + " > out.txt",
                                           "LC_ALL=C");
    ASSERT_TRUE(pane->started());
    pane->type("list db");
    pane->keys({"Enter"});
    pane->type("exit");
    pane->keys({"Enter"});
    pane->waitFor("[status 0]");
    EXPECT_NE(pane->screen().find("list db\nexit\n"), std::string::npos) << pane->screen();
    const std::string out = dir_.readFile("out.txt");
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_EQ(out.find('\r'), std::string::npos) << out;
    EXPECT_NE(out.find("       oid dbname          encoding       \n"), std::string::npos) << out;
}

TEST_F(Terminal, VornCompletesNamesOfTheCurrentSchema) {
    dir_.writeFile("dict/pg_db.dat", "0|5|postgres|6||1663\n0|16384|shop|6||1663\n");
    dir_.writeFile("dict/pg_schema.dat", "5|2200|public\n16384|2200|public\n");
    dir_.writeFile("dict/pg_class.dat",
                   "5|2200|16390|elsewhere|0|r|1|16390|0|0\n"
                   "16384|2200|16501|sales_order|0|r|1|16501|0|0\n"
                   "16384|2200|16502|orders|0|r|1|16502|0|0\n"
                   "16384|2200|16503|客户订单|0|r|1|16503|0|0\n");
    dir_.writeFile("dict/pg_attr.dat", "");
    auto pane = startVorn();
    pane->type("SET DB sh");
    pane->keys({"Tab"});
    pane->waitFor("VORN > set db shop");
    pane->keys({"Enter"});
    // set db chose the schema "public" too; completion sees it.
    pane->waitFor("shop.public@VORN >");
    pane->type("DESC 客");
    pane->keys({"Tab"});
    pane->waitFor("shop.public@VORN > desc 客户订单");
    pane->keys({"C-u"});
    pane->type("desc or");
    pane->keys({"Tab", "Tab"});
    pane->waitFor("shop.public@VORN > desc orders");
}

// A table whose name holds the sequence that sets the terminal's title. Listed, it shows
// escaped; offered by Tab it goes into the line as it is, so that the command finds the
// table, and readline draws its control bytes as ^[ and ^G. The title never changes.
TEST_F(Terminal, VornNeverWritesTheEscapeSequenceOfATableName) {
    dir_.writeFile("dict/pg_db.dat", "0|16384|shop|6||1663\n");
    dir_.writeFile("dict/pg_schema.dat", "16384|2200|public\n");
    dir_.writeFile("dict/pg_class.dat",
                   "16384|2200|16501|esc\x1b]0;pwned\x07name|0|r|1|16501|0|0\n");
    dir_.writeFile("dict/pg_attr.dat", "");
    auto pane = startVorn();
    const std::string title = pane->title();
    ASSERT_EQ(title.find("pwned"), std::string::npos);
    pane->type("set db shop");
    pane->keys({"Enter"});
    pane->waitFor("shop.public@VORN >");
    pane->type("list table");
    pane->keys({"Enter"});
    pane->waitFor("     16501 esc\\x1b]0;pwned\\x07name");

    pane->type("desc esc");
    pane->keys({"Tab"});
    pane->waitFor("shop.public@VORN > desc \"esc^[]0;pwned^Gname\"");
    pane->keys({"Enter"});
    pane->waitFor("OID: 16501, Toast OID: 0");
    EXPECT_EQ(pane->title(), title);
    EXPECT_EQ(pane->screen().find("pwned\x07"), std::string::npos);
}

TEST_F(Terminal, VornCtrlCEndsWithStatusZeroAndRestoresTheTerminal) {
    auto pane = startVorn();
    pane->type("set db x");
    pane->waitFor("VORN > set db x <db_name>");
    pane->keys({"C-c"});
    pane->waitFor("[status 0]");
    // The abandoned line keeps no hint, and what follows starts a line of its own.
    const std::string screen = pane->screen();
    EXPECT_NE(screen.find("VORN > set db x^C\n[status 0]"), std::string::npos) << screen;

    ASSERT_TRUE(pane->waitUntil([&](const std::string&) { return !pane->sttyAfter().empty(); },
                                "the settings after the program"));
    EXPECT_FALSE(pane->sttyBefore().empty());
    EXPECT_EQ(pane->sttyAfter(), pane->sttyBefore());
    EXPECT_NE(dir_.readFile("log/vorn.log").find("VORN exit by CTRL + C."), std::string::npos);
}

}  // namespace
}  // namespace vorn::test
