#include "base/display_width.h"

#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdio>

namespace vorn {

uint32_t displayWidth(const char* text) {
    if (text == nullptr)
        return 0;
    const icu::UnicodeString s = icu::UnicodeString::fromUTF8(icu::StringPiece(text));
    uint32_t columns = 0;
    const int32_t length = s.length();
    for (int32_t i = 0; i < length;) {
        const UChar32 c = s.char32At(i);
        i += c > 0xFFFF ? 2 : 1;
        const int32_t eaw = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
        columns += (eaw == U_EA_WIDE || eaw == U_EA_FULLWIDTH) ? 2 : 1;
    }
    return columns;
}

void padToWidth(char* buf, int32_t size, const char* text, int32_t width, bool leftAlign) {
    if (buf == nullptr || size <= 0)
        return;
    if (text == nullptr)
        text = "";
    const int64_t wanted = static_cast<int64_t>(width) - displayWidth(text);
    const int pad = wanted > 0 ? static_cast<int>(wanted) : 0;
    const auto room = static_cast<size_t>(size);
    if (leftAlign) {
        snprintf(buf, room, "%s%*s", text, pad, "");
    } else {
        snprintf(buf, room, "%*s%s", pad, "", text);
    }
}

}  // namespace vorn
