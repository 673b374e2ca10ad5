#include "shell/ui_line_editor.h"

// clang-format off
#include <stdio.h>  // readline.h needs FILE declared first
#include <readline/history.h>
#include <readline/readline.h>
// clang-format on

#include <locale.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/console_color.h"

namespace vorn {

void UiCompletions::add(const std::string& text) {
    candidates.push_back(text);
}

namespace {

constexpr int kHistoryLength = 100;

CompletionCallback completionHook = nullptr;
HintsCallback hintsHook = nullptr;

// Whether a hint stands on screen after the text: it then has to be wiped before the line is
// drawn again, since readline believes the cells after the text are blank.
bool hintDrawn = false;
// Set while Enter ends the line, so the final drawing leaves the hint out.
bool hintSuppressed = false;
// Hints are ANSI sequences: written only to a terminal that takes them.
bool hintsSupported = true;

// The character type readline edits with. Built once; the process locale stays as it is, so
// the byte-wise case folding and number formatting elsewhere keep the "C" rules.
locale_t utf8Locale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

bool terminalTakesHints() {
    if (!consoleIsTerminal())
        return false;
    const char* term = getenv("TERM");
    if (term == nullptr || *term == '\0')
        return false;
    for (const char* plain : {"dumb", "cons25", "emacs"})
        if (strcasecmp(term, plain) == 0)
            return false;
    return true;
}

// Terminal columns of one character as readline shows it: control characters as ^X, a tab
// up to the next multiple of 8, a byte that is no UTF-8 as one cell.
int cellWidth(const char* text, size_t length, size_t* used, int column) {
    mbstate_t state{};
    wchar_t wide = 0;
    const size_t n = mbrtowc(&wide, text, length, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
        *used = 1;
        return 1;
    }
    *used = n;
    if (wide == L'\t')
        return 8 - column % 8;
    if (wide < 0x20 || wide == 0x7f)
        return 2;
    const int width = wcwidth(wide);
    return width < 0 ? 1 : width;
}

// The cursor column after `text` is written from `column` on a terminal `columns` wide,
// wrapping as readline does: a character that does not fit moves whole to the next row, and
// a row filled to the edge puts the cursor at the start of the next one. Prompt text between
// \001 and \002 takes no room.
int columnAfter(const char* text, int column, int columns, bool prompt) {
    const size_t length = strlen(text);
    bool invisible = false;
    for (size_t i = 0; i < length;) {
        if (prompt && (text[i] == RL_PROMPT_START_IGNORE || text[i] == RL_PROMPT_END_IGNORE)) {
            invisible = text[i] == RL_PROMPT_START_IGNORE;
            ++i;
            continue;
        }
        if (prompt && text[i] == '\n') {
            column = 0;
            ++i;
            continue;
        }
        size_t used = 1;
        const int width = cellWidth(text + i, length - i, &used, column);
        i += used;
        if (invisible)
            continue;
        if (column + width > columns)
            column = 0;
        column += width;
        if (column >= columns)
            column = 0;
    }
    return column;
}

// Writes as much of the hint as fits into `room` columns; returns the columns written.
int writeHint(const char* hint, int room) {
    const size_t length = strlen(hint);
    size_t bytes = 0;
    int width = 0;
    while (bytes < length) {
        size_t used = 1;
        const int cell = cellWidth(hint + bytes, length - bytes, &used, width);
        if (width + cell > room)
            break;
        width += cell;
        bytes += used;
    }
    fwrite(hint, 1, bytes, rl_outstream);
    return width;
}

// Draws the line as readline does, then the hint after its end. The hint is drawn with the
// cursor at the end of the text, so readline's own cursor movements find it where it left
// it; when the cursor stands inside the line it is moved to the end for the hint and back.
void redisplayWithHint() {
    const char* hint = nullptr;
    int color = -1;
    int bold = 0;
    const bool searching = RL_ISSTATE(RL_STATE_ISEARCH | RL_STATE_NSEARCH) != 0;
    if (hintsHook != nullptr && hintsSupported && !hintSuppressed && !searching &&
        rl_line_buffer != nullptr)
        hint = hintsHook(rl_line_buffer, &color, &bold);
    if (hint != nullptr && *hint == '\0')
        hint = nullptr;
    if (hint == nullptr && !hintDrawn) {
        rl_redisplay();
        return;
    }

    const int point = rl_point;
    rl_point = rl_end;
    rl_redisplay();
    // Everything after the end of the text is the old hint, if anything.
    fputs("\033[J", rl_outstream);
    hintDrawn = false;
    if (hint != nullptr) {
        int rows = 0;
        int columns = 0;
        rl_get_screen_size(&rows, &columns);
        const int promptEnd =
            columnAfter(rl_display_prompt != nullptr ? rl_display_prompt : "", 0, columns, true);
        const int column = columnAfter(rl_line_buffer, promptEnd, columns, false);
        // The last column stays free: a character there would leave the cursor at the edge,
        // where terminals differ on what the next cursor movement does.
        const int room = columns - column - 1;
        if (room > 0) {
            if (color != -1 || bold != 0)
                fprintf(rl_outstream, "\033[%d;%d;49m", bold, color == -1 ? 37 : color);
            const int width = writeHint(hint, room);
            if (color != -1 || bold != 0)
                fputs("\033[0m", rl_outstream);
            if (width > 0)
                fprintf(rl_outstream, "\033[%dD", width);
            hintDrawn = width > 0;
        }
    }
    fflush(rl_outstream);
    if (point != rl_end) {
        rl_point = point;
        rl_redisplay();
    }
}

// Enter: the line is drawn once more without its hint, then accepted.
int acceptLine(int count, int key) {
    if (hintDrawn) {
        hintSuppressed = true;
        redisplayWithHint();
        hintSuppressed = false;
    }
    return rl_newline(count, key);
}

// readline's terminal reset, at the end of each line and when it cleans up for a signal it
// passes on (Ctrl-C, Ctrl-\, Ctrl-Z, kill). In the latter case the line is abandoned: what
// is left of the hint after the echoed ^C goes, and since the reset ends with a carriage
// return, a line feed follows so that whatever comes next (the shell's prompt) starts on a
// line of its own instead of over the abandoned one.
void deprepTerminal() {
    const bool signalled = RL_ISSTATE(RL_STATE_SIGHANDLER) != 0;
    if (signalled && hintDrawn) {
        fputs("\033[K", rl_outstream);
        hintDrawn = false;
    }
    rl_deprep_terminal();
    if (signalled) {
        fputc('\n', rl_outstream);
        fflush(rl_outstream);
    }
}

// The whole text before the cursor is the word to complete (no word-break characters), so
// each candidate is a whole line. readline wants the candidates as malloc'd strings behind
// a first entry that stands for all of them.
char** completeLine(const char* text, int /*start*/, int /*end*/) {
    rl_attempted_completion_over = 1;  // no file names when nothing matches
    rl_completion_suppress_append = 1;
    if (completionHook == nullptr)
        return nullptr;
    UiCompletions completions;
    completionHook(text, &completions);
    const std::vector<std::string>& found = completions.candidates;
    if (found.empty())
        return nullptr;

    auto** matches = static_cast<char**>(malloc((found.size() + 2) * sizeof(char*)));
    if (matches == nullptr)
        return nullptr;
    // With one candidate the first entry is it. With several it is what Tab shows after the
    // last of them: the typed text, as it was before the first Tab.
    size_t out = 0;
    matches[out++] = strdup(found.size() == 1 ? found.front().c_str() : text);
    if (found.size() > 1)
        for (const std::string& candidate : found)
            matches[out++] = strdup(candidate.c_str());
    matches[out] = nullptr;
    return matches;
}

// Run by readline after its own set-up and the user's ~/.inputrc, before each prompt. What
// is set here is what the console relies on, so no inputrc can take it away.
int applyEditingSettings() {
    // UTF-8 bytes are characters, not Meta-prefixed keys, whatever the process locale says.
    rl_variable_bind("input-meta", "on");
    rl_variable_bind("output-meta", "on");
    rl_variable_bind("convert-meta", "off");

    rl_completer_word_break_characters = "";
    rl_completer_quote_characters = nullptr;
    // Candidates in the order the callback gave them, repeats included.
    rl_sort_completion_matches = 0;
    rl_ignore_completion_duplicates = 0;
    rl_attempted_completion_function = completeLine;
    rl_redisplay_function = redisplayWithHint;

    for (Keymap map : {emacs_standard_keymap, vi_insertion_keymap, vi_movement_keymap}) {
        rl_bind_key_in_map('\t', rl_menu_complete, map);
        rl_bind_key_in_map('\r', acceptLine, map);
        rl_bind_key_in_map('\n', acceptLine, map);
    }
    return 0;
}

bool readPlainLine(std::string& line) {
    static char* text = nullptr;
    static size_t capacity = 0;
    const ssize_t length = getline(&text, &capacity, stdin);
    if (length < 0)
        return false;
    line.assign(text, static_cast<size_t>(length));
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return true;
}

// readline under the UTF-8 character type. readline also sets the process LC_CTYPE from the
// environment while it initialises; that is put back, so nothing outside the prompt sees a
// changed locale.
bool readTerminalLine(const char* prompt, std::string& line) {
    const char* current = setlocale(LC_CTYPE, nullptr);
    const std::string globalCtype = current != nullptr ? current : "C";
    const locale_t utf8 = utf8Locale();
    const locale_t previous = utf8 != static_cast<locale_t>(0) ? uselocale(utf8) : nullptr;

    hintDrawn = false;
    char* text = readline(prompt);
    hintDrawn = false;

    if (previous != nullptr)
        uselocale(previous);
    current = setlocale(LC_CTYPE, nullptr);
    if (current == nullptr || globalCtype != current)
        setlocale(LC_CTYPE, globalCtype.c_str());

    if (text == nullptr)
        return false;
    line = text;
    free(text);
    return true;
}

void addToHistory(const std::string& line) {
    // Like the shells: a line repeated at once is kept once.
    if (history_length > 0) {
        const HIST_ENTRY* last = history_get(history_base + history_length - 1);
        if (last != nullptr && last->line != nullptr && line == last->line)
            return;
    }
    add_history(line.c_str());
}

}  // namespace

UiLineEditor::UiLineEditor(CompletionCallback completion, HintsCallback hints) {
    completionHook = completion;
    hintsHook = hints;
    hintsSupported = terminalTakesHints();

    rl_readline_name = "vorn";
    // readline's own handlers clean the terminal up (modes, bracketed paste, meta key) and
    // then pass the signal on to the handler that was installed before, the console's, which
    // logs and ends the process (base/signals.h).
    rl_catch_signals = 1;
    rl_catch_sigwinch = 1;
    // The child processes of a crash report get the environment as it was.
    rl_change_environment = 0;
    rl_deprep_term_function = deprepTerminal;
    rl_startup_hook = applyEditingSettings;

    using_history();
    stifle_history(kHistoryLength);
}

UiLineEditor::~UiLineEditor() = default;

bool UiLineEditor::readLine(const char* prompt, char* buffer, size_t limit) {
    std::string line;
    const bool edited = isatty(STDIN_FILENO) && consoleIsTerminal();
    const bool got = edited ? readTerminalLine(prompt, line) : readPlainLine(line);
    if (!got)
        return false;
    if (line.empty())
        return true;
    memcpy(buffer, line.data(), std::min(line.size(), limit));
    addToHistory(line);
    return true;
}

}  // namespace vorn
