#pragma once

// The server's text COPY files, as test oracles: `COPY t TO STDOUT (DELIMITER '|', NULL '')`
// gives one line per row ending in '\n', fields split by the delimiter, and inside a field
// the escapes \\ \b \f \n \r \t \v, \ and the delimiter (or any other character: itself),
// \ooo (one to three octal digits) and \xHH (one or two hex digits). NULL is the empty field,
// so an empty value and NULL read the same here.

#include <string>
#include <string_view>
#include <vector>

namespace vorn::test {

using CopyTextRow = std::vector<std::string>;  // the fields, escapes undone

// Throws std::runtime_error naming the line of a field that ends in a lone backslash or of
// text after the last '\n'.
std::vector<CopyTextRow> parseCopyText(std::string_view text, char delimiter = '|');
std::vector<CopyTextRow> readCopyTextFile(const std::string& path, char delimiter = '|');

}  // namespace vorn::test
