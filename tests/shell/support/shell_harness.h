#pragma once

// Driving the shell in tests: in-process, a Console is fed scripted lines and what it writes
// to standard output is captured at the file descriptor (stdio, iostreams and the progress
// bar all land there); out of process, the real binary runs in a working folder of its own
// with piped input.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "shell/console.h"
#include "storage/storage_settings.h"
#include "tests/support/fixture_manifest.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {

// Everything written to file descriptor 1 from construction to finish().
class CapturedStdout {
  public:
    CapturedStdout();
    ~CapturedStdout();
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;

    // Stops the capture (once) and returns the bytes.
    std::string finish();

  private:
    int saved_ = -1;
    std::string path_;
    std::string text_;
};

// Standard output is a pipe without a reader while the object lives, so that every write
// reaching the file descriptor fails; SIGPIPE is ignored meanwhile, as the program ignores
// it. What stdio still holds is dropped, and its error flag cleared, at the end.
class ClosedStdout {
  public:
    ClosedStdout();
    ~ClosedStdout();
    ClosedStdout(const ClosedStdout&) = delete;
    ClosedStdout& operator=(const ClosedStdout&) = delete;

  private:
    int saved_ = -1;
    void (*previous_)(int) = nullptr;
};

// What a terminal shows for `bytes`: a '\r' returns to the start of the line and what
// follows overwrites it, as the progress bar does. A line that had a '\r' loses its trailing
// blanks (the bar wipes itself with blanks); other lines are kept byte for byte.
std::string screenText(const std::string& bytes);

// Hands out the given lines, then the end of input, copying at most `limit` bytes of each
// as the line editor does. Records the prompts it was given.
class ScriptedLines : public ILineSource {
  public:
    explicit ScriptedLines(std::vector<std::string> lines) : lines_(std::move(lines)) {}
    bool readLine(const char* prompt, char* buffer, size_t limit) override;

    std::vector<std::string> prompts;
    size_t linesRead() const { return next_; }

  private:
    std::vector<std::string> lines_;
    size_t next_ = 0;
};

// The settings a test writes into conf/vorn.ini; an empty field is left out of the file.
struct ShellSettings {
    std::string version{};
    std::string pgdata{};
    std::string blockSize{};
    std::string format{};
    std::string exportDir{};
    std::string libpqPath{};
    std::string dbConn{};
    std::string delimiter{};
};
std::string configFileText(const ShellSettings& settings);
// Version, data directory and block size of the fixture's server.
ShellSettings fixtureSettings(const FixtureManifest& manifest);

// A working folder for one shell: conf/vorn.ini when settings are given, dump/ and ddl/,
// both logs in log/. The Dictionary singleton and the current schema start empty; the
// process-wide storage and export settings are put back when it goes.
class ShellWorkspace {
  public:
    explicit ShellWorkspace(const std::optional<ShellSettings>& settings);
    ~ShellWorkspace();
    ShellWorkspace(const ShellWorkspace&) = delete;
    ShellWorkspace& operator=(const ShellWorkspace&) = delete;

    const std::string& path() const { return dir_.path(); }
    std::string readFile(const std::string& relative) const { return dir_.readFile(relative); }
    void writeFile(const std::string& relative, const std::string& text) const {
        dir_.writeFile(relative, text);
    }
    // Copies the four cache files of `dictDir` into dict/.
    void useDictionary(const std::string& dictDir) const;

  private:
    TempDir dir_;
    std::optional<ScopedWorkingDir> cwd_;
    std::string savedExportDirectory_;
    char savedDelimiter_;
    std::string savedConnectString_;
    std::string savedDataDirectory_;
    uint16_t savedBlockSize_;
    ServerVersion savedVersion_;
};

// The deb15 fixture bootstrapped once per process: the folder of its four cache files. A test
// calls it after VORN_FIXTURE_OR_SKIP(..., "deb15") found the fixture, and before it makes a
// workspace of its own (the bootstrap runs in a workspace of its own).
const std::string& deb15Dictionary();
// The same for the fixture `label`, bootstrapped once per process and label.
const std::string& fixtureDictionary(const std::string& label);

struct SessionResult {
    int status = 0;
    std::string raw;     // the bytes written to standard output
    std::string screen;  // screenText(raw)
    std::vector<std::string> prompts;
    size_t linesRead = 0;
};
// Banner, start-up and command loop over `lines`.
SessionResult runSession(Console& console, const std::vector<std::string>& lines);
// The command loop alone, after start-up has run.
SessionResult runCommands(Console& console, const std::vector<std::string>& lines);

// The real binary, started in `workDir` with `input` on standard input.
struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// With closedStdout, standard output is a pipe whose reader is already gone.
ProcessResult runVorn(const std::string& workDir, const std::string& input,
                      bool closedStdout = false);
// The same with standard output on a terminal (a pseudo-terminal whose output is not
// post-processed: "\n" stays "\n"): `out` holds the bytes as the terminal got them. Standard
// input is still the file of `input`, so the lines are read plainly.
ProcessResult runVornOnTerminal(const std::string& workDir, const std::string& input);

}  // namespace vorn::test
