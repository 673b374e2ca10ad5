#include "base/console_color.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace vorn {

namespace {

// The workers of a parallel unload write error lines too: they read it while the main thread
// may decide it.
std::atomic<bool>& terminalFlag() {
    static std::atomic<bool> flag(::isatty(STDOUT_FILENO) == 1);
    return flag;
}

}  // namespace

bool consoleIsTerminal() {
    return terminalFlag().load(std::memory_order_relaxed);
}

void setConsoleIsTerminal(bool terminal) {
    terminalFlag().store(terminal, std::memory_order_relaxed);
}

void uiSetRed() {
    if (!consoleIsTerminal())
        return;
    std::fputs("\x1b[31;2m", stdout);
    std::fflush(stdout);
}

void uiResetColor() {
    if (!consoleIsTerminal())
        return;
    std::fputs("\x1b[0m", stdout);
    std::fflush(stdout);
}

}  // namespace vorn
