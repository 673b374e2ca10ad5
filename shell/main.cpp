// vorn: reads a PostgreSQL data directory without a server and unloads its tables.
// Takes no arguments; works in the current directory (conf/, dict/, log/, the export
// directory). Everything else lives in the shell library, which the tests drive in-process.

#include <cstdio>
#include <exception>

#include "shell/console.h"

int main() {
    try {
        vorn::Console console;
        return console.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorn: %s\n", e.what());
        return 1;
    }
}
