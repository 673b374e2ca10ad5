#pragma once

// One connection to the target database of export format DB, through the run-time loaded
// libpq (libpq_loader.h), from a connect string of the form
//
//   user/password@host:port/dbname
//
// Split rule, so that a password may hold '@', '/' and ':':
//   - the LAST '@' separates the credentials from the address: the address part (host, port,
//     database name) can hold no '@';
//   - in the credentials, the FIRST '/' separates the user from the password: a user name
//     can hold no '/', the password is everything after it, exactly as written (white space
//     included; it may be empty, and libpq then looks for one in PGPASSWORD or ~/.pgpass);
//   - in the address, the host ends at the first ':' and the port at the first '/' after
//     it; the database name is the rest and may hold '/', ':' and '='. An IPv6 address is
//     written in brackets ("[::1]:5432"), the brackets not being part of the host; a host
//     beginning with '/' is the directory of a unix socket, as libpq reads it (a socket
//     directory holding ':' goes in brackets too).
// User, host, port and database name are trimmed of blanks; none may be empty, and the port
// must be a decimal number from 1 to 65535. A string that breaks a rule is refused at once
// with std::runtime_error "Invalid connect str: <what is wrong>"; the message never repeats
// the password.
//
// The connection is opened with PQconnectdbParams (keywords and values, the database name
// never expanded as a connection string of its own), a connect timeout of 10 seconds, the
// application name "vorn" unless PGAPPNAME gives one, and, when given, the client encoding,
// so that the server converts the text it receives from that encoding.

#include <exception>
#include <string>
#include <string_view>

#include "export/libpq_loader.h"

namespace vorn {

class PgConnect;

// A failure of the target database: libpq's or the server's error text, at most 511
// characters, trailing line ends removed.
class DBExcept : public std::exception {
  public:
    explicit DBExcept(std::string_view message);
    const char* what() const noexcept override { return message_; }

    // The connection's last error text (empty when it has none).
    static DBExcept fromConnection(const PgConnect& connection);

  private:
    char message_[512];
};

struct ConnectParams {
    std::string host;
    int port = 0;
    std::string dbname;
    std::string user;
    std::string password;
    // Sent as client_encoding when not empty (a PostgreSQL encoding name such as "LATIN1").
    std::string clientEncoding;
};

// Fills every field of `out` but clientEncoding; throws std::runtime_error (see above).
void parseConnectString(std::string_view text, ConnectParams& out);

class PgConnect {
  public:
    PgConnect() = default;
    virtual ~PgConnect();
    PgConnect(const PgConnect&) = delete;
    PgConnect& operator=(const PgConnect&) = delete;

    // Opens the connection; true on success, else throws DBExcept with libpq's text ("connect
    // error: ..." when libpq gave no connection at all, e.g. when it cannot be loaded).
    bool connect(const ConnectParams& params);
    // parseConnectString, then connect.
    void connectWith(const std::string& connectString, const std::string& clientEncoding = "");
    // Runs one statement that returns no COPY; true on success, else throws DBExcept with the
    // server's error text.
    bool execute(const char* sql);
    // "select 1" when connected; its failure as std::runtime_error.
    void ping();
    void close();

    bool connected() const { return conn_ != nullptr; }
    pq::PGconn* handle() const { return conn_; }
    // PQerrorMessage of the connection, at most 511 characters, trailing line ends removed.
    std::string errorText() const;

  private:
    pq::PGconn* conn_ = nullptr;
};

// A text from libpq as a message: its first 511 characters, trailing CR and LF removed; ""
// for null.
std::string libpqMessage(const char* text);

// The start-up check of the DB format: prints "Test connecting to target DB...", then "OK."
// and returns 1 when a connection and "select 1" succeed; otherwise prints, in dim red,
// "FAIL!" and "Error message: <reason>" and returns 0.
int testTargetConnection(const std::string& connectString);

}  // namespace vorn
