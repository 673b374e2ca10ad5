#include "export/shell_word.h"

#include <fmt/format.h>

namespace vorn {

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// Bytes no POSIX shell treats specially anywhere in a word.
bool isPlain(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
        case '_':
        case '@':
        case '%':
        case '+':
        case '=':
        case ':':
        case ',':
        case '.':
        case '/':
        case '-':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::optional<std::string> shellWord(std::string_view text) {
    bool plain = !text.empty();
    bool control = false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        plain = plain && isPlain(byte);
        control = control || isControl(byte);
    }
    if (plain)
        return std::string(text);
    if (!control) {
        std::string word = "'";
        for (const char c : text)
            word += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return word + "'";
    }
    if (text.back() == '\n')
        return std::nullopt;
    std::string format;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isControl(byte) || c == '!')
            format += fmt::format("\\{:03o}", byte);
        else if (c == '\\')
            format += "\\\\";
        else if (c == '%')
            format += "%%";
        else if (c == '\'')
            format += "'\\''";
        else
            format += c;
    }
    return "\"$(printf '" + format + "')\"";
}

}  // namespace vorn
