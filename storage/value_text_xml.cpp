// xml as the server prints it: the stored text, except for a leading XML declaration, which
// is printed again only when it says something beyond version 1.0 (another version, or
// standalone), and without its encoding; when it is not printed, one line feed right after it
// goes too. A leading line feed of a value without declaration goes the same way. A
// declaration the server cannot parse leaves the value as stored.

#include <cstring>
#include <string>
#include <string_view>

#include "storage/value_text.h"

namespace vorn {

namespace {

bool isXmlBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Whether the byte after "<?xml" makes it a processing instruction such as
// <?xml-stylesheet ...?> rather than a declaration: a name character.
bool isNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == ':' || c >= 0x80;
}

struct Declaration {
    bool parsed = false;  // false: print the value as stored
    size_t length = 0;    // bytes of the declaration (0 when there is none)
    std::string_view version;
    bool hasVersion = false;
    int standalone = -1;  // 1 yes, 0 no, -1 not said
};

// A quoted value after "name", "=" and blanks; false when the text does not hold one.
bool quotedValue(std::string_view text, size_t& p, std::string_view& value) {
    if (p >= text.size() || (text[p] != '\'' && text[p] != '"'))
        return false;
    const size_t close = text.find(text[p], p + 1);
    if (close == std::string_view::npos)
        return false;
    value = text.substr(p + 1, close - p - 1);
    p = close + 1;
    return true;
}

void skipBlanks(std::string_view text, size_t& p) {
    while (p < text.size() && isXmlBlank(text[p]))
        ++p;
}

// An attribute " name = 'value'" at p (blanks before it required); p moves past it only when
// it is there. Returns false for a malformed one.
bool attribute(std::string_view text, size_t& p, std::string_view name, bool& present,
               std::string_view& value) {
    size_t q = p;
    skipBlanks(text, q);
    present = text.substr(q, name.size()) == name;
    if (!present)
        return true;
    if (q == p)
        return false;  // no blank before the name
    q += name.size();
    skipBlanks(text, q);
    if (q >= text.size() || text[q] != '=')
        return false;
    ++q;
    skipBlanks(text, q);
    if (!quotedValue(text, q, value))
        return false;
    p = q;
    return true;
}

Declaration parseDeclaration(std::string_view text) {
    Declaration d;
    if (text.substr(0, 5) != "<?xml" ||
        (text.size() > 5 && isNameStart(static_cast<unsigned char>(text[5])))) {
        d.parsed = true;
        return d;
    }
    size_t p = 5;
    bool present = false;
    std::string_view value;
    if (!attribute(text, p, "version", present, value) || !present)
        return d;
    d.version = value;
    d.hasVersion = true;
    if (!attribute(text, p, "encoding", present, value))
        return d;
    if (!attribute(text, p, "standalone", present, value))
        return d;
    if (present) {
        if (value == "yes")
            d.standalone = 1;
        else if (value == "no")
            d.standalone = 0;
        else
            return d;
    }
    skipBlanks(text, p);
    if (text.substr(p, 2) != "?>")
        return d;
    p += 2;
    for (size_t i = 0; i < p; ++i)
        if (static_cast<unsigned char>(text[i]) > 127)
            return d;
    d.length = p;
    d.parsed = true;
    return d;
}

}  // namespace

void appendXmlAsPrinted(std::string_view value, std::string& out, std::string_view encoding) {
    const Declaration d = parseDeclaration(value);
    if (!d.parsed) {
        out.append(value);
        return;
    }
    size_t rest = d.length;
    const bool otherVersion = d.hasVersion && d.version != "1.0";
    if (otherVersion || d.standalone != -1 || !encoding.empty()) {
        out += "<?xml version=\"";
        out.append(d.hasVersion ? d.version : std::string_view("1.0"));
        out += '"';
        if (!encoding.empty()) {
            out += " encoding=\"";
            out.append(encoding);
            out += '"';
        }
        if (d.standalone == 1)
            out += " standalone=\"yes\"";
        else if (d.standalone == 0)
            out += " standalone=\"no\"";
        out += "?>";
    } else if (rest < value.size() && value[rest] == '\n') {
        ++rest;
    }
    out.append(value.substr(rest));
}

bool outputXml(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    const std::string_view text(reinterpret_cast<const char*>(value), length);
    // Most values start with neither a declaration nor a line feed: their bytes as they are.
    if (length == 0 || (value[0] != '<' && value[0] != '\n') ||
        (value[0] == '<' && text.substr(0, 5) != "<?xml")) {
        out.append(value, length);
        return true;
    }
    std::string printed;
    appendXmlAsPrinted(text, printed);
    out.append(printed);
    return true;
}

}  // namespace vorn
