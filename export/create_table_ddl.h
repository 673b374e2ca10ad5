#pragma once

// The CREATE TABLE statement of one table, from its column layout alone: column names and
// SQL type names, nothing else (no constraint, default, NOT NULL, index or storage clause).
//
//   CREATE TABLE "schema"."table" (\n        header; without a schema: CREATE TABLE "table" (
//   "id" integer, \n                         one entry per live column, ", " between entries
//   "name" character varying(20))            ")" right after the last entry
//
// Every identifier is quoted and a '"' inside it doubled, so any stored name runs as typed.
// The result carries no ";": each caller adds its own.

#include <string>
#include <string_view>

#include "storage/column_def.h"

namespace vorn {

// Dropped columns (type 0) and the system column oid (attnum < 1) are left out. Generated
// columns are left out too and named after the closing parenthesis in a comment, with their
// types: their expressions are not read. When a live
// column's type has no SQL name (sqlTypeName gives ""), no statement could declare it: the
// result is "" and, if unnamedColumn is given, it receives "<name> (type OID <n>)" of the
// first such column, so the caller can warn and skip the script.
std::string buildCreateTableDdl(const std::string& schemaName, const std::string& tableName,
                                const ColumnLayout& columns, bool newlines,
                                std::string* unnamedColumn = nullptr);

// `name` in double quotes, each '"' inside doubled.
std::string quoteIdentifier(std::string_view name);

}  // namespace vorn
