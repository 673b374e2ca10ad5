#include "base/signals.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "base/file_logger.h"
#include "base/temp_file_registry.h"

extern char** environ;

namespace vorn {

termios savedTerminal;
bool terminalSaved = false;  // savedTerminal holds the attributes of a terminal

namespace {

constexpr int kHandledSignals[] = {SIGHUP,  SIGINT, SIGQUIT, SIGILL,  SIGTRAP,
                                   SIGABRT, SIGBUS, SIGFPE,  SIGSEGV, SIGTERM};

constexpr const char* kSignalNames[32] = {
    "",        "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",
    "SIGFPE",  "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM",
    "",        "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",
    "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS"};

// How long a report may take before the watchdog ends the process anyway. The handler logs
// and starts gdb from signal context: a signal that lands while its thread holds the log's
// lock or the allocator's lock would otherwise hang the program for good.
constexpr unsigned kExitReportSeconds = 3;
constexpr unsigned kCrashReportSeconds = 30;

// fgets with this buffer hands out pieces of at most 1023 bytes.
constexpr int kPieceSize = 1024;

volatile sig_atomic_t pendingExitCode = 0;

// Set by the first signal that ends the process. A signal delivered to another thread while
// that report runs waits for it instead of writing a second report into the first.
std::atomic<bool> reportRunning{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onWatchdog(int) {
    _exit(pendingExitCode);
}

void armWatchdog(int exitCode, unsigned seconds) {
    pendingExitCode = exitCode;
    struct sigaction action {};
    action.sa_handler = onWatchdog;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    alarm(seconds);
}

const char* exitMessage(int signal) {
    switch (signal) {
        case SIGHUP:
            return "VORN exit because Terminal disconnected.\n";
        case SIGINT:
            return "VORN exit by CTRL + C.\n";
        case SIGQUIT:
            return "VORN exit by CTRL + \\.\n";
        case SIGTERM:
            return "VORN exit by KILL.\n";
        default:
            return nullptr;
    }
}

bool isCrashSignal(int signal) {
    return signal == SIGILL || signal == SIGABRT || signal == SIGBUS || signal == SIGFPE ||
           signal == SIGSEGV;
}

// Runs `argv` (looked up in PATH) with its standard output in an anonymous memory file, waits
// for it and returns what it wrote, read in pieces as fgets gives them. Not a pipe: the tools
// stop every thread of this process, the reading one too, and would block for good once a
// pipe filled up. With `echoPieces` each piece also goes to perror.
std::string runCapturingOutput(char* const argv[], bool echoPieces) {
    // Both tools attach to this process with ptrace; where Yama allows only ancestors to
    // trace, this lets our own child do it.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);

    const int fd = memfd_create("vorn-callstack", MFD_CLOEXEC);
    if (fd < 0)
        return {};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
    // The handler runs with the handled signals blocked and SIGPIPE ignored; the tool gets
    // neither.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    sigset_t defaultSignals;
    sigemptyset(&defaultSignals);
    sigaddset(&defaultSignals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t child = -1;
    const int spawned = posix_spawnp(&child, argv[0], &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        close(fd);
        return {};
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    std::string text;
    text.reserve(8192);
    if (lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return text;
    }
    FILE* output = fdopen(fd, "r");
    if (output == nullptr) {
        close(fd);
        return text;
    }
    char piece[kPieceSize];
    while (fgets(piece, sizeof piece, output) != nullptr) {
        text += piece;
        if (echoPieces)
            perror(piece);
    }
    fclose(output);
    return text;
}

void reportCallStack(FileLogger& log) {
    std::string stack = captureStackWithGdb();
    const char* tool = "gdb";
    if (stack.empty()) {
        stack = captureStackWithGstack();
        tool = "pstack";
    }
    char line[64];
    snprintf(line, sizeof line, "callstack (%s):", tool);
    log.error(line);
    // Plain text: gdb prints lambdas in braces, which a format call would try to fill.
    log.error(stack);
}

}  // namespace

const char* signalName(int signal) {
    if (signal < 1 || signal > 31)
        return "";
    return kSignalNames[signal];
}

int installSignalHandlers() {
    // Standard input from a file or a pipe has no terminal attributes to save or restore.
    terminalSaved = isatty(STDIN_FILENO) == 1;
    if (terminalSaved && tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        perror("tcsetattr");
        terminalSaved = false;
    }

    struct sigaction action {};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO;
    // No handled signal interrupts a report already running on the same thread.
    sigemptyset(&action.sa_mask);
    for (int signal : kHandledSignals)
        sigaddset(&action.sa_mask, signal);
    for (int signal : kHandledSignals)
        sigaction(signal, &action, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ignore.sa_flags = 0;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    return 1;
}

void onSignal(int signal, siginfo_t* info, void* /*context*/) {
    if (signal == SIGPIPE)
        return;  // ignored; reaches here only by a direct call
    if (reportRunning.exchange(true)) {
        for (;;)
            pause();
    }
    const char* message = exitMessage(signal);
    armWatchdog(message != nullptr ? 0 : signal,
                message != nullptr ? kExitReportSeconds : kCrashReportSeconds);

    // First, before anything that may hang until the watchdog fires: a cut-off file must not
    // stay behind, whatever ends the process. Workers that go on meanwhile remove any file
    // they create from now on themselves.
    unlinkRegisteredTempFiles();

    FileLogger& log = mainLog();
    if (terminalSaved && tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal) != 0)
        perror("tcsetattr");

    // _exit, not exit: worker threads of a parallel unload may still run, and the exit
    // handlers would destroy the dictionary and the loggers under them. Every log line is
    // already flushed.
    if (message != nullptr) {
        log.warn(message);
        fflush(stdout);
        _exit(0);
    }

    char line[128];
    if (isCrashSignal(signal)) {
        snprintf(line, sizeof line, "VORN crash by signal %d (%s), code: %d", signal,
                 signalName(signal), info != nullptr ? info->si_code : 0);
    } else {
        snprintf(line, sizeof line, "Caught unhandled signal %d (%s)", signal, signalName(signal));
    }
    log.error(line);
    reportCallStack(log);
    _exit(signal);
}

std::string captureStackWithGdb() {
    char pid[16];
    snprintf(pid, sizeof pid, "%u", static_cast<unsigned>(getpid()));
    // No argument values: a connect string or password passed down the stack must not reach
    // the log.
    const char* argv[] = {
        "gdb", "--batch", "-ex",  "set print frame-arguments none", "-ex", "thread apply all where",
        "-p",  pid,       nullptr};
    std::string stack = runCapturingOutput(const_cast<char* const*>(argv), false);
    unlink("gdb_script");
    return stack;
}

std::string captureStackWithGstack() {
    char pid[16];
    snprintf(pid, sizeof pid, "%u", static_cast<unsigned>(getpid()));
    const char* argv[] = {"gstack", pid, nullptr};
    return runCapturingOutput(const_cast<char* const*>(argv), true);
}

}  // namespace vorn
