#include "base/signals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace vorn {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Long enough for gdb to attach to a sanitizer build on a loaded machine.
constexpr auto kChildDeadline = 60s;

// One run of the signal child in its own working directory.
struct Child {
    test::TempDir dir;
    pid_t pid = -1;
    int out = -1;  // reading end of the child's standard output
    std::string output;
    std::string ending;  // "exit N", "signal N" or "timeout"
    Clock::duration elapsed{};

    std::string log() const { return dir.readFile("log/vorn.log"); }
    std::string errors() const { return dir.readFile("stderr.txt"); }
};

void start(Child& child, const std::string& mode) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const std::string errPath = child.dir.path() + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string program = VORN_SIGNAL_CHILD;
    std::vector<char*> argv = {const_cast<char*>(program.c_str()),
                               const_cast<char*>(child.dir.path().c_str()),
                               const_cast<char*>(mode.c_str()), nullptr};
    const int rc =
        posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    child.out = fds[0];
    ASSERT_EQ(rc, 0) << program;
}

// Reads the child's output until it holds `marker` or the output ends.
bool readUntil(Child& child, const std::string& marker, Clock::time_point deadline) {
    char buf[4096];
    while (child.output.find(marker) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms)
            return false;
        pollfd p{child.out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        const ssize_t n = read(child.out, buf, sizeof buf);
        if (n <= 0)
            return false;
        child.output.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// Whether the child got ready; a child that did not is killed, so the test ends at once.
bool waitReady(Child& child) {
    if (readUntil(child, "ready\n", Clock::now() + kChildDeadline))
        return true;
    ADD_FAILURE() << "child did not get ready; output: " << child.output
                  << " stderr: " << child.errors();
    kill(child.pid, SIGKILL);
    return false;
}

void finish(Child& child, Clock::time_point since) {
    const auto deadline = since + kChildDeadline;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid)
            break;
        if (Clock::now() > deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            child.ending = "timeout";
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    child.elapsed = Clock::now() - since;
    if (child.ending.empty()) {
        child.ending = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                         : "signal " + std::to_string(WTERMSIG(status));
    }
    readUntil(child, "\x01", Clock::now() + 1s);  // the rest of the output, up to its end
    close(child.out);
}

// Starts one child per case, signals each once it is ready, and collects them all; the
// children run side by side, so the gdb runs of the crash cases overlap.
struct SignalCase {
    const char* mode;
    int signal;  // sent once the child is ready; 0: the child ends by itself
};

std::vector<std::unique_ptr<Child>> runAll(const std::vector<SignalCase>& cases) {
    std::vector<std::unique_ptr<Child>> children;
    for (const SignalCase& c : cases) {
        children.push_back(std::make_unique<Child>());
        start(*children.back(), c.mode);
    }
    const auto since = Clock::now();
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].signal == 0)
            continue;
        if (waitReady(*children[i]))
            kill(children[i]->pid, cases[i].signal);
    }
    for (auto& child : children)
        finish(*child, since);
    return children;
}

// The message of the log line that follows the line ending in `line`, up to the next line
// that starts a log entry.
std::string messageAfter(const std::string& log, const std::string& line) {
    const size_t at = log.find(line + "\n");
    if (at == std::string::npos)
        return {};
    const size_t begin = log.find("] [error] ", at + line.size());
    if (begin == std::string::npos)
        return {};
    const size_t text = begin + 10;
    const size_t end = log.find("\n[20", text);
    return log.substr(text, end == std::string::npos ? std::string::npos : end - text);
}

// Whether gdb can attach to a process of ours here, and if not, why.
bool gdbCanAttach(std::string* why) {
    pid_t sleeper = -1;
    const char* sleepArgv[] = {"sleep", "30", nullptr};
    if (posix_spawnp(&sleeper, "sleep", nullptr, nullptr, const_cast<char**>(sleepArgv), environ) !=
        0) {
        *why = "cannot start sleep";
        return false;
    }
    const std::string command =
        "gdb --batch -ex bt -p " + std::to_string(sleeper) + " 2>&1 </dev/null";
    std::string output;
    if (FILE* gdb = popen(command.c_str(), "r")) {
        char buf[1024];
        while (fgets(buf, sizeof buf, gdb) != nullptr)
            output += buf;
        pclose(gdb);
    }
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    if (output.find("#0 ") != std::string::npos)
        return true;
    *why = "gdb cannot attach to a process here (ptrace restricted or gdb missing): " +
           output.substr(0, 300);
    return false;
}

// The names of the files in the child's working directory that end in `suffix`.
std::vector<std::string> filesEndingIn(const Child& child, const std::string& suffix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(child.dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SignalNameTest, NamesSignalsOneToThirtyOne) {
    const std::pair<int, const char*> cases[] = {{1, "SIGHUP"},   {5, "SIGTRAP"},  {11, "SIGSEGV"},
                                                 {13, "SIGPIPE"}, {15, "SIGTERM"}, {16, ""},
                                                 {17, "SIGCHLD"}, {31, "SIGSYS"},  {0, ""},
                                                 {32, ""},        {-1, ""}};
    for (const auto& [number, name] : cases) {
        EXPECT_STREQ(signalName(number), name) << number;
    }
}

TEST(SignalTest, ExitSignalsLogAWarningAndExitZero) {
    const struct {
        int signal;
        const char* message;
    } cases[] = {
        {SIGHUP, "VORN exit because Terminal disconnected.\n"},
        {SIGINT, "VORN exit by CTRL + C.\n"},
        {SIGQUIT, "VORN exit by CTRL + \\.\n"},
        {SIGTERM, "VORN exit by KILL.\n"},
    };
    std::vector<SignalCase> runs;
    for (const auto& c : cases)
        runs.push_back({"wait", c.signal});
    const auto children = runAll(runs);

    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(signalName(cases[i].signal));
        const Child& child = *children[i];
        EXPECT_EQ(child.ending, "exit 0");
        // The message's own newline leaves an empty line after it.
        EXPECT_NE(child.log().find(std::string("[warning] ") + cases[i].message + "\n"),
                  std::string::npos)
            << child.log();
        EXPECT_EQ(child.log().find("[error]"), std::string::npos) << child.log();
        // Standard input is no terminal: there is nothing to save or restore, and nothing is
        // said about it.
        EXPECT_EQ(child.errors().find("tcsetattr"), std::string::npos) << child.errors();
    }
}

TEST(SignalTest, CrashAndTrapExitWithTheSignalNumber) {
    const struct {
        SignalCase run;
        const char* line;
        int exitCode;
    } cases[] = {
        // A real fault: writing to a page mapped without access, SEGV_ACCERR.
        {{"segv", 0}, "[error] VORN crash by signal 11 (SIGSEGV), code: 2", 11},
        {{"wait", SIGTRAP}, "[error] Caught unhandled signal 5 (SIGTRAP)", 5},
    };
    std::vector<SignalCase> runs;
    for (const auto& c : cases)
        runs.push_back(c.run);
    const auto children = runAll(runs);

    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(cases[i].line);
        const Child& child = *children[i];
        EXPECT_EQ(child.ending, "exit " + std::to_string(cases[i].exitCode)) << child.errors();
        const std::string log = child.log();
        const size_t crash = log.find(std::string(cases[i].line) + "\n");
        ASSERT_NE(crash, std::string::npos) << log;
        // gdb's report, or gstack's under the label pstack when gdb gave nothing.
        const size_t gdbLine = log.find("[error] callstack (gdb):\n", crash);
        const size_t pstackLine = log.find("[error] callstack (pstack):\n", crash);
        EXPECT_TRUE(gdbLine != std::string::npos || pstackLine != std::string::npos) << log;
        EXPECT_EQ(log.find("[warning]"), std::string::npos) << log;
    }
}

TEST(SignalTest, GdbStackOfAllThreadsIsLoggedVerbatim) {
    const auto children = runAll({{"wait", SIGSEGV}});
    const Child& child = *children[0];
    EXPECT_EQ(child.ending, "exit 11") << child.errors();
    const std::string log = child.log();
    // Sent with kill: si_code SI_USER.
    ASSERT_NE(log.find("[error] VORN crash by signal 11 (SIGSEGV), code: 0\n"), std::string::npos)
        << log;

    const std::string stack = messageAfter(log, "[error] callstack (gdb):");
    if (stack.empty()) {
        std::string why;
        if (!gdbCanAttach(&why))
            GTEST_SKIP() << why;
        FAIL() << "gdb can attach, yet no gdb stack was logged:\n" << log;
    }
    EXPECT_NE(stack.find("Thread 3"), std::string::npos) << stack;
    EXPECT_NE(stack.find("lambda"), std::string::npos) << stack;
    // The thread's name, braces and percent sign as gdb printed them.
    EXPECT_NE(stack.find("\"lambda{}%s\""), std::string::npos) << stack;
    EXPECT_NE(stack.find("waitHoldingSecret"), std::string::npos) << stack;
    // Argument values are not printed.
    EXPECT_EQ(stack.find("hunter2-secret"), std::string::npos) << stack;
}

TEST(SignalTest, WritingToAClosedPipeDoesNotEndTheProgram) {
    const auto children = runAll({{"pipe", 0}});
    EXPECT_EQ(children[0]->ending, "exit 0") << children[0]->output;
    EXPECT_NE(children[0]->output.find("write failed: EPIPE"), std::string::npos)
        << children[0]->output;
}

// SIGTERM lands on a thread that then blocks flushing stdout, whose lock another thread
// holds; the watchdog ends the process with the exit path's status all the same.
TEST(SignalTest, WatchdogEndsAReportThatHangs) {
    const auto children = runAll({{"stdout-locked", SIGTERM}});
    const Child& child = *children[0];
    EXPECT_EQ(child.ending, "exit 0");
    EXPECT_NE(child.log().find("[warning] VORN exit by KILL.\n"), std::string::npos) << child.log();
    // It really hung until the watchdog fired.
    EXPECT_GE(child.elapsed, 2s);
}

// Every signal that ends the process removes the temporary files registered at that moment,
// those of threads that leave the signals to others included, and nothing else; the exit
// status stays what it was.
TEST(SignalTest, EndingOnASignalRemovesTheRegisteredTemporaryFiles) {
    const struct {
        int signal;
        const char* ending;
    } cases[] = {{SIGINT, "exit 0"},
                 {SIGTERM, "exit 0"},
                 {SIGHUP, "exit 0"},
                 {SIGQUIT, "exit 0"},
                 {SIGSEGV, "exit 11"}};
    std::vector<SignalCase> runs;
    for (const auto& c : cases)
        runs.push_back({"tempfiles", c.signal});
    const auto children = runAll(runs);

    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(signalName(cases[i].signal));
        const Child& child = *children[i];
        EXPECT_EQ(child.ending, cases[i].ending) << child.errors();
        // Only the file nobody registered is left of the temporary ones.
        EXPECT_EQ(filesEndingIn(child, ".tmp"), std::vector<std::string>{"plain.tmp"});
        // The file renamed into place and forgotten stays whole.
        EXPECT_EQ(child.dir.readFile("kept.txt"), "partial rows\n");
    }
    EXPECT_NE(children[0]->log().find("[warning] VORN exit by CTRL + C.\n"), std::string::npos)
        << children[0]->log();
}

// Writers create, rename and remove files as fast as they can on threads the signal may
// land on: whatever step each is at, no temporary file outlives the process. Several
// children, so that the signal meets the writers at different steps.
TEST(SignalTest, NoTemporaryFileOutlivesASignalAmidBusyWriters) {
    std::vector<SignalCase> runs;
    for (int signal : {SIGINT, SIGTERM, SIGINT, SIGTERM, SIGINT, SIGTERM})
        runs.push_back({"tempfile-churn", signal});
    const auto children = runAll(runs);
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(i);
        const Child& child = *children[i];
        EXPECT_EQ(child.ending, "exit 0") << child.errors();
        EXPECT_EQ(filesEndingIn(child, ".tmp"), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace vorn
