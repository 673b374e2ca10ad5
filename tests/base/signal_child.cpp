// Child process of the signal tests: signal_child <working dir> <mode>.
//   wait           installs the handlers, starts two threads that leave the handled signals to
//                  the main thread, prints "ready" and waits
//   segv           the same, then writes to a page it may not write
//   pipe           writes to a pipe whose reading end is closed and reports the error
//   stdout-locked  a thread holds the lock of stdout, so a handler that flushes stdout hangs;
//                  prints "ready" and waits
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
