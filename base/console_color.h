#pragma once

// What vorn writes to standard output besides its lines: colour codes (the dim red of an
// error line, the banner's colours) and the progress bar redrawn in place with carriage
// returns. Both are for a terminal only. With standard output in a file or a pipe
// (`vorn < commands.txt > out.txt`) the same lines are written plain: no ESC sequence, no
// '\r', no bar. Every writer of either asks consoleIsTerminal(), decided here once.

namespace vorn {

// Whether standard output is a terminal: isatty(STDOUT_FILENO) at the first call, kept for
// the rest of the process (or what setConsoleIsTerminal set).
bool consoleIsTerminal();
// Takes the place of that decision. For tests that capture standard output in a file and
// check what a terminal gets.
void setConsoleIsTerminal(bool terminal);

// Switches standard output to dim red (ESC "[31;2m") for an error line, and flushes; nothing
// when it is no terminal.
void uiSetRed();
// Back to the terminal's default colours (ESC "[0m"), and flushes; nothing when standard
// output is no terminal.
void uiResetColor();

}  // namespace vorn
