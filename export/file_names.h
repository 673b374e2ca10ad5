#pragma once

// The names of a table's files in the export directory. Every file written for a table (data
// file, DDL script, import script) takes its name from tableFileName, so that schema and
// table names, which may hold any byte but NUL, can neither leave the export directory ("/",
// "..") nor make a hidden file or one a shell cannot type, and so that no two tables of one
// run write the same file.
//
//   - A name that needs no change is used as it is: "public_t" stays "public_t".
//   - Otherwise '/', the control bytes 0x01-0x1F and 0x7F and a leading '.' become '_', and
//     the table's OID is appended: "a/b" of table 16384 is "a_b_16384". Bytes from 0x80 on
//     (UTF-8 and the other server encodings) are kept. An empty name is "_<oid>".
//   - A name another table (another OID) already holds in this run gets "_<oid>" appended
//     (and, should that be taken too, "_2", "_3", ...), with a warning that says so. The same
//     table asking again gets the same name: its data file and its DDL script may share one.
//
// The registry of names lives until resetTableFileNames(), called at the start of each
// unload command; it is shared by the worker threads of a parallel unload.

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

// The name without registry: the replacement rule above.
std::string safeFileName(std::string_view name, uint32_t tableOid);

// The name for the files of `tableOid` made from `name` (e.g. "public_t" or "public_t.p1"),
// without directory or extension; registered for the rest of the run.
std::string tableFileName(std::string_view name, uint32_t tableOid);

// Forgets every name handed out: the next run starts afresh.
void resetTableFileNames();

}  // namespace vorn
