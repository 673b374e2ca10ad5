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

#include <string>

#include "storage/column_def.h"

namespace vorn {

// Empty for a type with no name here (arrays other than text[] and aclitem[], enums, uuid,
// inet and every other OID the table does not list): a caller writing DDL must not declare
// such a column, since no name built from the OID alone would run.
std::string sqlTypeName(const ColumnDef& column);

}  // namespace vorn
