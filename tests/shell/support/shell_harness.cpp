#include "tests/shell/support/shell_harness.h"
#include "tests/support/config_text.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "base/file_logger.h"
#include "catalog/dict_cache.h"
#include "catalog/dictionary.h"
#include "export/export_settings.h"
#include "tests/support/fixture_skip.h"

extern char** environ;

namespace vorn::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDictFiles[] = {"pg_db.dat", "pg_schema.dat", "pg_class.dat", "pg_attr.dat"};

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void emptyDictionary() {
    Dictionary& d = Dictionary::instance();
    d.databases.clear();
    d.schemas.clear();
    d.tables.clear();
    d.toastTables.clear();
    d.currentDatabaseOid = 0;
    currentSchemaOid = 0;
}

void check(bool ok, const char* what) {
    if (!ok)
        throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

CapturedStdout::CapturedStdout() {
    std::cout.flush();
    std::fflush(stdout);
    char name[] = "/tmp/vorn-stdout-XXXXXX";
    const int fd = ::mkstemp(name);
    check(fd >= 0, "mkstemp");
    path_ = name;
    saved_ = ::dup(STDOUT_FILENO);
    check(saved_ >= 0 && ::dup2(fd, STDOUT_FILENO) >= 0, "dup2");
    ::close(fd);
}

CapturedStdout::~CapturedStdout() {
    finish();
}

std::string CapturedStdout::finish() {
    if (saved_ < 0)
        return text_;
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
    text_ = readWhole(path_);
    ::unlink(path_.c_str());
    return text_;
}

ClosedStdout::ClosedStdout() {
    std::cout.flush();
    std::fflush(stdout);
    previous_ = ::signal(SIGPIPE, SIG_IGN);
    saved_ = ::dup(STDOUT_FILENO);
    int fds[2];
    check(saved_ >= 0 && ::pipe(fds) == 0, "pipe");
    ::close(fds[0]);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
}

ClosedStdout::~ClosedStdout() {
    __fpurge(stdout);
    std::clearerr(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::signal(SIGPIPE, previous_);
}

std::string screenText(const std::string& bytes) {
    std::string out;
    std::string line;
    size_t column = 0;
    bool overwritten = false;
    auto endLine = [&] {
        if (overwritten) {
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
        }
        out += line;
        line.clear();
        column = 0;
        overwritten = false;
    };
    for (char c : bytes) {
        if (c == '\r') {
            column = 0;
            overwritten = true;
        } else if (c == '\n') {
            endLine();
            out += '\n';
        } else {
            if (column < line.size())
                line[column] = c;
            else
                line += c;
            ++column;
        }
    }
    endLine();
    return out;
}

bool ScriptedLines::readLine(const char* prompt, char* buffer, size_t limit) {
    prompts.emplace_back(prompt);
    if (next_ == lines_.size())
        return false;
    const std::string& line = lines_[next_++];
    if (!line.empty())
        std::memcpy(buffer, line.data(), std::min(limit, line.size()));
    return true;
}

std::string configFileText(const ShellSettings& s) {
    // Each group is one element: the reader takes the first <export> it finds.
    auto fields = [](std::initializer_list<std::pair<const char*, std::string>> list) {
        std::string body;
        for (const auto& [key, value] : list)
            if (!value.empty())
                body += configElement(key, value);
        return body;
    };
    auto wrap = [](const std::string& name, const std::string& body) {
        return body.empty() ? body : "<" + name + ">" + body + "</" + name + ">\n";
    };
    const std::string exportBody =
        fields({{"export_format", s.format}, {"export_dir", s.exportDir}}) +
        wrap("export_db", fields({{"libpq_path", s.libpqPath}, {"db_conn", s.dbConn}})) +
        wrap("export_text", fields({{"field_delim_char", s.delimiter}}));
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vorn>\n" +
           wrap("database", fields({{"db_version", s.version},
                                    {"pgdata_dir", s.pgdata},
                                    {"db_block_size", s.blockSize}})) +
           wrap("export", exportBody) + "</vorn>\n";
}

ShellSettings fixtureSettings(const FixtureManifest& manifest) {
    ShellSettings s;
    s.version = std::to_string(manifest.server.major) + "." + std::to_string(manifest.server.minor);
    s.pgdata = manifest.dataDir;
    s.blockSize = std::to_string(manifest.server.blockSize);
    return s;
}

ShellWorkspace::ShellWorkspace(const std::optional<ShellSettings>& settings)
    : savedExportDirectory_(exportDirectory),
      savedDelimiter_(textDelimiter),
      savedConnectString_(targetConnectString),
      savedDataDirectory_(dataDirectory),
      savedBlockSize_(blockSize),
      savedVersion_(serverVersion) {
    if (settings)
        dir_.writeFile("conf/vorn.ini", configFileText(*settings));
    fs::create_directories(dir_.path() + "/dump");
    fs::create_directories(dir_.path() + "/ddl");
    cwd_.emplace(dir_.path());
    mainLog().open("log");
    unloadLog().open("log");
    emptyDictionary();
}

ShellWorkspace::~ShellWorkspace() {
    emptyDictionary();
    exportDirectory = savedExportDirectory_;
    textDelimiter = savedDelimiter_;
    targetConnectString = savedConnectString_;
    dataDirectory = savedDataDirectory_;
    blockSize = savedBlockSize_;
    serverVersion = savedVersion_;
    cwd_.reset();
}

void ShellWorkspace::useDictionary(const std::string& dictDir) const {
    fs::create_directories(dir_.path() + "/dict");
    for (const char* file : kDictFiles)
        fs::copy_file(dictDir + "/" + file, dir_.path() + "/dict/" + file,
                      fs::copy_options::overwrite_existing);
}

const std::string& fixtureDictionary(const std::string& label) {
    static TempDir cache;
    static std::map<std::string, std::string> dirs;
    const auto known = dirs.find(label);
    if (known != dirs.end())
        return known->second;
    const FixtureManifest& m = sharedFixture(label);
    const std::string target = cache.path() + "/" + label + "/dict";
    {
        ShellWorkspace workspace(fixtureSettings(m));
        Dictionary& d = Dictionary::instance();
        d.setServerVersion(static_cast<int16_t>(m.server.major),
                           static_cast<int16_t>(m.server.minor));
        Dictionary::setDataDirectory(m.dataDir);
        Dictionary::setBlockSize(static_cast<int>(m.server.blockSize));
        fs::create_directories("dict");
        d.generate(nullptr);
        fs::create_directories(target);
        for (const char* file : kDictFiles)
            fs::copy_file(std::string("dict/") + file, target + "/" + file);
    }
    return dirs.emplace(label, target).first->second;
}

const std::string& deb15Dictionary() {
    return fixtureDictionary("deb15");
}

namespace {

// Feeds `lines` to one of the console's loops and captures what it printed.
template <typename Loop>
SessionResult runScripted(const std::vector<std::string>& lines, Loop loop) {
    ScriptedLines source(lines);
    SessionResult result;
    {
        CapturedStdout captured;
        result.status = loop(source);
        result.raw = captured.finish();
    }
    result.screen = screenText(result.raw);
    result.prompts = source.prompts;
    result.linesRead = source.linesRead();
    return result;
}

}  // namespace

SessionResult runSession(Console& console, const std::vector<std::string>& lines) {
    return runScripted(lines, [&](ScriptedLines& source) { return console.runSession(source); });
}

SessionResult runCommands(Console& console, const std::vector<std::string>& lines) {
    return runScripted(lines,
                       [&](ScriptedLines& source) { return console.runCommandLoop(source); });
}

namespace {

// Starts the binary in `workDir` with standard input from `in`, standard error into `err`
// and standard output on `outFd` (or into the file `outFile` when `outFd` is negative).
pid_t spawnVorn(const std::string& workDir, const std::string& in, int outFd,
                const std::string& outFile, const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char* argv[] = {const_cast<char*>(VORN_BINARY), nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, VORN_BINARY, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::system_error(spawned, std::generic_category(), "posix_spawn " VORN_BINARY);
    return pid;
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ProcessResult runVorn(const std::string& workDir, const std::string& input, bool closedStdout) {
    TempDir scratch;
    scratch.writeFile("in", input);
    const std::string in = scratch.path() + "/in", out = scratch.path() + "/out",
                      err = scratch.path() + "/err";
    int pipeFds[2] = {-1, -1};
    if (closedStdout) {
        check(::pipe2(pipeFds, O_CLOEXEC) == 0, "pipe2");
        // No reader at all: every write the child makes to standard output fails.
        ::close(pipeFds[0]);
    }
    pid_t pid = 0;
    try {
        pid = spawnVorn(workDir, in, pipeFds[1], out, err);
    } catch (...) {
        if (pipeFds[1] >= 0)
            ::close(pipeFds[1]);
        throw;
    }
    if (pipeFds[1] >= 0)
        ::close(pipeFds[1]);
    ProcessResult result;
    result.status = waitForExit(pid);
    result.out = readWhole(out);
    result.err = readWhole(err);
    return result;
}

ProcessResult runVornOnTerminal(const std::string& workDir, const std::string& input) {
    TempDir scratch;
    scratch.writeFile("in", input);
    const std::string in = scratch.path() + "/in", err = scratch.path() + "/err";
    int master = -1, slave = -1;
    check(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0, "openpty");
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios settings{};
    if (::tcgetattr(slave, &settings) == 0) {
        settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        ::tcsetattr(slave, TCSANOW, &settings);
    }
    pid_t pid = 0;
    try {
        pid = spawnVorn(workDir, in, slave, "", err);
    } catch (...) {
        ::close(slave);
        ::close(master);
        throw;
    }
    // The child holds the only other end: reading ends (EIO) once it has exited.
    ::close(slave);
    ProcessResult result;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n > 0)
            result.out.append(chunk, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    ::close(master);
    result.status = waitForExit(pid);
    result.err = readWhole(err);
    return result;
}

}  // namespace vorn::test
