#pragma once

// The server's text COPY files, as test oracles: `COPY t TO STDOUT (DELIMITER '|', NULL '')`
// gives one line per row ending in '\n', fields split by the delimiter, and inside a field
// the escapes \\ \b \f \n \r \t \v, \ and the delimiter (or any other character: itself),
// \ooo (one to three octal digits) and \xHH (one or two hex digits). NULL is the empty field,
// so an empty value and NULL read the same here.

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::test {

using CopyTextRow = std::vector<std::string>;  // the fields, escapes undone

// Throws std::runtime_error naming the line of a field that ends in a lone backslash or of
// text after the last '\n'.
std::vector<CopyTextRow> parseCopyText(std::string_view text, char delimiter = '|');
std::vector<CopyTextRow> readCopyTextFile(const std::string& path, char delimiter = '|');

// A whole file's bytes ("" when it cannot be read).
std::string readFileBytes(const std::string& path);

// The server's money text without currency sign and grouping: "-$1,234.56" -> "-1234.56".
std::string plainMoney(const std::string& text);

// Whether two float texts read back to the same bits (NaN equal to NaN); how the text files
// of servers before 12, taken with extra_float_digits 3, are compared with shortest digits.
template <typename F>
bool sameFloat(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty())
        return a == b;
    char* endA = nullptr;
    char* endB = nullptr;
    F x, y;
    if constexpr (sizeof(F) == 4) {
        x = std::strtof(a.c_str(), &endA);
        y = std::strtof(b.c_str(), &endB);
    } else {
        x = std::strtod(a.c_str(), &endA);
        y = std::strtod(b.c_str(), &endB);
    }
    if (*endA != '\0' || *endB != '\0')
        return false;
    if (std::isnan(x) || std::isnan(y))
        return std::isnan(x) && std::isnan(y);
    return std::memcmp(&x, &y, sizeof x) == 0;
}

}  // namespace vorn::test
