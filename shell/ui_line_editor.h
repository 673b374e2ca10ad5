#pragma once

// The prompt and line editing of the command loop, over GNU readline.
//
// On a terminal the line is edited with readline (UTF-8 aware whatever the process locale),
// with an in-memory history of the last 100 lines (never written to or read from a file),
// Tab completion of whole lines and a hint drawn after the typed text. Tab offers the
// candidates of the completion callback one after the other, in the callback's order; after
// the last one the typed text comes back. The hint of the hints callback is drawn in its
// colour after the end of the line, redrawn on every key and wiped before Enter ends the line.
//
// When standard input is not a terminal, lines are read as they come, without a prompt or an
// echo, so that `vorn < script.txt` prints only what the commands print. So they are when
// standard output is no terminal (`vorn > out.txt`, base/console_color.h): readline would
// draw the prompt, the typed text and its escape sequences into the file, and nothing on
// the terminal, which echoes a plainly read line itself.

#include <cstddef>
#include <string>
#include <vector>

namespace vorn {

// The candidates the completion callback offers for the typed text, in the order offered.
struct UiCompletions {
    std::vector<std::string> candidates;
    void add(const std::string& text);
};

// `typed` is the text before the cursor; each candidate replaces all of it.
using CompletionCallback = void (*)(const char* typed, UiCompletions* out);
// The hint to show after `typed`, or null; `color` (an SGR colour such as 33, or -1 for the
// terminal's own) and `bold` (0 or 1) say how it is drawn. The text stays the callback's.
using HintsCallback = const char* (*)(const char* typed, int* color, int* bold);

// readline keeps one editing state per process, so there is one line editor; the callbacks
// of the last one built are in force.
class UiLineEditor {
  public:
    UiLineEditor(CompletionCallback completion, HintsCallback hints);
    ~UiLineEditor();
    UiLineEditor(const UiLineEditor&) = delete;
    UiLineEditor& operator=(const UiLineEditor&) = delete;

    // Reads one line. False at the end of input. A non-empty line is added to the history
    // whole, and at most `limit` bytes of it are copied into `buffer` (limit + 1 bytes, zeroed
    // by the caller, so a cut line keeps its terminator): the cut counts bytes and may fall
    // inside a UTF-8 character. An empty line leaves `buffer` untouched.
    bool readLine(const char* prompt, char* buffer, size_t limit);
};

}  // namespace vorn
