#include "export/target_connection.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/console_color.h"

namespace vorn {

namespace {

constexpr size_t kMessageLimit = 511;
constexpr const char* kConnectTimeoutSeconds = "10";
constexpr const char* kForm = "expected user/password@host:port/dbname";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

[[noreturn]] void refuse(std::string_view what) {
    throw std::runtime_error(fmt::format("Invalid connect str: {} ({})", what, kForm));
}

// "1" .. "65535", decimal digits only.
int parsePort(std::string_view text) {
    if (text.empty())
        refuse("no port after ':'");
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || port > 65535) {
            port = -1;
            break;
        }
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535)
        refuse(fmt::format("port '{}' is not a number from 1 to 65535", text));
    return port;
}

}  // namespace

DBExcept::DBExcept(std::string_view message) {
    const size_t n = std::min(message.size(), kMessageLimit);
    std::memcpy(message_, message.data(), n);
    message_[n] = '\0';
}

DBExcept DBExcept::fromConnection(const PgConnect& connection) {
    return DBExcept(connection.errorText());
}

std::string libpqMessage(const char* text) {
    if (text == nullptr)
        return {};
    std::string message(text, ::strnlen(text, kMessageLimit));
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return message;
}

void parseConnectString(std::string_view text, ConnectParams& out) {
    const size_t at = text.rfind('@');
    if (at == std::string_view::npos)
        refuse("no '@' before the host");
    const std::string_view credentials = text.substr(0, at);
    const size_t slash = credentials.find('/');
    if (slash == std::string_view::npos)
        refuse("no '/' between the user and the password before the last '@'");
    const std::string_view user = trimmed(credentials.substr(0, slash));
    if (user.empty())
        refuse("no user name");

    std::string_view address = text.substr(at + 1);
    std::string_view host;
    const size_t open = address.find_first_not_of(" \t\n\v\f\r");
    if (open != std::string_view::npos && address[open] == '[') {
        const size_t close = address.find(']', open);
        if (close == std::string_view::npos)
            refuse("no ']' after the '[' of the host");
        host = address.substr(open + 1, close - open - 1);
        address = trimmed(address.substr(close + 1));
        if (address.empty() || address.front() != ':')
            refuse("no ':port' after the bracketed host");
    } else {
        const size_t colon = address.find(':');
        if (colon == std::string_view::npos)
            refuse("no ':port' after the host");
        host = trimmed(address.substr(0, colon));
        address = address.substr(colon);
    }
    if (host.empty())
        refuse("no host before ':' (an IPv6 address is written in brackets: [::1]:5432)");
    address.remove_prefix(1);  // the ':'
    const size_t portEnd = address.find('/');
    if (portEnd == std::string_view::npos)
        refuse("no '/dbname' after the port");
    const int port = parsePort(trimmed(address.substr(0, portEnd)));
    const std::string_view dbname = trimmed(address.substr(portEnd + 1));
    if (dbname.empty())
        refuse("no database name after the port");

    out.user = user;
    out.password = credentials.substr(slash + 1);
    out.host = host;
    out.port = port;
    out.dbname = dbname;
}

PgConnect::~PgConnect() {
    close();
}

std::string PgConnect::errorText() const {
    if (conn_ == nullptr)
        return {};
    return libpqMessage(pq::PQerrorMessage(conn_));
}

bool PgConnect::connect(const ConnectParams& params) {
    close();
    const std::string port = fmt::format("{}", params.port);
    std::vector<const char*> keywords = {
        "host", "port", "dbname", "user", "connect_timeout", "fallback_application_name"};
    std::vector<const char*> values = {params.host.c_str(),    port.c_str(),
                                       params.dbname.c_str(),  params.user.c_str(),
                                       kConnectTimeoutSeconds, "vorn"};
    if (!params.password.empty()) {
        keywords.push_back("password");
        values.push_back(params.password.c_str());
    }
    if (!params.clientEncoding.empty()) {
        keywords.push_back("client_encoding");
        values.push_back(params.clientEncoding.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);

    pq::PGconn* conn = pq::PQconnectdbParams(keywords.data(), values.data(), 0);
    if (conn == nullptr) {
        if (!libpqLoaded())
            throw DBExcept(fmt::format("connect error: libpq is not loaded: {}", libpqLoadError()));
        throw DBExcept("connect error: libpq gave no connection (out of memory)");
    }
    conn_ = conn;
    if (pq::PQstatus(conn) == pq::CONNECTION_OK)
        return true;
    DBExcept failure = DBExcept::fromConnection(*this);
    close();
    throw failure;
}

void PgConnect::connectWith(const std::string& connectString, const std::string& clientEncoding) {
    ConnectParams params;
    parseConnectString(connectString, params);
    params.clientEncoding = clientEncoding;
    connect(params);
}

bool PgConnect::execute(const char* sql) {
    if (conn_ == nullptr)
        throw DBExcept("not connected");
    pq::PGresult* result = pq::PQexec(conn_, sql);
    const pq::ExecStatusType status = pq::PQresultStatus(result);
    if (result != nullptr && (status == pq::PGRES_COMMAND_OK || status == pq::PGRES_TUPLES_OK)) {
        pq::PQclear(result);
        return true;
    }
    std::string message = libpqMessage(pq::PQresultErrorMessage(result));
    if (message.empty())
        message = errorText();
    pq::PQclear(result);
    throw DBExcept(message);
}

void PgConnect::ping() {
    if (conn_ == nullptr)
        return;
    try {
        execute("select 1");
    } catch (const DBExcept& e) {
        throw std::runtime_error(e.what());
    }
}

void PgConnect::close() {
    if (conn_ != nullptr) {
        pq::PQfinish(conn_);
        conn_ = nullptr;
    }
}

int testTargetConnection(const std::string& connectString) {
    std::puts("Test connecting to target DB...");
    try {
        PgConnect connection;
        connection.connectWith(connectString);
        connection.ping();
        std::puts("OK.");
        return 1;
    } catch (const std::exception& e) {
        uiSetRed();
        std::puts("FAIL!");
        std::puts(fmt::format("Error message: {}", e.what()).c_str());
        uiResetColor();
        return 0;
    }
}

}  // namespace vorn
