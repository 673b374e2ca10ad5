#include "tests/support/psql_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

extern char** environ;

namespace vorn::test {
namespace {

std::string readAndRemove(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    ::unlink(path.c_str());
    return text.str();
}

// A fresh empty file under /tmp for one of psql's outputs.
std::string scratchFile() {
    char name[] = "/tmp/vorn-psql-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0)
        ::close(fd);
    return name;
}

}  // namespace

PsqlRun runPsqlIn(const PgServer& server, const std::string& workingDir,
                  const std::string& database, const std::vector<std::string>& args,
                  const std::string& stdinFile) {
    std::vector<std::string> argv = {"/usr/bin/psql",
                                     "-X",
                                     "-v",
                                     "ON_ERROR_STOP=1",
                                     "-h",
                                     server.socketDir(),
                                     "-p",
                                     std::to_string(server.port()),
                                     "-U",
                                     "postgres",
                                     "-d",
                                     database};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::string_view(*e).substr(0, 2) != "PG")
            env.emplace_back(*e);
    env.push_back("PSQLRC=/dev/null");
    if (!server.password().empty())
        env.push_back("PGPASSWORD=" + server.password());

    const std::string outPath = scratchFile(), errPath = scratchFile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(
        &actions, 0, stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
    std::vector<char*> args_;
    for (std::string& a : argv)
        args_.push_back(a.data());
    args_.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    PsqlRun run;
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args_[0], &actions, nullptr, args_.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        run.err = std::string("cannot start psql: ") + std::strerror(rc);
    } else {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    run.out = readAndRemove(outPath);
    run.err += readAndRemove(errPath);
    return run;
}

}  // namespace vorn::test
