#pragma once

#include <cstdint>

namespace vorn {

// Terminal columns taken by the NUL-terminated UTF-8 `text`: 2 for each code point of East
// Asian Width Wide or Fullwidth, 1 for every other one (combining marks and controls too).
// Ill-formed bytes count as U+FFFD. A null text is 0 columns.
uint32_t displayWidth(const char* text);

// Writes `text` padded with blanks to `width` columns into `buf` (at most `size` bytes with
// the NUL), blanks after the text when `leftAlign`, before it otherwise. Text wider than
// `width` is kept whole; a result longer than `size` - 1 bytes is cut at that byte count, even
// inside a character.
void padToWidth(char* buf, int32_t size, const char* text, int32_t width, bool leftAlign);

}  // namespace vorn
