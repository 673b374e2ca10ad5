#pragma once

// COPY binary output of stored values: one decoded, non-NULL value, as a page reader left it
// in a ColumnBatch (the stored bytes of a fixed-width type, little-endian; the plain bytes of a
// variable-length type, varlena header removed), appended to a CopyBinaryBuffer as one
// complete field (int32 length, then the type's send form, big-endian) exactly as the
// server's *_send function and COPY (FORMAT binary) give it.
//
// Hot path: the writer asks binaryEncoderFor() once per column, writes NULL itself for a row
// whose null flag is set, and calls the encoder for every other row. An encoder never reads
// outside [value, value + length). For bytes that cannot be a value of the type (a length
// other than the type's width, a numeric digit group above 9999, a bit count beyond the
// bytes, a name without its NUL) it returns false and writes nothing; the writer then sends
// NULL (int32 -1) and counts the value: a field the server's receive function would refuse
// would fail the load of the whole table.
//
// Send forms, by type:
//
//   bool                1 byte: 1 when the stored byte is neither 0 nor 'f', else 0
//   "char", tinyint     the stored byte (a zero "char" is sent as one zero byte, as the
//                       server's charsend does)
//   int2                int16
//   int4, oid, xid32    int32
//   float4, date        int32 (the float's bits; days since 2000-01-01)
//   xid                 int32; an 8-byte xid of a U page is sent as its low 32 bits when its
//                       high 32 bits are 0, else as NULL (the type holds 32 bits)
//   int8, float8, money int64
//   time, timestamp,    int64 microseconds
//   timestamptz,
//   datetime (9876)
//   timetz              int64 microseconds, int32 zone offset in seconds
//   interval            int64 microseconds, int32 days, int32 months
//   numeric             int16 ndigits, int16 weight, uint16 sign, int16 dscale, then the
//                       base-10000 digits as int16 (sign 0x0000 +, 0x4000 -, 0xC000 NaN,
//                       0xD000 +Infinity, 0xF000 -Infinity)
//   bit, varbit         int32 bit count, then (bit count + 7) / 8 bytes as stored
//   name                the bytes before the first NUL
//   xml                 the bytes as the text output prints them
//   bytea, text, varchar, bpchar, json, blob (88), clob (90)
//                       the bytes as they are (an empty value is a field of length 0)
//
// No encoder (binaryEncoderFor returns null; the writer sends NULL): jsonb, whose on-disk
// tree is not its send form (jsonb_recv refuses it); nvarchar2; and every other OID: uuid,
// inet, enums, arrays, user types.

#include <cstdint>
#include <string_view>

#include "storage/column_def.h"
#include "storage/copy_binary_buffer.h"

namespace vorn {

// Appends the field of the value; false (nothing appended) when the bytes are no value of the
// type.
using BinaryEncodeFn = bool (*)(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);

// How the binary row loop writes a field: the common fixed-width and byte-string forms
// inline, the others through the encoder. Date and Timestamp are Int32 and Int64 with the
// server's range check.
enum class BinaryFieldKind : uint8_t {
    kNull,  // no encoder: sent as NULL
    kInt32,
    kInt64,
    kBool,
    kBytes,
    kNumeric,
    kDate,
    kTimestamp,
    kOther,
};

// The encoder of the column's type, chosen once per column; null for a type without one and
// for a dropped column.
BinaryEncodeFn binaryEncoderFor(const ColumnDef& column);
// The row loop's kind for the column's type (kNull exactly when binaryEncoderFor is null).
BinaryFieldKind binaryFieldKindFor(const ColumnDef& column);

// True for the columns that are fields of a COPY row: neither dropped nor a system column
// (the "oid" of a table WITH OIDS), nor generated (the server's COPY TO leaves those out, and
// its COPY FROM refuses them).
inline bool isCopyField(const ColumnDef& column) {
    return !column.isDropped() && column.attnum >= 0 && column.attgenerated == 0;
}
// The int16 field count of each row of a table with this layout.
uint16_t copyFieldCount(const ColumnLayout& columns);

bool encodeBinaryBool(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryChar(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryTinyint(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryInt16(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryInt32(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryXid(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryInt64(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
// The ranges the server's receive functions accept (date_recv, time_recv, timetz_recv,
// timestamp_recv, timestamptz_recv); a value outside them would make COPY FROM fail the whole
// table ("date out of range"), so the encoders below refuse it: the writer sends NULL and
// counts it.
// Day 0 and microsecond 0 are 2000-01-01; the infinities are the extremes of the type.
inline bool binaryDateInRange(int32_t days) {
    return days == INT32_MIN || days == INT32_MAX ||
           (days >= -2451545 && days < 2147483494 - 2451545);
}
inline bool binaryTimestampInRange(int64_t usecs) {
    return usecs == INT64_MIN || usecs == INT64_MAX ||
           (usecs >= -211813488000000000 && usecs < 9223371331200000000);
}
inline bool binaryTimeInRange(int64_t usecs) {
    return usecs >= 0 && usecs <= int64_t(86400) * 1000000;
}
// Seconds west of UTC, less than 16 hours either way.
inline bool binaryZoneInRange(int32_t seconds) {
    return seconds > -16 * 3600 && seconds < 16 * 3600;
}

// xml: the bytes the text output prints (the server sends what it prints, in the client's
// encoding), for a UTF8 or SQL_ASCII client.
bool encodeBinaryXml(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
// The same for a client in another encoding (its PostgreSQL name, e.g. LATIN1): the server
// then names it in a declaration it always prints, and the receiving server's xml_recv
// reads the bytes as that encoding (without one, as UTF-8, which fails the whole COPY on the
// first non-ASCII byte).
bool encodeBinaryXmlDeclaring(const uint8_t* value, uint32_t length, std::string_view encoding,
                              CopyBinaryBuffer& out);
bool encodeBinaryDate(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryTime(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
// timestamp and timestamptz: one form, int64 microseconds since 2000-01-01 (UTC).
bool encodeBinaryTimestamp(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryTimestampTz(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryTimeTz(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryInterval(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryNumeric(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
// The most bytes encodeNumericField writes for a stored value of `length` bytes: the length
// word, the fixed part and at most one digit group per two stored bytes past the header.
constexpr size_t numericFieldBound(uint32_t length) {
    return 4 + 8 + size_t(length);
}
// The numeric field (length word and send form) at p, which has numericFieldBound(length)
// bytes of room: the number of bytes written, or 0 when the value is to be sent as NULL
// (what was written at p is then of no use).
size_t encodeNumericField(const uint8_t* value, uint32_t length, uint8_t* p);
bool encodeBinaryBit(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryName(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);
bool encodeBinaryBytes(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out);

}  // namespace vorn
