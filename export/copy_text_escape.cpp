#include "export/copy_text_escape.h"

#include <cstring>

namespace vorn {

CopyTextEscape::CopyTextEscape(char delimiter) {
    table_['\\'] = '\\';
    table_['\b'] = 'b';
    table_['\f'] = 'f';
    table_['\n'] = 'n';
    table_['\r'] = 'r';
    table_['\t'] = 't';
    table_['\v'] = 'v';
    const auto d = static_cast<unsigned char>(delimiter);
    delimiterWord_ = kOnes * d;
    if (table_[d] == 0)
        table_[d] = delimiter;
}

void CopyTextEscape::append(const char* bytes, size_t n, TextBuffer& out) const {
    // Room for the worst case, every byte escaped: one check for the whole value.
    char* const start = out.ensure(2 * n);
    char* dest = start;
    size_t i = 0;
    while (i < n) {
        const size_t clean = firstSpecial(bytes + i, n - i);
        std::memcpy(dest, bytes + i, clean);
        dest += clean;
        i += clean;
        if (i == n)
            break;
        *dest++ = '\\';
        *dest++ = table_[static_cast<unsigned char>(bytes[i])];
        ++i;
    }
    out.advance(static_cast<size_t>(dest - start));
}

}  // namespace vorn
