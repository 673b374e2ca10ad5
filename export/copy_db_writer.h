#pragma once

// The writer of export format DB: one table's rows streamed into a live PostgreSQL database
// instead of a file. Each writer opens a connection of its own from the connect string of
// the target (targetConnectString, taken when the writer is built; form in
// target_connection.h), starts
//
//   COPY "schema"."table" ("col", ...) FROM STDIN (FORMAT binary)
//
// and sends the PGCOPY stream that CopyBinaryWriter writes to a file (the same encoder,
// copy_binary_rows.h) with PQputCopyData, in chunks of about 1 MiB. Names are quoted as the
// catalogue spells them, each '"' doubled, so mixed case and odd characters reach the
// server as they are. The client encoding of the connection is the encoding of the table's
// own database, so the server converts text, names and JSON from it into the target's.
// No DDL script and no import script are written: the target table must exist.
//
// The COPY is one statement in a transaction of its own, so the target takes either all of
// the table's rows or none of them:
//   - a COPY the server refuses at once (no such table or column, no permission) fails
//     open() with the server's message, and nothing was sent;
//   - a row the server rejects (a constraint, a value too long, a type that does not match)
//     ends the COPY on the server, which then discards what follows. libpq learns of it
//     only when the stream ends: finish() reports the server's message and the table comes
//     out failed with 0 rows, the target table as it was;
//   - a lost connection fails the writeRows() or finish() that finds it;
//   - a writer destroyed while its COPY is still open (an unload that failed on the way)
//     ends the COPY with an error, so the server rolls it back.

#include <cstdint>
#include <string>
#include <vector>

#include "export/copy_binary_rows.h"
#include "export/data_writer.h"
#include "export/target_connection.h"
#include "storage/copy_binary_buffer.h"

namespace vorn {

class CopyDBWriter : public DataWriter {
  public:
    // `clientEncoding`: the PostgreSQL name of the encoding the table's values are stored in
    // (databaseClientEncoding); empty leaves the server's default.
    CopyDBWriter(const ColumnLayout* columns, std::string schemaName, std::string tableName,
                 std::string fileSuffix, uint32_t tableOid, std::string clientEncoding);
    ~CopyDBWriter() override;

    // Connects (up to kConnectAttempts times, kRetryDelaySeconds apart, for a server that
    // cannot be reached or refuses; a malformed connect string fails at once), starts the
    // COPY and buffers the stream header. Throws DBExcept or std::runtime_error.
    void open() override;
    // Encodes the rows and sends the buffer whenever it holds 1 MiB or more; throws DBExcept
    // when the connection fails.
    uint32_t writeRows(const ColumnBatch* batch, uint32_t rows) override;
    // Sends the trailer and the rest, ends the COPY and checks the server's answer; throws
    // DBExcept with the server's message when it refused the rows.
    void finish() override;

    const std::string& clientEncoding() const { return clientEncoding_; }
    // Rows handed to the server so far (taken by it only once finish() succeeded).
    uint64_t rowsSent() const { return rowsSent_; }

    static constexpr int kConnectAttempts = 3;
    static constexpr int kRetryDelaySeconds = 1;

  private:
    void connect();
    // Sends the whole buffer and empties it; throws DBExcept when libpq cannot send.
    void sendBuffer();
    // Ends an open COPY with an error and drops the connection; never throws.
    void abandon() noexcept;

    std::string connectString_;
    std::string clientEncoding_;
    CopyBinaryRows rows_;
    CopyBinaryBuffer buffer_;
    PgConnect connection_;
    bool copying_ = false;  // between a COPY IN that started and its end
    uint64_t rowsSent_ = 0;
};

// The statement that starts the COPY of `fields` into the table; an empty schema leaves the
// table name unqualified, no fields leave out the column list.
std::string copyInStatement(const std::string& schemaName, const std::string& tableName,
                            const std::vector<const ColumnDef*>& fields);

}  // namespace vorn
