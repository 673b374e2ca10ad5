#include "export/copy_db_writer.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "base/encoding.h"
#include "catalog/dictionary.h"
#include "export/create_table_ddl.h"
#include "export/export_settings.h"
#include "export/export_warning.h"

namespace vorn {

namespace {

// The most bytes one PQputCopyData takes: a normal chunk goes in one call, the buffer of a
// row with huge values in pieces (libpq holds each call's bytes in its own output buffer,
// and takes an int).
constexpr size_t kSendPiece = 8 * 1048576;
static_assert(kSendPiece <= INT_MAX);

// The server's count of the rows a COPY took, from its command tag; -1 when it gives none.
int64_t copiedRows(pq::PGresult* result) {
    const char* count = pq::PQcmdTuples(result);
    if (count == nullptr || count[0] == '\0')
        return -1;
    char* end = nullptr;
    const long long n = std::strtoll(count, &end, 10);
    return end != nullptr && *end == '\0' ? n : -1;
}

// The error text of a failed result, or the connection's when the result has none.
std::string failureText(pq::PGresult* result, const PgConnect& connection) {
    std::string message = libpqMessage(pq::PQresultErrorMessage(result));
    if (message.empty())
        message = connection.errorText();
    if (message.empty())
        message = "the target database gave no result";
    return message;
}

// Reads and drops the results that follow the one of the COPY, so the connection is idle.
void drainResults(PgConnect& connection) {
    while (pq::PGresult* more = pq::PQgetResult(connection.handle()))
        pq::PQclear(more);
}

}  // namespace

std::string copyInStatement(const std::string& schemaName, const std::string& tableName,
                            const std::vector<const ColumnDef*>& fields) {
    std::string sql = "COPY ";
    if (!schemaName.empty()) {
        sql += quoteIdentifier(schemaName);
        sql += '.';
    }
    sql += quoteIdentifier(tableName);
    if (!fields.empty()) {
        sql += " (";
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i > 0)
                sql += ", ";
            sql += quoteIdentifier(fields[i]->name());
        }
        sql += ')';
    }
    sql += " FROM STDIN (FORMAT binary)";
    return sql;
}

CopyDBWriter::CopyDBWriter(const ColumnLayout* columns, std::string schemaName,
                           std::string tableName, std::string fileSuffix, uint32_t tableOid,
                           std::string clientEncoding)
    : DataWriter(columns, std::move(schemaName), std::move(tableName), std::move(fileSuffix),
                 tableOid),
      connectString_(targetConnectString),
      clientEncoding_(std::move(clientEncoding)) {}

CopyDBWriter::~CopyDBWriter() {
    abandon();
}

void CopyDBWriter::connect() {
    // Parsed once: a malformed string is no reason to wait and try again.
    ConnectParams params;
    parseConnectString(connectString_, params);
    params.clientEncoding = clientEncoding_;
    for (int attempt = 1;; ++attempt) {
        try {
            connection_.connect(params);
            return;
        } catch (const DBExcept&) {
            if (attempt >= kConnectAttempts)
                throw;
        }
        // sleep_for resumes after a signal for the time left.
        std::this_thread::sleep_for(std::chrono::seconds(kRetryDelaySeconds));
    }
}

void CopyDBWriter::open() {
    rows_.plan(columns(), quotedName(), clientEncoding_);
    warnColumns(rows_.columnsWithoutEncoder(), "no binary encoder", "NULL");

    connect();
    const std::string sql = copyInStatement(schemaName(), tableName(), rows_.fieldColumns());
    pq::PGresult* result = pq::PQexec(connection_.handle(), sql.c_str());
    if (result == nullptr || pq::PQresultStatus(result) != pq::PGRES_COPY_IN) {
        const DBExcept failure(failureText(result, connection_));
        pq::PQclear(result);
        connection_.close();
        throw failure;
    }
    pq::PQclear(result);
    copying_ = true;
    rowsSent_ = 0;
    buffer_.clear();
    buffer_.appendHeader();
}

uint32_t CopyDBWriter::writeRows(const ColumnBatch* batch, uint32_t rows) {
    if (!copying_)
        throw std::runtime_error(fmt::format("table {}: no COPY in progress", quotedName()));
    if (!rows_.bind(*batch))
        throw std::runtime_error(fmt::format("table {}: batch of {} columns for {}", quotedName(),
                                             batch->size(), columns().size()));
    for (uint32_t next = 0; next < rows;) {
        next = rows_.encode(next, rows, buffer_);
        if (buffer_.full())
            sendBuffer();
    }
    rowsSent_ += rows;
    return rows;
}

void CopyDBWriter::sendBuffer() {
    const char* bytes = reinterpret_cast<const char*>(buffer_.data());
    size_t left = buffer_.size();
    buffer_.clear();
    while (left > 0) {
        const size_t n = std::min(left, kSendPiece);
        if (pq::PQputCopyData(connection_.handle(), bytes, static_cast<int>(n)) != 1)
            throw DBExcept::fromConnection(connection_);
        bytes += n;
        left -= n;
    }
}

void CopyDBWriter::finish() {
    if (!copying_)
        throw std::runtime_error(fmt::format("table {}: no COPY in progress", quotedName()));
    buffer_.appendTrailer();
    sendBuffer();
    if (pq::PQputCopyEnd(connection_.handle(), nullptr) != 1)
        throw DBExcept::fromConnection(connection_);
    copying_ = false;

    // The COPY's own result tells whether the server took the rows.
    pq::PGresult* result = pq::PQgetResult(connection_.handle());
    if (result == nullptr || pq::PQresultStatus(result) != pq::PGRES_COMMAND_OK) {
        const DBExcept failure(failureText(result, connection_));
        pq::PQclear(result);
        drainResults(connection_);
        connection_.close();
        throw failure;
    }
    const int64_t taken = copiedRows(result);
    pq::PQclear(result);
    drainResults(connection_);
    connection_.close();
    // The target's own triggers or rules may skip rows; the COPY still succeeded.
    if (taken >= 0 && static_cast<uint64_t>(taken) != rowsSent_) {
        warnExport(fmt::format("Table {}: the target database took {} of the {} rows sent.",
                               quotedName(), taken, rowsSent_));
    }
    warnUnreadableValues(rows_.refusedValues(), "NULL");
    noteValuesWithoutOutput(rows_.valuesWithoutEncoder(), "no binary encoder", "NULL");
}

void CopyDBWriter::abandon() noexcept {
    if (copying_) {
        // CopyFail: the server ends the COPY with this text as its error and keeps nothing.
        pq::PQputCopyEnd(connection_.handle(), "the unload of the table did not complete");
        copying_ = false;
    }
    connection_.close();
}

}  // namespace vorn
