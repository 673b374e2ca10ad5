#include "shell/completion.h"

#include <array>
#include <string_view>

#include "catalog/dictionary.h"
#include "shell/command_line.h"
#include "shell/console.h"

namespace vorn {

namespace {

// Offered in this order. "unload database" and "ddl" are offered although the command loop
// does not know them; "exit" and "quit" are not offered.
constexpr std::array<std::string_view, 15> kCommandWords = {
    "info",          "bootstrap",    "reload config", "list db",
    "set db",        "list schema",  "set schema",    "unload database",
    "unload schema", "unload table", "unload object", "list table",
    "desc",          "ddl",          "help"};

struct CommandHint {
    std::string_view prefix;
    const char* hint;
};

// The first prefix the typed text begins with gives the hint, so it stays while the
// argument is typed.
constexpr std::array<CommandHint, 9> kCommandHints = {{
    {"set db ", " <db_name>"},
    {"set schema ", " [db_name.]<schema_name>"},
    {"list table ", " [<table_substr>]"},
    {"desc ", " [schema.]<table_name>"},
    {"ddl ", " [schema.]<table_name>"},
    {"unload schema ", " <schema_name> [parallel <#>]"},
    {"unload table ", " [schema.]<table_name> [parallel <#>]"},
    {"preview table ", " [schema.]<table_name> [limit <#>]"},
    {"unload object ", " <schema_name>"},
}};

constexpr int kHintColor = 33;  // yellow

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The first four blank-separated words of the typed text; missing ones are empty.
std::array<std::string, 4> firstFourWords(std::string_view text) {
    std::array<std::string, 4> words;
    size_t pos = 0;
    for (std::string& word : words) {
        while (pos < text.size() && isBlank(text[pos]))
            ++pos;
        const size_t start = pos;
        while (pos < text.size() && !isBlank(text[pos]))
            ++pos;
        word = std::string(text.substr(start, pos - start));
    }
    return words;
}

bool nameMatches(const std::string& name, const std::string& fragment) {
    return fragment.empty() || containsIgnoringCase(name, fragment);
}

bool isOneOf(const std::string& word, std::initializer_list<std::string_view> choices) {
    for (std::string_view choice : choices)
        if (word == choice)
            return true;
    return false;
}

}  // namespace

void completionCallback(const char* typed, UiCompletions* out) {
    const std::string_view text = typed != nullptr ? typed : "";
    for (std::string_view word : kCommandWords)
        if (startsWithIgnoringCase(word, text))
            out->add(std::string(word));

    std::array<std::string, 4> words = firstFourWords(text);
    const std::string w0 = lowerAscii(words[0]);
    const std::string w1 = lowerAscii(words[1]);
    const std::string& w2 = words[2];
    const std::string& w3 = words[3];

    std::vector<std::string> names;
    std::string lead;
    if ((w0 == "set" || w0 == "unload") && w1 == "db") {
        completeDatabaseName(w2, names);
        lead = w0 + " " + w1 + " ";
    } else if ((w0 == "set" && w1 == "schema") ||
               (w0 == "unload" && (w1 == "schema" || w1 == "object"))) {
        completeSchemaName(w2, names);
        lead = w0 + " " + w1 + " ";
    } else if (isOneOf(w0, {"unload", "undelete", "untrunc", "preview"}) && w1 == "table") {
        // With a fourth word the table name is behind the cursor's word: nothing to offer.
        if (w3.empty())
            completeTableName(w2, names);
        lead = w0 + " " + w1 + " ";
    } else if (w0 == "desc" || w0 == "ddl") {
        completeTableName(words[1], names);
        lead = w0 + " ";
    }
    for (const std::string& name : names)
        out->add(lead + name);
}

const char* hintsCallback(const char* typed, int* color, int* bold) {
    const std::string_view text = typed != nullptr ? typed : "";
    for (const CommandHint& entry : kCommandHints) {
        if (startsWithIgnoringCase(text, entry.prefix)) {
            *color = kHintColor;
            *bold = 1;
            return entry.hint;
        }
    }
    return nullptr;
}

int completeDatabaseName(const std::string& fragment, std::vector<std::string>& out) {
    int count = 0;
    for (const DatabaseEntry& database : Dictionary::instance().databases) {
        if (nameMatches(database.datname, fragment)) {
            out.push_back(database.datname);
            ++count;
        }
    }
    return count;
}

int completeSchemaName(const std::string& fragment, std::vector<std::string>& out) {
    Dictionary& dictionary = Dictionary::instance();
    int count = 0;
    for (const auto& [key, schema] : dictionary.schemas) {
        if (schema.dboid == dictionary.currentDatabaseOid &&
            nameMatches(schema.nspname, fragment)) {
            out.push_back(schema.nspname);
            ++count;
        }
    }
    return count;
}

int completeTableName(const std::string& word, std::vector<std::string>& out) {
    Dictionary& dictionary = Dictionary::instance();
    const size_t dot = word.find('.');
    const std::string schemaPart = dot == std::string::npos ? "" : word.substr(0, dot);
    const std::string tablePart = dot == std::string::npos ? word : word.substr(dot + 1);

    uint32_t schemaOid = currentSchemaOid;
    if (!schemaPart.empty()) {
        bool found = false;
        for (const auto& [key, schema] : dictionary.schemas) {
            if (schema.dboid == dictionary.currentDatabaseOid &&
                equalsIgnoringCase(schema.nspname, schemaPart)) {
                schemaOid = schema.oid;
                found = true;
                break;
            }
        }
        if (!found)
            return 0;
    }
    // "public." has a schema but no part of a name yet: nothing is offered until one is typed.
    if (!word.empty() && tablePart.empty())
        return 0;

    std::vector<PgTable*> tables;
    dictionary.tablesOfSchema(tables, schemaOid);
    int count = 0;
    for (const PgTable* table : tables) {
        const std::string name = table->tableName();
        if (!nameMatches(name, tablePart))
            continue;
        out.push_back(schemaPart.empty() ? name : schemaPart + "." + name);
        ++count;
    }
    return count;
}

}  // namespace vorn
