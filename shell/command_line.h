#pragma once

// One typed command line, as the command loop sees it: trailing line ends, blanks and ';'
// trimmed, then split at white space outside double quotes into at most ten words, each kept
// as typed (quotes included, for the name parser of catalog/typed_name.h) and as an
// upper-cased copy that the dispatch compares with the command words. Names are always taken
// from the words as typed.
//
// Every word is a growing string: a line of 200 bytes may be one word of 200 bytes, and a
// part too long to be a catalogue name simply matches no name later on.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace vorn {

// The longest line the loop reads, in bytes (not characters): a longer one is cut there.
inline constexpr size_t kCommandLineLimit = 200;

struct CommandLine {
    static constexpr size_t kMaxWords = 10;
    std::array<std::string, kMaxWords> raw;    // as typed; missing words are empty
    std::array<std::string, kMaxWords> upper;  // ASCII letters upper-cased
};

// Removes trailing '\n', ' ' and ';' from a line of at least 2 bytes; a line of one byte
// (";" alone, say) stays as it is.
void trimCommandLine(std::string& line);

// Splits at blanks, tabs and the other C-locale white space outside double quotes
// (`unload table "order items" parallel 2` is four words); words after the tenth are dropped.
CommandLine splitCommandLine(std::string_view line);

// Byte-wise: only ASCII letters change, so a UTF-8 name keeps its bytes.
std::string upperAscii(std::string_view text);
// Same length and the same bytes after upperAscii.
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// Whether `fragment` occurs anywhere in `text`, compared as equalsIgnoringCase does.
bool containsIgnoringCase(std::string_view text, std::string_view fragment);

}  // namespace vorn
