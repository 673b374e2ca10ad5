#pragma once

// The SQL name under which a column's type is shown (desc) and declared (CREATE TABLE),
// from its type OID and type modifier alone.
//
// Type modifiers, as PostgreSQL encodes them (-1: none):
//   char(n), varchar(n), nvarchar2(n)   n + 4
//   bit(n), varbit(n)                   n
//   numeric(p,s)                        ((p << 16) | (s & 0x7FF)) + 4; s is a signed 11-bit
//                                       field (negative scales from 15 on)
//   time(p), timetz(p), timestamp(p),   p (0..6)
//   timestamptz(p)
//   interval                            (range mask << 16) | precision; precision 0xFFFF
//                                       is none, range 0x7FFF is all fields
// A modifier that no server could have written gives the plain name, which accepts every
// value of the type, rather than a declaration the server would refuse.

#include <cstdint>
#include <string>

#include "storage/column_def.h"

namespace vorn {

// Empty for a type without a name (a pseudo-type, an enum, a domain, a composite or user
// range, any OID from 10000 on, and every OID no built-in type has): a caller writing DDL
// must not declare such a column, since no name built from the OID alone would run. An
// array column's modifier is its element's: varchar(20)[], numeric(10,2)[].
std::string sqlTypeName(const ColumnDef& column);

// The names of the types that take a modifier, from the modifier alone (the rows of
// storage/type_table.cpp point to them).
std::string bpcharName(int32_t typmod);
std::string varcharName(int32_t typmod);
std::string nvarchar2Name(int32_t typmod);
std::string bitName(int32_t typmod);
std::string varbitName(int32_t typmod);
std::string numericName(int32_t typmod);
std::string timeName(int32_t typmod);
std::string timetzName(int32_t typmod);
std::string timestampName(int32_t typmod);
std::string timestamptzName(int32_t typmod);
std::string intervalName(int32_t typmod);

}  // namespace vorn
