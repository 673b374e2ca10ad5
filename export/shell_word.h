#pragma once

// A text as one word of a POSIX shell command line, for the lines vorn writes for people to
// copy into a shell (the psql line at the top of an import script). A text of letters,
// digits and _ @ % + = : , . / - only is left as it is; any other is quoted:
//
//   import_public_t.sql          import_public_t.sql
//   import_Sales 2024.sql        'import_Sales 2024.sql'
//   it's                         'it'\''s'           (a quote: close, \', open again)
//   tab<TAB>and<ESC>             "$(printf 'tab\011and\033')"
//
// Single quotes keep every byte as it is, $ ` \ ! * ? [ ~ # and blanks included, but the line
// vorn writes must not hold a control byte (a line feed would end it, an ESC acts on the
// terminal it is shown on): a text with one is made by printf from octal escapes, inside
// double quotes so that it stays one word. printf's own \ and % are doubled, and ! is an
// escape too (an interactive bash expands it inside double quotes). The word never holds a
// control byte, and reads back as the text in sh, dash and bash.
//
// Command substitution drops trailing line feeds: a text that ends in one has no such word,
// and gets none (nullopt).

#include <optional>
#include <string>
#include <string_view>

namespace vorn {

std::optional<std::string> shellWord(std::string_view text);

}  // namespace vorn
