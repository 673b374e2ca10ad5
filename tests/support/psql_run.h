#pragma once

// The real psql client run the way a user runs an import script: in a chosen working
// directory (psql's \copy resolves relative file names against it), optionally with a file
// as standard input (COPY ... FROM STDIN), against a PgServer.

#include <string>
#include <vector>

#include "tests/support/pg_server.h"

namespace vorn::test {

struct PsqlRun {
    int status = -1;  // psql's exit code; -1 when it did not start or did not exit normally
    std::string out;
    std::string err;
};

// Runs /usr/bin/psql -X -v ON_ERROR_STOP=1 -h <socket> -p <port> -U postgres -d <database>
// followed by `args`, in `workingDir`, with standard input from `stdinFile` (/dev/null when
// empty). The caller's PG* variables are left out of psql's environment, and PSQLRC is
// /dev/null.
PsqlRun runPsqlIn(const PgServer& server, const std::string& workingDir,
                  const std::string& database, const std::vector<std::string>& args,
                  const std::string& stdinFile = "");

}  // namespace vorn::test
