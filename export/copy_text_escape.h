#pragma once

// COPY text escaping, as the server's COPY TO writes a field: a backslash becomes "\\",
// backspace, form feed, line feed, carriage return, tab and vertical tab become "\b", "\f",
// "\n", "\r", "\t" and "\v", and the delimiter becomes a backslash followed by it (a
// delimiter that is one of those control characters takes their letter instead). Every
// other byte, the other control bytes and everything from 0x80 on included, is written as
// it is: the server's encodings keep ASCII bytes out of their multibyte characters.
//
// One 256-entry table says, per byte, what follows the backslash (0: the byte needs none),
// so that escaping is a table look-up per byte and a memcpy per clean run.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "storage/text_buffer.h"

namespace vorn {

class CopyTextEscape {
  public:
    explicit CopyTextEscape(char delimiter);

    // What follows the backslash for byte c; 0 when c is written as it is.
    char escapeOf(unsigned char c) const { return table_[c]; }
    // Offset of the first byte of [bytes, bytes + n) that needs an escape; n when none.
    size_t firstSpecial(const char* bytes, size_t n) const {
        size_t i = 0;
        // Eight bytes at a time while none of them can need an escape: no byte below 0x0E
        // (the control characters escaped), no backslash, no delimiter.
        for (; i + 8 <= n; i += 8) {
            uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            if (mayHoldSpecial(word))
                break;
        }
        for (; i < n; ++i)
            if (table_[static_cast<unsigned char>(bytes[i])] != 0)
                return i;
        return n;
    }
    // Appends the n bytes escaped.
    void append(const char* bytes, size_t n, TextBuffer& out) const;

  private:
    static constexpr uint64_t kOnes = 0x0101010101010101ull;
    static constexpr uint64_t kHighs = 0x8080808080808080ull;
    // Whether a byte of `word` is below 0x0E, a backslash or the delimiter; may also say so
    // for words without one (bytes from 0x80 on), never the other way round.
    bool mayHoldSpecial(uint64_t word) const {
        const uint64_t backslash = word ^ (kOnes * '\\');
        const uint64_t delimiter = word ^ delimiterWord_;
        const uint64_t low = (word - kOnes * 0x0E) | (backslash - kOnes) | (delimiter - kOnes);
        return (low & kHighs) != 0;
    }

    std::array<char, 256> table_{};
    uint64_t delimiterWord_ = 0;
};

}  // namespace vorn
