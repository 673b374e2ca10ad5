#include "shell/command_line.h"

namespace vorn {

namespace {

// The white space of the C locale, which is where the loop splits words.
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char upperByte(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

void trimCommandLine(std::string& line) {
    if (line.size() < 2)
        return;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == ';'))
        line.pop_back();
}

CommandLine splitCommandLine(std::string_view line) {
    CommandLine words;
    size_t pos = 0;
    for (size_t n = 0; n < CommandLine::kMaxWords; ++n) {
        while (pos < line.size() && isSpace(line[pos]))
            ++pos;
        if (pos == line.size())
            break;
        const size_t start = pos;
        // White space inside double quotes belongs to the name; a doubled quote closes and
        // reopens them, and an unclosed quote runs to the end of the line.
        bool inQuotes = false;
        while (pos < line.size() && (inQuotes || !isSpace(line[pos]))) {
            if (line[pos] == '"')
                inQuotes = !inQuotes;
            ++pos;
        }
        words.raw[n] = std::string(line.substr(start, pos - start));
        words.upper[n] = upperAscii(words.raw[n]);
    }
    return words;
}

std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = upperByte(c);
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upperByte(a[i]) != upperByte(b[i]))
            return false;
    return true;
}

bool containsIgnoringCase(std::string_view text, std::string_view fragment) {
    if (fragment.size() > text.size())
        return false;
    for (size_t start = 0; start + fragment.size() <= text.size(); ++start)
        if (equalsIgnoringCase(text.substr(start, fragment.size()), fragment))
            return true;
    return false;
}

}  // namespace vorn
