// An unload interrupted by a signal leaves no temporary file behind. The real binary
// unloads vorn.public.bulk (20,000 rows) of the deb15 fixture into a FIFO put where its
// temporary data file goes: once the first bytes arrive and the pipe is full, the writer
// stands still in the middle of the table, and the test sends the signal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/shell/support/shell_harness.h"
#include "tests/support/fixture_skip.h"

extern char** environ;

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kDeadline = 60s;

// The real binary in `workDir`, reading `script`; its output goes to files of the folder.
pid_t startVorn(const std::string& workDir, const std::string& script) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, script.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "out.txt",
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "err.txt",
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char* argv[] = {const_cast<char*>(VORN_BINARY), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, VORN_BINARY, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

// Waits until the FIFO `fifo` has bytes to read; reads a few of them, leaving the pipe full
// again soon after, so that the writer blocks.
bool waitForBytes(int fifo) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fifo, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && (p.revents & POLLIN) != 0) {
            char some[16];
            return read(fifo, some, sizeof some) > 0;
        }
    }
    return false;
}

// The exit status, or 128 + the signal; -1 when the process did not end in time.
int waitForExit(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> temporaryFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".tmp")
            names.push_back(entry.path().filename().string());
    return names;
}

TEST(InterruptedUnload, SignalRemovesTheTemporaryFileOfTheTableBeingWritten) {
    VORN_FIXTURE_OR_SKIP(m, "deb15");
    const struct {
        const char* command;
        int signal;
        const char* logLine;
    } cases[] = {
        {"unload table bulk", SIGINT, "[warning] VORN exit by CTRL + C.\n"},
        // Four workers: the others write, rename and start their tables meanwhile.
        {"unload schema public parallel 4", SIGTERM, "[warning] VORN exit by KILL.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        TempDir dir;
        dir.writeFile("conf/vorn.ini", configFileText(fixtureSettings(m)));
        dir.writeFile("script", std::string("bootstrap\nuse vorn\n") + c.command + "\nexit\n");
        fs::create_directories(dir.path() + "/dump");
        const std::string fifoPath = dir.path() + "/dump/public_bulk.txt.tmp";
        ASSERT_EQ(mkfifo(fifoPath.c_str(), 0644), 0);
        // Open without waiting for a writer; vorn's open for writing then finds a reader.
        const int fifo = open(fifoPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fifo, 0);

        const pid_t pid = startVorn(dir.path(), dir.path() + "/script");
        ASSERT_GT(pid, 0);
        const bool writing = waitForBytes(fifo);
        if (writing)
            kill(pid, c.signal);
        else
            kill(pid, SIGKILL);
        const int status = waitForExit(pid);
        close(fifo);
        ASSERT_TRUE(writing) << dir.readFile("out.txt") << dir.readFile("err.txt");

        EXPECT_EQ(status, 0) << dir.readFile("err.txt");
        EXPECT_FALSE(fs::exists(fs::symlink_status(fifoPath)));
        EXPECT_FALSE(fs::exists(dir.path() + "/dump/public_bulk.txt"));
        EXPECT_EQ(temporaryFiles(dir.path() + "/dump"), std::vector<std::string>{});
        EXPECT_NE(dir.readFile("log/vorn.log").find(c.logLine), std::string::npos)
            << dir.readFile("log/vorn.log");
    }
}

}  // namespace
}  // namespace vorn::test
