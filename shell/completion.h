#pragma once

// What Tab offers and what the hint after the typed text says, for the line editor
// (shell/ui_line_editor.h). Command words come from a fixed list; database, schema and
// table names from the Dictionary, limited to its current database; the current schema is
// the process-wide currentSchemaOid of shell/console.h.

#include <string>
#include <vector>

#include "shell/ui_line_editor.h"

namespace vorn {

// Tab on `typed`: first every command word that `typed` begins (case-insensitively), then,
// by the first two words, the database, schema or table names that hold the word being
// typed, each as a whole line with the command words in lower case.
void completionCallback(const char* typed, UiCompletions* out);

// The argument syntax of the command `typed` begins with, in bold yellow; null when `typed`
// starts with no command that takes arguments.
const char* hintsCallback(const char* typed, int* color, int* bold);

// Each appends the names that contain `fragment` case-insensitively (all of them for an
// empty fragment; after an opening double quote, with its case) in the order of the
// Dictionary, and returns how many it appended. A name is appended as the command line must
// carry it (typedFormOf of catalog/typed_name.h): "Second DB" in double quotes, say, or "Sch"
// when sch is there too. Databases: the whole database list. Schemas: those of the current
// database.
int completeDatabaseName(const std::string& fragment, std::vector<std::string>& out);
int completeSchemaName(const std::string& fragment, std::vector<std::string>& out);
// Tables of the current schema, or with "schema.part" of the schema named before the first
// '.' outside quotes (found as the commands find it), each then offered as "schema.table"
// with the schema as typed. A word ending in '.' offers nothing; so does a schema the
// database lacks or a plain schema name that fits several.
int completeTableName(const std::string& word, std::vector<std::string>& out);

}  // namespace vorn
