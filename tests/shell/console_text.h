#pragma once

// What the console prints, as the shell tests expect it: the start-up banner and options,
// and the rules and rows of the listings.

#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "shell/banner.h"

namespace vorn::test {

// The banner as printed on a stream that is not a terminal (no colour).
inline std::string plainBanner() {
    const std::string rule(81, '*');
    return "\n" + rule + "\n\n  VORN for PostgreSQL, Release " + releaseText() + ", build date " +
           buildDate() + ".\n\n" + rule + "\n\n";
}

// The report of the export options; `lastLine` is the line after the format.
inline std::string optionsBlock(const std::string& version, const std::string& pgdata,
                                const std::string& format, const std::string& lastLine) {
    return "Export Options:\n  DB Compatible    => [ " + version + " ]\n" +
           "  PGDATA Directory => [ " + pgdata + " ]\n" + "  Export Format    => [ " + format +
           " ]\n" + lastLine + "\n\n";
}

// The dashes under a listing's header: one run of each width, separated by blanks.
inline std::string rule(std::initializer_list<size_t> widths) {
    std::string line;
    for (size_t w : widths)
        line += (line.empty() ? "" : " ") + std::string(w, '-');
    return line + "\n";
}

inline const std::string kTableHeader =
    "    db_oid schema_oid  table_oid table_name                    \n" + rule({10, 10, 10, 31});

inline std::string tableRow(uint32_t db, uint32_t schema, uint32_t table,
                            const std::string& padded) {
    return fmt::format("{:>10} {:>10} {:>10} {}\n", db, schema, table, padded);
}

// `name`, `columns` wide on the screen, padded to the 30 columns of a table name.
inline std::string padded(const std::string& name, size_t columns) {
    return name + std::string(30 - columns, ' ');
}

}  // namespace vorn::test
