// The connect string of the target database, the messages of DBExcept, what libpq says for
// hosts no server listens on, and logins into a real server.

#include "export/target_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "export/copy_db_writer.h"
#include "export/export_settings.h"
#include "tests/export/export_test_env.h"
#include "tests/export/target_db.h"
#include "tests/support/console_terminal.h"

namespace vorn::test {
namespace {

struct Parsed {
    const char* text;
    const char* user;
    const char* password;
    const char* host;
    int port;
    const char* dbname;
};

TEST(TargetConnectString, SplitsAtTheLastAtAndTheFirstSlash) {
    const Parsed cases[] = {
        {"scott/tiger@db1:5432/sales", "scott", "tiger", "db1", 5432, "sales"},
        // Blanks around user, host, port and database go; the password stays as written.
        {" scott \t/ ti ger @ db1 : 5433 / sales ", "scott", " ti ger ", "db1", 5433, "sales"},
        // '@', '/' and ':' in the password: the last '@' and the first '/' split.
        {"loader/p@ss/w:rd@/tmp/vpg-1:5432/db", "loader", "p@ss/w:rd", "/tmp/vpg-1", 5432, "db"},
        {"u/@h:1/d", "u", "", "h", 1, "d"},  // no password: libpq's own sources
        {"u/p@[::1]:65535/d", "u", "p", "::1", 65535, "d"},
        {"u/p@ [fe80::1%eth0] :5432/d", "u", "p", "fe80::1%eth0", 5432, "d"},
        {"u/p@[/run/pg:x]:5432/d", "u", "p", "/run/pg:x", 5432, "d"},  // a ':' in a socket path
        // The database name is the rest: '/', ':' and '=' stay in it.
        {"u/p@h:5432/a/b:c=d", "u", "p", "h", 5432, "a/b:c=d"},
    };
    for (const Parsed& c : cases) {
        SCOPED_TRACE(c.text);
        ConnectParams p;
        ASSERT_NO_THROW(parseConnectString(c.text, p));
        EXPECT_EQ(p.user, c.user);
        EXPECT_EQ(p.password, c.password);
        EXPECT_EQ(p.host, c.host);
        EXPECT_EQ(p.port, c.port);
        EXPECT_EQ(p.dbname, c.dbname);
    }
}

TEST(TargetConnectString, RefusesWhatIsNotUserPasswordAtHostPortDb) {
    struct Refused {
        const char* text;
        const char* reason;
    };
    // The password "s3cret" must never show in a message.
    const Refused cases[] = {
        {"", "no '@'"},
        {"scott/s3cret", "no '@'"},
        {"scott:s3cret@h:5432/db", "no '/' between the user and the password"},
        {"/s3cret@h:5432/db", "no user name"},
        {"u/s3cret@h/db", "no ':port'"},
        {"u/s3cret@h:5432", "no '/dbname'"},
        {"u/s3cret@h:5432/ ", "no database name"},
        {"u/s3cret@:5432/db", "no host"},
        {"u/s3cret@::1:5432/db", "IPv6 address is written in brackets"},
        {"u/s3cret@[::1/db", "no ']'"},
        {"u/s3cret@[::1]/db", "no ':port' after the bracketed host"},
        {"u/s3cret@h:/db", "no port"},
        {"u/s3cret@h:abc/db", "port 'abc' is not a number from 1 to 65535"},
        {"u/s3cret@h:0/db", "port '0'"},
        {"u/s3cret@h:65536/db", "port '65536'"},
        {"u/s3cret@h:-1/db", "port '-1'"},
        {"u/s3cret@h:99999999999/db", "port '99999999999'"},
        {"u/s3cret@h:54 32/db", "port '54 32'"},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.text);
        ConnectParams p;
        try {
            parseConnectString(c.text, p);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("Invalid connect str: ", 0), 0u) << message;
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
            EXPECT_EQ(message.find("s3cret"), std::string::npos) << message;
        }
    }
}

TEST(DbExcept, KeepsAtMost511CharactersWithoutTrailingLineEnds) {
    EXPECT_STREQ(DBExcept(std::string(600, 'x')).what(), std::string(511, 'x').c_str());
    EXPECT_EQ(libpqMessage("ERROR:  boom\nDETAIL:  why\r\n\n"), "ERROR:  boom\nDETAIL:  why");
    EXPECT_EQ(libpqMessage("\n\n"), "");
    EXPECT_EQ(libpqMessage(nullptr), "");
    EXPECT_EQ(libpqMessage(std::string(700, 'y').c_str()).size(), 511u);
    PgConnect unconnected;
    EXPECT_STREQ(DBExcept::fromConnection(unconnected).what(), "");
}

// A host is handed to libpq as written: an IPv6 address without its brackets, and a host
// starting with '/' as a socket folder. Nothing listens there, so libpq's own error names
// what it tried.
TEST(TargetConnection, HandsTheHostToLibpqAsWritten) {
    ASSERT_EQ(initLibpq(nullptr), 0) << libpqLoadError();
    struct Unreachable {
        const char* connectString;
        const char* named;
    };
    const Unreachable cases[] = {
        {"u/p@[::1]:1/db", "\"::1\", port 1 failed"},
        {"u/p@/nonexistent-vorn-socket-dir:5432/db", "/nonexistent-vorn-socket-dir/.s.PGSQL.5432"},
    };
    for (const Unreachable& c : cases) {
        SCOPED_TRACE(c.connectString);
        PgConnect connection;
        try {
            connection.connectWith(c.connectString);
            ADD_FAILURE() << "connected";
        } catch (const DBExcept& e) {
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
        EXPECT_FALSE(connection.connected());
    }
}

// Waiting and trying again is for a server that cannot be reached; a connect string that
// cannot be read fails at once.
TEST(CopyDbWriter, TriesThreeTimesBeforeGivingUpOnAServer) {
    ExportEnv env;
    ASSERT_EQ(initLibpq(nullptr), 0) << libpqLoadError();
    const std::string saved = targetConnectString;
    const ColumnLayout layout = {column(1, "id", 23)};
    using Clock = std::chrono::steady_clock;

    targetConnectString = "u/p@/nonexistent-vorn-socket-dir:5432/db";
    CopyDBWriter unreachable(&layout, "public", "t", "", 1, "UTF8");
    Clock::time_point start = Clock::now();
    EXPECT_THROW(unreachable.open(), DBExcept);
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(waited, 2.0 * CopyDBWriter::kRetryDelaySeconds);
    EXPECT_LT(waited, 10.0);

    targetConnectString = "u/p";
    CopyDBWriter malformed(&layout, "public", "t", "", 1, "UTF8");
    start = Clock::now();
    try {
        malformed.open();
        ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Invalid connect str"), std::string::npos);
    }
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
    targetConnectString = saved;
}

// A real server (target_db.h): who gets in, and what the start-up check prints.
TEST(TargetConnection, LogsInWithPasswordsOfAnyCharacterAndRefusesWrongOnes) {
    TargetDb& db = targetDb();
    db.server().createDatabase("db=with equals");

    struct Login {
        std::string connectString;
        const char* refusal;  // null: connects
    };
    const Login cases[] = {
        {db.loaderConnectString("postgres"), nullptr},
        {db.superuserConnectString("postgres"), nullptr},
        // Not expanded as a connection string of its own.
        {db.loaderConnectString("db=with equals"), nullptr},
        {db.connectString(TargetDb::kLoader, "l@der/p:w d", "postgres"),
         "password authentication failed for user \"vorn_loader\""},
        {db.connectString(TargetDb::kLoader, "", "postgres"), "no password supplied"},
        {db.loaderConnectString("no_such_db"), "database \"no_such_db\" does not exist"},
    };
    for (const Login& c : cases) {
        SCOPED_TRACE(c.connectString);
        PgConnect connection;
        if (c.refusal == nullptr) {
            EXPECT_NO_THROW(connection.connectWith(c.connectString, "LATIN1"));
            EXPECT_TRUE(connection.connected());
            EXPECT_NO_THROW(connection.ping());
            EXPECT_THROW(connection.execute("select nothing_here"), DBExcept);
            connection.close();
            EXPECT_FALSE(connection.connected());
            continue;
        }
        try {
            connection.connectWith(c.connectString);
            ADD_FAILURE() << "connected";
        } catch (const DBExcept& e) {
            EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
        }
        EXPECT_FALSE(connection.connected());
    }

    testing::internal::CaptureStdout();
    EXPECT_EQ(testTargetConnection(db.loaderConnectString("postgres")), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Test connecting to target DB...\nOK.\n");
    std::string failed;
    {
        AsTerminal terminal;  // the failure is in red there
        testing::internal::CaptureStdout();
        EXPECT_EQ(testTargetConnection(db.connectString(TargetDb::kLoader, "wrong", "postgres")),
                  0);
        failed = testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(failed.rfind("Test connecting to target DB...\n\x1b[31;2mFAIL!\nError message: ", 0),
              0u)
        << failed;
    EXPECT_NE(failed.find("password authentication failed"), std::string::npos) << failed;
    EXPECT_EQ(failed.substr(failed.size() - 5), "\n\x1b[0m") << failed;
}

}  // namespace
}  // namespace vorn::test
