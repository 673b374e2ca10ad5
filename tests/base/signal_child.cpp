// Child process of the signal tests: signal_child <working dir> <mode>.
//   wait           installs the handlers, starts two threads that leave the handled signals to
//                  the main thread, prints "ready" and waits
//   segv           the same, then writes to a page it may not write
//   pipe           writes to a pipe whose reading end is closed and reports the error
//   stdout-locked  a thread holds the lock of stdout, so a handler that flushes stdout hangs;
//                  prints "ready" and waits
//   tempfiles      the main thread and three others each register and create a temporary
//                  file ("main.tmp", "thread<i>.tmp") and keep it open; "kept.txt" was
//                  registered, created, renamed into place and forgotten; "plain.tmp" was
//                  never registered. Prints "ready" and waits
//   tempfile-churn four threads that do not block the handled signals create, register,
//                  rename or remove and forget "churn<i>-<n>.tmp" files as fast as they can;
//                  prints "ready" once each has done a hundred rounds and waits
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "base/signals.h"
#include "base/temp_file_registry.h"

namespace {

std::atomic<bool> stop{false};
std::atomic<int> threadsStarted{0};

void say(const char* text) {
    if (write(STDOUT_FILENO, text, strlen(text)) < 0)
        _exit(90);
}

// Worker threads leave the handled signals to the main thread, so the handler never runs on
// them and its frames never hide theirs in the printed stacks.
void blockHandledSignals() {
    sigset_t handled;
    sigemptyset(&handled);
    for (int s :
         {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGTERM}) {
        sigaddset(&handled, s);
    }
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
}

[[noreturn]] void waitForever() {
    for (;;)
        pause();
}

// Holds a secret as an argument, so that a stack printed with argument values would show it.
[[gnu::noinline]] void waitHoldingSecret(const char* secret) {
    blockHandledSignals();
    ++threadsStarted;
    while (!stop.load())
        pause();
    puts(secret);
}

void startThreads() {
    // A lambda frame, in a thread whose name holds braces and a percent sign.
    std::thread([] {
        blockHandledSignals();
        pthread_setname_np(pthread_self(), "lambda{}%s");
        ++threadsStarted;
        while (!stop.load())
            pause();
    }).detach();
    std::thread(waitHoldingSecret, "hunter2-secret").detach();
    while (threadsStarted.load() < 2)
        usleep(1000);
}

int writeToClosedPipe() {
    int fds[2];
    if (pipe(fds) != 0)
        return 91;
    close(fds[0]);
    const ssize_t written = write(fds[1], "x", 1);
    if (written < 0 && errno == EPIPE) {
        say("write failed: EPIPE\n");
        return 0;
    }
    say("write did not fail with EPIPE\n");
    return 92;
}

void holdStdoutLock(std::atomic<bool>* locked) {
    blockHandledSignals();
    flockfile(stdout);
    locked->store(true);
    waitForever();
}

// Registers `path`, creates it with a few bytes and leaves it open, as a writer does.
void createTemporary(vorn::TempFileEntry& entry, const std::string& path) {
    entry.track(path);
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr || fputs("partial rows\n", file) < 0 || fflush(file) != 0)
        _exit(97);
    entry.created();
}

[[noreturn]] void writeTemporaryFiles() {
    vorn::TempFileEntry kept;
    createTemporary(kept, "kept.txt.tmp");
    if (rename("kept.txt.tmp", "kept.txt") != 0)
        _exit(98);
    kept.forget();
    if (FILE* plain = fopen("plain.tmp", "w"))
        fclose(plain);

    // Registered side by side: each thread takes a slot of its own.
    static std::atomic<int> registered{0};
    for (int i = 0; i < 3; ++i) {
        std::thread([i] {
            blockHandledSignals();
            vorn::TempFileEntry entry;
            createTemporary(entry, "thread" + std::to_string(i) + ".tmp");
            ++registered;
            waitForever();
        }).detach();
    }
    vorn::TempFileEntry own;
    createTemporary(own, "main.tmp");
    while (registered.load() < 3)
        usleep(1000);
    say("ready\n");
    waitForever();
}

// As a worker of a parallel unload writes its tables' files, with the handled signals
// left open, so that the handler may run on this thread between any two steps.
void churn(int index, std::atomic<int>* warmedUp) {
    vorn::TempFileEntry entry;
    const std::string finalName = "churn" + std::to_string(index) + ".txt";
    for (unsigned n = 0;; ++n) {
        const std::string path = "churn" + std::to_string(index) + "-" + std::to_string(n) + ".tmp";
        entry.track(path);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            _exit(99);
        entry.created();
        // Fails only when the handler is ending the process; nothing matters then.
        [[maybe_unused]] const ssize_t written = write(fd, "row\n", 4);
        close(fd);
        if (n % 2 == 0)
            rename(path.c_str(), finalName.c_str());
        else
            unlink(path.c_str());
        entry.forget();
        if (n == 100)
            ++*warmedUp;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || chdir(argv[1]) != 0)
        return 93;
    const std::string mode = argv[2];
    vorn::installSignalHandlers();

    if (mode == "pipe")
        return writeToClosedPipe();
    if (mode == "stdout-locked") {
        std::atomic<bool> locked{false};
        std::thread(holdStdoutLock, &locked).detach();
        while (!locked.load())
            usleep(1000);
        say("ready\n");
        waitForever();
    }
    if (mode == "tempfiles")
        writeTemporaryFiles();
    if (mode == "tempfile-churn") {
        std::atomic<int> warmedUp{0};
        for (int i = 0; i < 4; ++i)
            std::thread(churn, i, &warmedUp).detach();
        while (warmedUp.load() < 4)
            usleep(1000);
        say("ready\n");
        waitForever();
    }
    startThreads();
    if (mode == "segv") {
        void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED)
            return 94;
        *static_cast<volatile int*>(page) = 1;
        return 95;
    }
    if (mode == "wait") {
        say("ready\n");
        waitForever();
    }
    return 96;
}
