#pragma once

// A command line run the way a user runs one pasted into a shell: `shell -c line`.

#include <string>

namespace vorn::test {

struct ShellRun {
    int status = -1;  // the shell's exit code; -1 when it did not start or did not exit normally
    std::string out;
    std::string err;
};

// Runs `shell` (a path, "/bin/sh" or "/bin/bash") with -c `line` in `workingDir`, standard
// input from /dev/null.
ShellRun runShell(const std::string& shell, const std::string& line,
                  const std::string& workingDir = ".");

}  // namespace vorn::test
