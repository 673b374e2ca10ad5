#pragma once

// The record of which object every file name of a directory was handed to, kept in the
// directory itself ("vorn_files.manifest"), so that a later run, or a later command of the
// same run, never gives one table's (or schema's) name to another one.
//
// One line per name, fields separated by a tab:
//
//   table<TAB>16384<TAB>16390<TAB>public_t
//   schema<TAB>16384<TAB>2200<TAB>import_public
//   ^kind     ^database OID  ^object OID (pg_class or pg_namespace)  ^name
//
// The name is the file name without its extension: one name covers the object's data file,
// DDL script or import script ("public_t.txt", "public_t.sql"). Names never hold a tab or a
// line end (safeFileName replaces control bytes), so the name is the rest of the line. A
// line beginning with '#' is a comment; the file starts with one saying what it is.
//
// The file is made whole under a temporary name and renamed (output_file.h); every later
// name is appended as one line in one write(2). A run stopped in the middle of that write
// leaves at most a cut last line (no line end), which reading reports and skips, and the next
// append starts on a line of its own. Losing a line can only make a later run keep away from that
// file (it is on disk but recorded for no one), never write over it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

constexpr const char* kFileManifestName = "vorn_files.manifest";

enum class FileOwnerKind : uint8_t { kTable, kSchema };

// The object a file name belongs to. Object OIDs repeat across the databases of one cluster
// (the public schema is 2200 in each, tables copied from a template keep their OIDs): only
// the pair with the database OID names one object.
struct FileOwner {
    FileOwnerKind kind = FileOwnerKind::kTable;
    uint32_t databaseOid = 0;
    uint32_t objectOid = 0;

    bool operator==(const FileOwner&) const = default;
    auto operator<=>(const FileOwner&) const = default;
};

// "table" or "schema".
const char* fileOwnerKindName(FileOwnerKind kind);

struct ManifestEntry {
    FileOwner owner;
    std::string name;
};

// One line without its line end. Nothing, with `reason` set, for a line that is no entry.
std::optional<ManifestEntry> parseManifestLine(std::string_view line, std::string* reason);
// The line of `entry`, with its line end.
std::string formatManifestLine(const ManifestEntry& entry);

struct ManifestContents {
    bool exists = false;
    std::vector<ManifestEntry> entries;  // in file order
    // "line N: reason" for each line that was skipped, or why the file could not be read.
    std::vector<std::string> problems;
    bool endsWithLineEnd = true;  // false after a cut last line
};

// Reads `<directory>/vorn_files.manifest`; a missing file is an empty manifest. Never throws.
ManifestContents readFileManifest(const std::string& directory);

// Adds `entry` to the manifest of `directory`, creating the file (whole, under a temporary
// name) when it does not exist. `newLineFirst` starts the entry on a fresh line after a cut
// last line. Throws std::runtime_error naming the file and the system's message.
void appendFileManifest(const std::string& directory, const ManifestEntry& entry,
                        bool newLineFirst);

}  // namespace vorn
