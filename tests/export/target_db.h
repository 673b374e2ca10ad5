#pragma once

// The target database of the DB-format tests: one PostgreSQL 15 server per test process
// (PgServer), on a unix socket in a temporary folder, with password authentication
// (scram-sha-256) for everyone. Besides the superuser postgres it has the role vorn_loader,
// neither superuser nor owner of anything, whose password holds '@', '/', ':' and a blank.
// vorn's connect strings reach it with the socket folder as host:
//
//   vorn_loader/<password>@/tmp/vpg-XXXXXX:5432/<database>
//
// What the tests read back from it comes through vorn's own libpq loader (loaded by
// targetDb()), so the tests need nothing linked but what vorn links.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "catalog/dictionary.h"
#include "export/export_settings.h"
#include "export/libpq_loader.h"
#include "export/target_connection.h"
#include "tests/export/export_test_env.h"
#include "tests/support/pg_server.h"

namespace vorn::test {

class TargetDb {
  public:
    static constexpr const char* kSuperuserPassword = "su@pw/1:2";
    static constexpr const char* kLoader = "vorn_loader";
    static constexpr const char* kLoaderPassword = "l@der/p:w d@";

    TargetDb() : server_(options()) {
        server_.psql(std::string("CREATE ROLE ") + kLoader + " LOGIN PASSWORD " +
                     PgServer::quoteLiteral(kLoaderPassword) + ";");
    }

    PgServer& server() { return server_; }
    // A vorn connect string for `user`, `password` and `database` over the socket.
    std::string connectString(const std::string& user, const std::string& password,
                              const std::string& database) const {
        return user + "/" + password + "@" + server_.socketDir() + ":" +
               std::to_string(server_.port()) + "/" + database;
    }
    std::string loaderConnectString(const std::string& database) const {
        return connectString(kLoader, kLoaderPassword, database);
    }
    std::string superuserConnectString(const std::string& database) const {
        return connectString("postgres", kSuperuserPassword, database);
    }

    // The bytes of `copyToSql` (a COPY ... TO STDOUT statement) run as postgres in
    // `database` with `clientEncoding` (empty: the database's own); throws DBExcept.
    std::string copyOut(const std::string& database, const std::string& copyToSql,
                        const std::string& clientEncoding = "") const {
        PgConnect connection;
        connection.connectWith(superuserConnectString(database), clientEncoding);
        pq::PGresult* result = pq::PQexec(connection.handle(), copyToSql.c_str());
        const bool started = pq::PQresultStatus(result) == pq::PGRES_COPY_OUT;
        const std::string message = libpqMessage(pq::PQresultErrorMessage(result));
        pq::PQclear(result);
        if (!started)
            throw DBExcept(message);
        std::string bytes;
        char* chunk = nullptr;
        int n = 0;
        while ((n = pq::PQgetCopyData(connection.handle(), &chunk, 0)) > 0) {
            bytes.append(chunk, static_cast<size_t>(n));
            pq::PQfreemem(chunk);
        }
        result = pq::PQgetResult(connection.handle());
        const bool ok = n == -1 && pq::PQresultStatus(result) == pq::PGRES_COMMAND_OK;
        pq::PQclear(result);
        if (!ok)
            throw DBExcept::fromConnection(connection);
        return bytes;
    }

    // SELECT count(*) of `table` (SQL as written), as postgres.
    int64_t count(const std::string& database, const std::string& table) const {
        return std::stoll(server_.psql("SELECT count(*) FROM " + table + ";", database));
    }

  private:
    static PgServerOptions options() {
        PgServerOptions o;
        o.password = kSuperuserPassword;
        return o;
    }

    PgServer server_;
};

// The one target server of the process, started on first use, with libpq loaded.
inline TargetDb& targetDb() {
    if (initLibpq(nullptr) != 0)
        throw std::runtime_error("libpq: " + libpqLoadError());
    static TargetDb db;  // stopped at exit
    return db;
}

// An export directory of the test's own (ExportEnv) that, when it goes, also puts back the
// process-wide connect string and empties the dictionary's databases.
class DbFormatEnv : public ExportEnv {
  public:
    DbFormatEnv() : savedConnectString_(targetConnectString) {}
    ~DbFormatEnv() {
        targetConnectString = savedConnectString_;
        Dictionary::instance().databases.clear();
    }

  private:
    std::string savedConnectString_;
};

}  // namespace vorn::test
