#include "base/terminal_text.h"

namespace vorn {

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

std::string escaped(std::string_view text, bool keepLineFeeds) {
    constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (!isControl(byte) || (keepLineFeeds && c == '\n')) {
            out += c;
            continue;
        }
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
    return out;
}

}  // namespace

std::string terminalText(std::string_view text) {
    return escaped(text, false);
}

std::string terminalLines(std::string_view text) {
    return escaped(text, true);
}

}  // namespace vorn
