#include "tests/storage/support/copy_text.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vorn::test {

namespace {

int octalDigit(char c) {
    return c >= '0' && c <= '7' ? c - '0' : -1;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The escape at text[i] (just after a backslash) appended to `out`; the index after it.
size_t unescape(std::string_view text, size_t i, std::string& out) {
    const char c = text[i];
    switch (c) {
        case 'b':
            out += '\b';
            return i + 1;
        case 'f':
            out += '\f';
            return i + 1;
        case 'n':
            out += '\n';
            return i + 1;
        case 'r':
            out += '\r';
            return i + 1;
        case 't':
            out += '\t';
            return i + 1;
        case 'v':
            out += '\v';
            return i + 1;
        default:
            break;
    }
    if (octalDigit(c) >= 0) {
        int value = 0;
        size_t n = 0;
        for (; n < 3 && i + n < text.size() && octalDigit(text[i + n]) >= 0; ++n)
            value = value * 8 + octalDigit(text[i + n]);
        out += static_cast<char>(value);
        return i + n;
    }
    if (c == 'x' && i + 1 < text.size() && hexDigit(text[i + 1]) >= 0) {
        int value = hexDigit(text[i + 1]);
        size_t end = i + 2;
        if (end < text.size() && hexDigit(text[end]) >= 0)
            value = value * 16 + hexDigit(text[end++]);
        out += static_cast<char>(value);
        return end;
    }
    out += c;
    return i + 1;
}

}  // namespace

std::vector<CopyTextRow> parseCopyText(std::string_view text, char delimiter) {
    std::vector<CopyTextRow> rows;
    size_t i = 0;
    while (i < text.size()) {
        const size_t line = rows.size() + 1;
        CopyTextRow row(1);
        for (;;) {
            if (i >= text.size())
                throw std::runtime_error("COPY text line " + std::to_string(line) +
                                         " has no newline");
            const char c = text[i];
            if (c == '\n') {
                ++i;
                break;
            }
            if (c == delimiter) {
                row.emplace_back();
                ++i;
            } else if (c == '\\') {
                if (i + 1 >= text.size() || text[i + 1] == '\n')
                    throw std::runtime_error("COPY text line " + std::to_string(line) +
                                             " ends in a backslash");
                i = unescape(text, i + 1, row.back());
            } else {
                row.back() += c;
                ++i;
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<CopyTextRow> readCopyTextFile(const std::string& path, char delimiter) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::ostringstream content;
    content << in.rdbuf();
    try {
        return parseCopyText(content.str(), delimiter);
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string plainMoney(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '$' && c != ',')
            out += c;
    return out;
}

}  // namespace vorn::test
