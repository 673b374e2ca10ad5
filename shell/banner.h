#pragma once

// The start-up banner and the colour manipulators it is written with.

#include <ostream>
#include <string>

namespace vorn {

// The release of this build ("0.1.0"), shown in the banner and the start-up log line.
const char* releaseText();
// The day this file was compiled, as "YYYY.MM.DD".
std::string buildDate();

// Whether colour codes are written to `out`: std::cout when standard output is a terminal
// (consoleIsTerminal, base/console_color.h), or any stream whose colourise flag was set with
// setColorized (tests use that on a string stream).
bool isColorized(std::ostream& out);
void setColorized(std::ostream& out, bool on);

// ESC "[92m" and ESC "[00m", each only on a colourised stream.
std::ostream& colorBrightGreen(std::ostream& out);
std::ostream& colorReset(std::ostream& out);

// Two rules of 81 '*' around "  VORN for PostgreSQL, Release <release>, build date <date>."
// with blank lines; grey, cyan and green on a colourised stream, plain text otherwise.
void printBanner(std::ostream& out);

}  // namespace vorn
