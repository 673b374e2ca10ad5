#pragma once

// The server's binary COPY files (PGCOPY), as test oracles: a parser into rows of fields,
// and the conversion of the bytes our readers store for a value into the send form the
// server writes for it, so that the two can be compared byte for byte.
//
// PGCOPY file:
//
//   "PGCOPY\n\377\r\n\0"  11-byte signature
//   int32 flags           bit 16: each row starts with the row's oid
//   int32 n, n bytes      header extension, skipped
//   rows:                 int16 field count (-1 ends the data), then per field
//                         int32 length (-1 for NULL) and that many bytes
//
// All integers big-endian.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::test {

using CopyRow = std::vector<std::optional<std::string>>;

struct CopyBinaryFile {
    bool withOids = false;  // the rows' oids are left out of the fields
    std::vector<CopyRow> rows;
};

// Throws std::runtime_error naming the offset of the first malformed byte.
CopyBinaryFile parseCopyBinary(std::string_view bytes);
CopyBinaryFile readCopyBinaryFile(const std::string& path);

// The binary send form of a value of `typeOid` from the bytes a page reader stores for it
// (little-endian, varlena header removed); nullopt for types without a conversion here.
// `xmlEncoding`: the client encoding an xml declaration names (empty for UTF8 and SQL_ASCII).
std::optional<std::string> storedToSend(uint32_t typeOid, std::string_view stored,
                                        std::string_view xmlEncoding = {});

// A field for a failure message: "NULL", or its first 32 bytes in hex ("..." after them when
// there are more) and its size: "0001 (2 bytes)".
std::string hexPrefix(const std::optional<std::string>& value);

}  // namespace vorn::test
