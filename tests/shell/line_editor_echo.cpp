// A small program for the terminal tests: the console's line editor with its real completion
// and hints, printing every line it reads as "[<bytes>] <line>|", and at the end of input
// the process's LC_CTYPE (which the editor must leave as it found it).
//
// It sets up signals as the console does, so Ctrl-C takes the same path as in vorn.

#include <clocale>
#include <cstdio>
#include <cstring>

#include "base/signals.h"
#include "shell/completion.h"
#include "shell/ui_line_editor.h"

int main() {
    using namespace vorn;
    installSignalHandlers();
    UiLineEditor editor(completionCallback, hintsCallback);
    char line[201];
    for (;;) {
        std::memset(line, 0, sizeof line);
        if (!editor.readLine("echo> ", line, 200))
            break;
        std::printf("[%zu] %s|\n", std::strlen(line), line);
        std::fflush(stdout);
    }
    std::printf("end of input, ctype %s\n", std::setlocale(LC_CTYPE, nullptr));
    return 0;
}
