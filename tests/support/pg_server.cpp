#include "tests/support/pg_server.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace fs = boost::filesystem;

namespace vorn::test {
namespace {

constexpr const char* kPsql = "/usr/bin/psql";

struct RunResult {
    int status = -1;  // exit code, or -1 when the command did not exit normally
    std::string out;
    std::string err;
};

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeWhole(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("pg_server: cannot write " + path);
}

std::string makeTempDir(const std::string& pattern) {
    std::string name = pattern;
    if (mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("pg_server: cannot create a folder like " + pattern);
    }
    return name;
}

// Runs argv with standard input from /dev/null and the two outputs captured in scratch
// files named by `scratch` (removed after). `env` replaces the environment when not empty.
RunResult run(const std::vector<std::string>& argv, const std::string& scratch,
              const std::vector<std::string>& env = {}) {
    std::string outPath = scratch + ".out", errPath = scratch + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(),
                          env.empty() ? environ : envp.data());
    posix_spawn_file_actions_destroy(&actions);
    RunResult result;
    if (rc != 0) {
        result.err = "cannot start " + argv[0] + ": " + std::strerror(rc);
    } else {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = readWhole(outPath);
        result.err = readWhole(errPath);
    }
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    return result;
}

bool isRoot() {
    return geteuid() == 0;
}

// The environment of the server without the PG* variables of libpq: the server would take
// PGCLIENTENCODING, PGDATESTYLE and the like of the test process as every session's default.
std::vector<std::string> serverEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "PG", 2) != 0)
            env.emplace_back(*e);
    if (env.empty())
        env.emplace_back("PATH=/usr/bin:/bin");
    return env;
}

// initdb, pg_ctl and postgres refuse to run as root: then they run as postgres.
std::vector<std::string> asServerUser(std::vector<std::string> argv) {
    if (isRoot())
        argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
    return argv;
}

void giveToServerUser(const std::string& path) {
    if (!isRoot())
        return;
    RunResult r = run({"chown", "-R", "postgres:", path}, path + ".chown");
    if (r.status != 0)
        throw std::runtime_error("pg_server: chown " + path + ": " + r.err);
}

std::atomic<unsigned> scratchCounter{0};

}  // namespace

PgServer::PgServer(PgServerOptions options) : options_(std::move(options)) {
    workDir_ = makeTempDir("/var/tmp/vorn-pg-XXXXXX");
    try {
        socketDir_ = makeTempDir("/tmp/vpg-XXXXXX");
        giveToServerUser(workDir_);
        giveToServerUser(socketDir_);
        dataDir_ = workDir_ + "/data";
        binDir_ = options_.binDir;

        // A server build under a private home may be out of the server user's reach; it
        // finds share/ and lib/ relative to its binary, so a copy of the folder works.
        std::string scratch = workDir_ + "/start";
        RunResult version = run(asServerUser({binDir_ + "/postgres", "--version"}), scratch);
        if (version.status != 0 && isRoot()) {
            std::string copy = workDir_ + "/server";
            fs::path parent = fs::path(binDir_).parent_path();
            RunResult cp = run({"cp", "-a", parent.string(), copy}, scratch);
            if (cp.status != 0)
                throw std::runtime_error("pg_server: cannot copy " + parent.string() + ": " +
                                         cp.err);
            giveToServerUser(copy);
            binDir_ = copy + "/" + fs::path(binDir_).filename().string();
            version = run(asServerUser({binDir_ + "/postgres", "--version"}), scratch);
        }
        std::smatch m;
        if (version.status != 0 || !std::regex_search(version.out, m, std::regex(R"(\) (\d+))"))) {
            throw std::runtime_error("pg_server: no working server in " + options_.binDir + ": " +
                                     version.out + version.err);
        }
        major_ = std::stoi(m[1].str());

        std::vector<std::string> initdb = {
            binDir_ + "/initdb", "-D",       dataDir_, "--locale=C", "-E", "UTF8", "-U",
            "postgres",          "--no-sync"};
        if (options_.password.empty()) {
            initdb.push_back("--auth=trust");
        } else {
            std::string pwfile = workDir_ + "/pwfile";
            writeWhole(pwfile, options_.password + "\n");
            giveToServerUser(pwfile);
            initdb.push_back("--auth=scram-sha-256");
            initdb.push_back("--pwfile=" + pwfile);
        }
        RunResult init = run(asServerUser(initdb), scratch);
        if (init.status != 0) {
            throw std::runtime_error("pg_server: initdb failed: " + init.out + init.err);
        }
        if (!options_.password.empty())
            ::unlink((workDir_ + "/pwfile").c_str());

        std::ofstream conf(dataDir_ + "/postgresql.conf", std::ios::app);
        conf << "\nlisten_addresses = ''\n"
             << "unix_socket_directories = '" << socketDir_ << "'\n"
             << "port = " << kPort << "\n"
             << "autovacuum = off\nfsync = off\nsynchronous_commit = off\n"
             << "full_page_writes = off\n"
             << "timezone = 'UTC'\ndatestyle = 'iso, mdy'\nintervalstyle = 'postgres'\n"
             << "lc_messages = 'C'\n";
        if (major_ >= 11)
            conf << "jit = off\n";
        if (major_ < 12)
            conf << "extra_float_digits = 3\n";
        conf.close();
        if (!conf)
            throw std::runtime_error("pg_server: cannot write postgresql.conf");

        started_ = true;
        RunResult start = run(asServerUser({binDir_ + "/pg_ctl", "-D", dataDir_, "-l",
                                            workDir_ + "/server.log", "-w", "-t", "60", "start"}),
                              scratch, serverEnvironment());
        if (start.status != 0) {
            throw std::runtime_error("pg_server: the server did not start: " + start.out +
                                     start.err + readWhole(workDir_ + "/server.log"));
        }
    } catch (...) {
        stop();
        throw;
    }
}

PgServer::~PgServer() {
    stop();
}

void PgServer::stop() noexcept {
    if (started_) {
        // Nothing here is kept, so there is no point in a shutdown checkpoint.
        run(asServerUser({binDir_ + "/pg_ctl", "-D", dataDir_, "-m", "immediate", "-w", "stop"}),
            workDir_ + "/stop");
        started_ = false;
    }
    boost::system::error_code ec;
    if (!socketDir_.empty())
        fs::remove_all(socketDir_, ec);
    if (!workDir_.empty())
        fs::remove_all(workDir_, ec);
}

PgServer& PgServer::shared() {
    static PgServer server;
    return server;
}

std::string PgServer::connectString(const std::string& database) const {
    std::string s = "host=" + socketDir_ + " port=" + std::to_string(kPort) +
                    " user=postgres dbname=" + database;
    if (!options_.password.empty())
        s += " password=" + options_.password;
    return s;
}

std::string PgServer::quoteLiteral(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += '\'';
        quoted += c;
    }
    return quoted + "'";
}

std::string PgServer::psql(const std::string& sql, const std::string& database,
                           const std::string& clientEncoding) const {
    return runPsql(sql, database, clientEncoding);
}

std::string PgServer::psqlFile(const std::string& path, const std::string& database,
                               const std::string& clientEncoding) const {
    return runPsql("\\i " + quoteLiteral(path) + "\n", database, clientEncoding);
}

void PgServer::copyFrom(const std::string& table, const std::string& file,
                        const std::string& options, const std::string& database) const {
    runPsql("\\copy " + table + " FROM " + quoteLiteral(file) + " WITH (" + options + ")\n",
            database, "");
}

void PgServer::createDatabase(const std::string& name, const std::string& encoding) const {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    runPsql("CREATE DATABASE " + quoted + " TEMPLATE template0 ENCODING " + quoteLiteral(encoding) +
                " LC_COLLATE 'C' LC_CTYPE 'C';\n",
            "postgres", "");
}

std::string PgServer::runPsql(const std::string& script, const std::string& database,
                              const std::string& clientEncoding) const {
    std::string scratch = workDir_ + "/psql-" + std::to_string(scratchCounter++);
    std::string scriptPath = scratch + ".sql";
    writeWhole(scriptPath, script);
    // The caller's PG* variables must not point psql elsewhere.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string_view(*e).substr(0, 2) != "PG")
            env.emplace_back(*e);
    }
    env.push_back("PSQLRC=/dev/null");
    if (!clientEncoding.empty())
        env.push_back("PGCLIENTENCODING=" + clientEncoding);
    if (!options_.password.empty())
        env.push_back("PGPASSWORD=" + options_.password);
    RunResult r = run({kPsql, "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", socketDir_, "-p",
                       std::to_string(kPort), "-U", "postgres", "-d", database, "-f", scriptPath},
                      scratch, env);
    ::unlink(scriptPath.c_str());
    if (r.status != 0) {
        throw std::runtime_error("psql failed in database " + database + ": " + r.err);
    }
    return r.out;
}

PgServerOptions newestFixtureServerOptions() {
    const char* cache = std::getenv("VORN_FIXTURES");
    PgServerOptions options;
    options.binDir =
        std::string(cache == nullptr ? "" : cache) + "/servers/node_modules/pg18/native/bin";
    return options;
}

std::optional<std::string> newestFixtureServerMissing() {
    const char* cache = std::getenv("VORN_FIXTURES");
    if (cache == nullptr || *cache == '\0')
        return std::string(
                   "fixture server pg18 not available: VORN_FIXTURES is not set; set it to ") +
               VORN_TEST_FIXTURE_CACHE;
    const std::string postgres = newestFixtureServerOptions().binDir + "/postgres";
    if (::access(postgres.c_str(), X_OK) != 0)
        return "fixture server pg18 not installed: " + postgres +
               " missing; run ctest --test-dir " + VORN_TEST_BUILD_DIR + " -R '^fixture_servers$'";
    return std::nullopt;
}

}  // namespace vorn::test
