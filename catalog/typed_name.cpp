#include "catalog/typed_name.h"

#include <fmt/format.h>

namespace vorn {

namespace {

char lowerByte(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool hasUpperCase(std::string_view text) {
    for (char c : text)
        if (c >= 'A' && c <= 'Z')
            return true;
    return false;
}

// The white space the command line splits at, and the bytes the name parser and the line
// trimmer treat as their own.
bool needsQuotes(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '"' ||
           c == '.' || c == ':' || c == ';';
}

}  // namespace

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerByte(a[i]) != lowerByte(b[i]))
            return false;
    return true;
}

NamePart parseNamePart(std::string_view raw) {
    if (raw.size() < 2 || raw.front() != '"')
        return {std::string(raw), false};
    std::string text;
    size_t i = 1;
    while (i < raw.size()) {
        if (raw[i] != '"') {
            text += raw[i++];
            continue;
        }
        if (i + 1 < raw.size() && raw[i + 1] == '"') {
            text += '"';
            i += 2;
            continue;
        }
        // The closing quote: it must end the part.
        if (i + 1 == raw.size())
            return {text, true};
        break;
    }
    return {std::string(raw), false};
}

size_t findOutsideQuotes(std::string_view raw, char separator) {
    bool inQuotes = false;
    // A doubled quote inside quotes closes and reopens them, which leaves the state as it was.
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '"')
            inQuotes = !inQuotes;
        else if (!inQuotes && raw[i] == separator)
            return i;
    }
    return std::string_view::npos;
}

TypedTableName splitTableName(std::string_view raw) {
    TypedTableName name;
    std::string_view qualified = raw;
    if (const size_t colon = findOutsideQuotes(raw, ':'); colon != std::string_view::npos) {
        name.hasSuffix = true;
        name.suffix = std::string(raw.substr(colon + 1));
        qualified = raw.substr(0, colon);
    }
    std::string_view table = qualified;
    if (const size_t dot = findOutsideQuotes(qualified, '.'); dot != std::string_view::npos) {
        const std::string_view schema = qualified.substr(0, dot);
        name.hasSchema = !schema.empty();
        if (name.hasSchema)
            name.schema = parseNamePart(schema);
        table = qualified.substr(dot + 1);
    }
    if (!table.empty())
        name.table = parseNamePart(table);
    return name;
}

NameMatch matchName(const NamePart& typed, const std::vector<std::string_view>& candidates) {
    NameMatch match;
    std::vector<size_t> folded;
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i] == typed.text) {
            match.kind = NameMatch::kFound;
            match.index = i;
            return match;
        }
        if (!typed.quoted && sameNameIgnoringCase(candidates[i], typed.text))
            folded.push_back(i);
    }
    if (folded.size() == 1) {
        match.kind = NameMatch::kFound;
        match.index = folded.front();
    } else if (folded.size() > 1) {
        match.kind = NameMatch::kAmbiguous;
        match.twins = std::move(folded);
    }
    return match;
}

std::string ambiguousNameMessage(std::string_view kind, std::string_view typed,
                                 const std::vector<std::string_view>& names) {
    std::string listed;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            listed += i + 1 == names.size() ? " and " : ", ";
        listed += quoteName(names[i]);
    }
    return fmt::format(
        "{} {} is ambiguous: {} differ only in case. Write the name in double quotes to "
        "choose one, e.g. {}.",
        kind, typed, listed, names.empty() ? std::string("\"name\"") : quoteName(names.front()));
}

std::string quoteName(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"')
            out += '"';
    }
    out += '"';
    return out;
}

std::string typedFormOf(std::string_view name, const std::vector<std::string_view>& scope) {
    bool quote = name.empty();
    for (char c : name)
        quote = quote || needsQuotes(c);
    if (!quote && hasUpperCase(name)) {
        for (std::string_view other : scope) {
            if (other != name && sameNameIgnoringCase(other, name)) {
                quote = true;
                break;
            }
        }
    }
    return quote ? quoteName(name) : std::string(name);
}

}  // namespace vorn
