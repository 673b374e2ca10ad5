#pragma once

// A throw-away PostgreSQL server for the tests that need a real one: to load what vorn
// wrote with COPY FROM, run the DDL it generated, or take a connection.
//
// The cluster is made by initdb (as the user postgres when the tests run as root, since
// initdb and postgres refuse root) in a fresh folder under /var/tmp (not tmpfs: the server
// opens files with O_DIRECT), with --locale=C -E UTF8. It listens only on a unix socket in a
// short folder under /tmp (a socket path holds at most 107 bytes), runs with fsync and
// autovacuum off, and sessions default to TimeZone UTC, DateStyle ISO, MDY and
// IntervalStyle postgres, the settings of the fixtures' COPY files. The destructor stops
// the server and removes both folders.
//
// initdb takes about a second: a test binary shares one server through shared() rather
// than starting one per test.

#include <cstdint>
#include <optional>
#include <string>

namespace vorn::test {

struct PgServerOptions {
    // Where initdb, pg_ctl and postgres are: Debian's 15 by default, or e.g. the bin folder
    // of an npm build of the fixtures' servers.
    std::string binDir = "/usr/lib/postgresql/15/bin";
    // Non-empty: every connection (socket ones included) must give this password for the
    // user postgres (scram-sha-256). Empty: trust.
    std::string password;
};

// The newest server build of the fixtures (npm 18 under $VORN_FIXTURES): it loads what every
// older version wrote, an interval 'infinity' from 17 on among them, which 15 refuses.
PgServerOptions newestFixtureServerOptions();
// Why that server cannot start: VORN_FIXTURES unset or empty, or no postgres in its bin folder
// (the ctest fixture fixture_servers installs it). Nothing when it is installed.
std::optional<std::string> newestFixtureServerMissing();

class PgServer {
  public:
    // Starts the server; throws std::runtime_error with the tool's output when initdb or
    // the start fails.
    explicit PgServer(PgServerOptions options = {});
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // One Debian 15 trust server per process, started on first use and stopped at exit.
    static PgServer& shared();

    const std::string& socketDir() const { return socketDir_; }
    int port() const { return kPort; }
    int majorVersion() const { return major_; }
    const std::string& password() const { return options_.password; }
    // A libpq connect string for the user postgres and `database`.
    std::string connectString(const std::string& database = "postgres") const;

    // Runs `sql` (several statements and psql meta-commands allowed) in `database` through
    // psql -X -q -At -v ON_ERROR_STOP=1 and returns its standard output as printed: rows one
    // a line, fields separated by '|'. An empty client encoding leaves the database's own.
    // Throws std::runtime_error holding psql's error output when psql fails.
    std::string psql(const std::string& sql, const std::string& database = "postgres",
                     const std::string& clientEncoding = "") const;
    // As psql, running the script at `path`.
    std::string psqlFile(const std::string& path, const std::string& database = "postgres",
                         const std::string& clientEncoding = "") const;
    // \copy `table` FROM `file` WITH (`options`); `table` is SQL as written (quoted as
    // needed), `options` e.g. "DELIMITER '|', NULL ''" or "FORMAT binary". The client reads
    // the file, so it needs no permission for the server's user.
    void copyFrom(const std::string& table, const std::string& file, const std::string& options,
                  const std::string& database = "postgres") const;
    // CREATE DATABASE with the C locale from template0, in `encoding` (e.g. "LATIN1").
    void createDatabase(const std::string& name, const std::string& encoding = "UTF8") const;

    // `text` as an SQL string literal, each '\'' doubled.
    static std::string quoteLiteral(const std::string& text);

  private:
    static constexpr int kPort = 5432;  // alone on its socket folder, so never taken

    std::string runPsql(const std::string& script, const std::string& database,
                        const std::string& clientEncoding) const;
    void stop() noexcept;

    PgServerOptions options_;
    std::string workDir_;    // under /var/tmp: data/, server.log, psql scratch files
    std::string socketDir_;  // under /tmp
    std::string dataDir_;
    std::string binDir_;  // options_.binDir, or a copy the server's user can run
    int major_ = 0;
    bool started_ = false;
};

}  // namespace vorn::test
