#pragma once

// Names as a user types them at the console, and how a typed name picks a catalogue name.
// The shell (use, set db, set schema, desc, completion) and the unload commands all go
// through here, so that what one command accepts every other accepts too.
//
// A typed name is cut into parts at '.' (schema.table, database.schema) and ':' (the
// file-name suffix of unload table) wherever these stand outside double quotes. Each part is
// written as SQL writes an identifier: plain (`orders`), or in double quotes with blanks and
// any other byte inside and `""` for one quote (`"order items"`, `"say ""hi"""`).
//
// One part is matched against the names of one scope (the databases; the schemas of a
// database; the tables of a schema):
//   - a quoted part matches the name spelled exactly so;
//   - a plain part matches every name equal to it without regard to ASCII case; of several,
//     the one spelled exactly as typed wins; when none is spelled so, the part is ambiguous:
//     the names are reported and none is chosen, for a guess could unload or overwrite the
//     wrong table.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

struct NamePart {
    std::string text;     // the name, quotes removed and "" undone
    bool quoted = false;  // written in double quotes: matched exactly
};

// One part as typed. `"a b"` gives {a b, quoted}; `"a""b"` gives {a"b, quoted}. Anything
// that is not one whole quoted identifier (plain text, an unclosed quote, text after the
// closing quote) is taken plain, byte for byte as typed.
NamePart parseNamePart(std::string_view raw);

// The first `separator` that stands outside double quotes, or npos.
size_t findOutsideQuotes(std::string_view raw, char separator);

// A typed table name [schema.]table[:suffix], cut outside quotes: first at the first ':',
// then the part before it at the first '.'.
struct TypedTableName {
    bool hasSchema = false;  // a non-empty part before the '.'; otherwise the current schema
    NamePart schema;
    NamePart table;  // empty text: nothing was typed for the table
    bool hasSuffix = false;
    std::string suffix;  // after the ':', as typed
};
TypedTableName splitTableName(std::string_view raw);

struct NameMatch {
    enum Kind { kNone, kFound, kAmbiguous };
    Kind kind = kNone;
    size_t index = 0;           // the candidate found
    std::vector<size_t> twins;  // ambiguous: the candidates that differ only in case
};

// `typed` against the names of one scope, by the rule above.
NameMatch matchName(const NamePart& typed, const std::vector<std::string_view>& candidates);

// What a lookup by a typed name found: the entry, or nothing (then `ambiguity` says whether
// the name fitted several entries, and which).
template <class T>
struct NameLookup {
    T* found = nullptr;
    std::string ambiguity;  // the message to print when several names fit; else empty
};

// The message for a plain part that fits several names which differ only in case. `kind`
// is "Database", "Schema" or "Table".
std::string ambiguousNameMessage(std::string_view kind, std::string_view typed,
                                 const std::vector<std::string_view>& names);

// `name` in double quotes, every quote inside doubled.
std::string quoteName(std::string_view name);

// How to type `name`, one of the names of `scope`, so that it is one word of the command
// line and picks that name: in double quotes when it holds a blank, a quote, a byte the
// name parser splits at ('.' ':') or the line trimmer drops (';'), or when it has upper-case
// letters and another name of the scope differs from it only in case; plain otherwise.
std::string typedFormOf(std::string_view name, const std::vector<std::string_view>& scope);

// Byte-wise ASCII case folding: a UTF-8 name keeps its other bytes.
bool sameNameIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vorn
