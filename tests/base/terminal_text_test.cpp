#include "base/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn {
namespace {

using namespace std::string_literals;

TEST(TerminalTextTest, EscapesControlBytesAndKeepsTheRest) {
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"", ""},
        {"orders", "orders"},
        // The table of the variant fixtures: it would set the terminal's title.
        {"esc\x1b]0;pwned\x07name", "esc\\x1b]0;pwned\\x07name"},
        // The edges of the control range, NUL inside a name, and DEL.
        {"a\0b"s, "a\\x00b"},
        {"\x1f \x20 \x7e \x7f", "\\x1f   ~ \\x7f"},
        {"line\nfeed\rreturn\ttab", "line\\x0afeed\\x0dreturn\\x09tab"},
        // Bytes from 0x80 on are the database's encoding: kept, ill-formed UTF-8 too.
        {"\xe8\xa1\xa8\xe5\x90\x8d", "\xe8\xa1\xa8\xe5\x90\x8d"},
        {"caf\xe9 \x80\x9b\xff", "caf\xe9 \x80\x9b\xff"},
        // A backslash is kept: what the user types stays what is shown.
        {"a\\b", "a\\b"},
        {"\\x1b", "\\x1b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(terminalText(c.text), c.shown);
        // Escaped text holds no control byte: escaping it again changes nothing.
        EXPECT_EQ(terminalText(c.shown), c.shown);
    }
}

TEST(TerminalTextTest, LinesKeepTheirLineFeedsOnly) {
    EXPECT_EQ(terminalLines("Table \"esc\x1b]0;x\x07\".\n second\r\n"),
              "Table \"esc\\x1b]0;x\\x07\".\n second\\x0d\n");
    // A name escaped on its own keeps its line feed escaped inside the line.
    EXPECT_EQ(terminalLines(" unloading table " + terminalText("two\nlines") + "...\n"),
              " unloading table two\\x0alines...\n");
}

}  // namespace
}  // namespace vorn
