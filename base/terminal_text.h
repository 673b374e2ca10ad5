#pragma once

// Names read from the data directory (databases, schemas, tables, columns) and other text
// taken from its files may hold any byte but NUL. Written to a terminal as they are, an ESC
// or BEL in one starts a sequence the terminal acts on: a table named
// E'esc\x1b]0;pwned\x07name' sets the window title. Before such text is printed, or logged
// (a log read with tail in a terminal is as dangerous), each control byte, 0x00-0x1F and
// 0x7F, is written as "\x" and two lower-case hex digits: ESC as "\x1b", BEL as "\x07".
// Bytes from 0x80 on are kept: they are UTF-8 or the server's encoding.
//
// A backslash is kept as it is. The escaped text is for people to read, not to be parsed
// back; a name such as "a\b" stays as it must be typed in a command; and escaping twice
// changes nothing, so a name escaped where a line is made can pass through the escaping of
// the whole line (or of the log) again. The price is that a name holding the four
// characters "\x1b" looks like one holding ESC; neither does anything to the terminal, and
// the listings show the OID beside it.
//
// Only the data is escaped, never our own text: the colour codes and the progress bar's
// "\r" are written apart from it.

#include <string>
#include <string_view>

namespace vorn {

// `text` with every control byte escaped, line feeds included: for a name, or any text
// that is one line.
std::string terminalText(std::string_view text);

// The same with line feeds kept: for a whole console line or log message made of our text
// and names, whose line feeds are ours. A line feed inside a name is escaped only where the
// name itself went through terminalText.
std::string terminalLines(std::string_view text);

}  // namespace vorn
