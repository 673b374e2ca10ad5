#pragma once

// Text output of stored values: one decoded value, as a page reader left it in a ColumnBatch
// (the stored bytes of a fixed-width type, little-endian; the plain bytes of a variable-length
// type, varlena header removed), rendered the way the server's own output function prints
// it. The COPY text writer and the dictionary writer use these; neither delimiters, quoting
// nor COPY escapes are added here.
//
// Hot path: the writer asks textOutputFor() once per column and then calls the function for
// every non-NULL value, appending to one TextBuffer. An output returns false when the bytes
// cannot be a value of the type (too short, a numeric digit group above 9999, a time past
// 24:00:00, a date beyond the Julian range, ...); it has then appended nothing, and the
// caller writes an empty field. No output reads outside [value, value + length).
//
// Stored forms, by type:
//
//   bool, "char", tinyint  1 byte
//   int2 / int4 / int8     2 / 4 / 8 bytes, signed
//   oid, xid32             4 bytes, unsigned; xid 4 bytes, 8 on U pages (64-bit xid)
//   float4 / float8        IEEE 754, 4 / 8 bytes
//   money                  int64 hundredths
//   name                   64 bytes, NUL-padded (a full 64-byte name has no NUL)
//   date                   int32 days since 2000-01-01; INT32_MAX infinity, INT32_MIN -infinity
//   time                   int64 microseconds since midnight, 0 .. 24:00:00
//   timetz                 int64 microseconds, int32 zone offset in seconds west of UTC
//   timestamp(tz)          int64 microseconds since 2000-01-01 00:00:00 (UTC for timestamptz);
//                          INT64_MAX infinity, INT64_MIN -infinity
//   interval               int64 microseconds, int32 days, int32 months
//   datetime (9876)        int64: sign = era (negative BC); magnitude bits 0-23 microseconds,
//                          24-29 second, 30-35 minute, 36-40 hour, 41-45 day, 46 and up
//                          year * 13 + month
//   numeric                see value_text_numeric.cpp
//   bit, varbit            int32 bit count, then the bits, most significant first
//   bytea, blob, text ...  the bytes

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "storage/column_def.h"
#include "storage/text_buffer.h"

namespace vorn {

using TextOutputFn = bool (*)(const uint8_t* value, uint32_t length, const ColumnDef& column,
                              TextBuffer& out);

// The output of the column's type, chosen once per column; null for a type without text
// output (jsonb, nvarchar2, uuid, inet, enums, arrays and every OID not known here): its
// field stays empty.
TextOutputFn textOutputFor(const ColumnDef& column);

// text, varchar, bpchar, json, clob: the bytes as they are.
bool outputText(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// xml: the bytes, but a leading XML declaration as the server prints it (dropped unless it
// names another version than 1.0 or standalone; its encoding never), and without the line
// feed after a declaration that is dropped (or at the start of a value without one).
bool outputXml(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// The same rule, appending to a string (the binary encoder sends these bytes). With an
// `encoding` (the PostgreSQL name of a client encoding other than UTF8 and SQL_ASCII) the
// declaration is always printed and names it, as the server's binary output does for such a
// client: the receiving server reads the bytes in the encoding the declaration names, UTF-8
// when it names none.
void appendXmlAsPrinted(std::string_view value, std::string& out, std::string_view encoding = {});
// "t" when the byte is neither 0 nor 'f', else "f".
bool outputBool(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// "\x" and two lower-case hex digits per byte (the COPY writer doubles the backslash).
bool outputBytea(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// The byte; nothing for a zero byte; from 0x80 "\ooo" on servers from 15 on, the raw byte
// before (the configured serverVersion decides).
bool outputChar(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// The bytes of a 64-byte name up to its first NUL.
bool outputName(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
bool outputInt2(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
bool outputInt4(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
bool outputInt8(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// oid, xid32: unsigned 32 bits.
bool outputOid(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// xid: unsigned, 64 bits when 8 bytes are stored (U pages), else 32.
bool outputXid(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// The byte as a signed 8-bit number.
bool outputTinyint(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// Shortest digits that read back to the same value, laid out as PostgreSQL 12 and later do.
bool outputFloat4(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
bool outputFloat8(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// "-N.NN" from the integer hundredths, without currency sign or grouping.
bool outputMoney(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
bool outputDate(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
bool outputTime(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
bool outputTimeTz(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
bool outputTimestamp(const uint8_t* value, uint32_t length, const ColumnDef& column,
                     TextBuffer& out);
// In UTC, with the zone "+00".
bool outputTimestampTz(const uint8_t* value, uint32_t length, const ColumnDef& column,
                       TextBuffer& out);
bool outputDatetime(const uint8_t* value, uint32_t length, const ColumnDef& column,
                    TextBuffer& out);
// IntervalStyle postgres.
bool outputInterval(const uint8_t* value, uint32_t length, const ColumnDef& column,
                    TextBuffer& out);
// Exactly the display scale's digits after the point.
bool outputNumeric(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
bool outputBit(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);
// Two upper-case hex digits per byte, no prefix.
bool outputBlobHex(const uint8_t* value, uint32_t length, const ColumnDef& column, TextBuffer& out);

// Shared by the number and date/time outputs.

// The decimal digits of `value`, two at a time from a digit-pair table, without terminator;
// the count written (at most 10; "0" for zero).
size_t formatUInt32(uint32_t value, char* dest);
// `value` in decimal, left-filled with '0' to at least `width` characters (at most 20 + the
// padding); the end of the text.
char* formatZeroPadded(char* dest, uint64_t value, int width);

struct BrokenDownTime {
    int32_t year = 2000;  // proleptic Gregorian; 0 is 1 BC
    int32_t month = 1;
    int32_t day = 1;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
};
// Room formatDateTime needs at most: ten digits for each field out of its range, the fraction,
// a zone of the whole int32 range and " BC".
constexpr size_t kDateTimeTextMax = 96;
// ISO timestamp text: "YYYY-MM-DD HH:MM:SS" (the year with at least four digits, 1 - year
// for years 0 and below), the fraction of `microseconds` (0..999999; only the last six digits
// count) without trailing zeros, the zone of `zoneSeconds` (west of UTC) when `printZone`,
// then " BC" for years 0 and below. Writes at most kDateTimeTextMax bytes; the end of the
// text.
char* formatDateTime(const BrokenDownTime& time, uint32_t microseconds, bool printZone,
                     int32_t zoneSeconds, char* dest);

}  // namespace vorn
