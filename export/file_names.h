#pragma once

// The names of the files an unload writes. Every file written for a table (data file, DDL
// script, import script) or a schema (import script, DDL file) takes its name from
// claimFileName, so that schema and table names, which may hold any byte but NUL, can
// neither leave their directory ("/", "..") nor make a hidden file or one a shell cannot
// type, and so that no two objects ever write the same file of a directory: not in one
// command, not in two commands of a run, not in two runs.
//
//   - A name that needs no change is used as it is: "public_t" stays "public_t".
//   - Otherwise '/', the control bytes 0x01-0x1F and 0x7F and a leading '.' become '_', and
//     the object's OID is appended: "a/b" of table 16384 is "a_b_16384". Bytes from 0x80 on
//     (UTF-8 and the other server encodings) are kept. An empty name is "_<oid>".
//   - A name that belongs to another object (the directory's file manifest, file_manifest.h,
//     names its owner), or that a file on disk already has (".txt", ".bin" or ".sql") while
//     the manifest gives it to no one, gets "_<oid>" appended (and, should that be taken
//     too, "_2", "_3", ...), with a warning on the console and in the unload log that says
//     so. Such an unrecorded file may be another table's, written before the manifest
//     existed: it is kept, never overwritten.
//   - The same object asking again gets the same name, in this run or a later one: its data
//     file and its DDL script share one, and unloading a table again replaces its files.
//
// Each directory's manifest is read the first time the directory is used in the process,
// and read again whenever names are asked for another directory than the last one; each
// name handed out for the first time is added to it at once. The registry is shared by the
// worker threads of a parallel unload (one mutex).

#include <cstdint>
#include <string>
#include <string_view>

#include "export/file_manifest.h"

namespace vorn {

// The name without registry: the replacement rule above.
std::string safeFileName(std::string_view name, uint32_t tableOid);

// The name for the files of `owner` in `directory` (empty: the working directory) made from
// `name` (e.g. "public_t" or "import_public"), without directory or extension; recorded in
// the directory's manifest. Never throws for the manifest: a manifest that cannot be
// written is warned about once per directory, and the name is still handed out.
std::string claimFileName(const std::string& directory, std::string_view name,
                          const FileOwner& owner);

// Forgets every name of this process, as if it started anew: the next claim reads the
// manifests again. For tests.
void resetTableFileNames();

}  // namespace vorn
