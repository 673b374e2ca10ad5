#pragma once

#include <signal.h>
#include <termios.h>

#include <string>

namespace vorn {

// Terminal attributes of standard input as they were at start-up; put back before the process
// ends on a signal, since the line editor may have left the terminal in raw mode.
extern termios savedTerminal;

// "SIGHUP" ... "SIGSYS" for 1 to 31 (16 has no name); "" for any other number.
const char* signalName(int signal);

// Saves the terminal attributes and installs `onSignal` for SIGHUP, SIGINT, SIGQUIT, SIGILL,
// SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV and SIGTERM; SIGPIPE is ignored, so a write to a
// closed pipe fails with its own error instead of ending the program. Returns 1.
int installSignalHandlers();

// Removes the temporary files being written (base/temp_file_registry.h), restores the
// terminal and writes to log/vorn.log either an exit warning (hang-up, interrupt, quit,
// terminate: exit status 0) or a crash line with the call stacks of all threads (any other
// signal: exit status = signal number). The process ends with _exit: nothing is torn down
// under threads that may still be running.
void onSignal(int signal, siginfo_t* info, void* context);

// The call stacks of all threads of this process as printed by gdb, or "" when gdb cannot be
// run or cannot attach.
std::string captureStackWithGdb();

// The same from gstack, or "". Its output is echoed on standard error as it is read.
std::string captureStackWithGstack();

}  // namespace vorn
