#include "shell/completion.h"

#include <array>
#include <cstring>
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

// The first four words of the typed text as the command line splits them (blanks inside
// double quotes stay in the word); missing ones are empty.
std::array<std::string, 4> firstFourWords(std::string_view text) {
    const CommandLine line = splitCommandLine(text);
    std::array<std::string, 4> words;
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = line.raw[i];
    return words;
}

// The part of a name typed so far. After an opening quote it is matched with its case, up to
// the closing quote if there is one, with "" read as one quote; otherwise it is matched
// anywhere in the name without regard to case.
NamePart fragmentOf(std::string_view raw) {
    if (raw.empty() || raw.front() != '"')
        return {std::string(raw), false};
    NamePart fragment{"", true};
    for (size_t i = 1; i < raw.size(); ++i) {
        if (raw[i] != '"') {
            fragment.text += raw[i];
        } else if (i + 1 < raw.size() && raw[i + 1] == '"') {
            fragment.text += '"';
            ++i;
        } else {
            break;
        }
    }
    return fragment;
}

bool nameMatches(std::string_view name, const NamePart& fragment) {
    if (fragment.text.empty())
        return true;
    return fragment.quoted ? name.find(fragment.text) != std::string_view::npos
                           : containsIgnoringCase(name, fragment.text);
}

// Appends the names of `scope` that `fragment` matches, each as it must be typed.
int appendMatching(const std::vector<std::string_view>& scope, const std::string& fragment,
                   const std::string& lead, std::vector<std::string>& out) {
    const NamePart typed = fragmentOf(fragment);
    int count = 0;
    for (std::string_view name : scope) {
        if (!nameMatches(name, typed))
            continue;
        out.push_back(lead + typedFormOf(name, scope));
        ++count;
    }
    return count;
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
    std::vector<std::string_view> scope;
    for (const DatabaseEntry& database : Dictionary::instance().databases)
        scope.push_back(database.datname);
    return appendMatching(scope, fragment, "", out);
}

int completeSchemaName(const std::string& fragment, std::vector<std::string>& out) {
    Dictionary& dictionary = Dictionary::instance();
    std::vector<std::string_view> scope;
    for (const auto& [key, schema] : dictionary.schemas)
        if (schema.dboid == dictionary.currentDatabaseOid)
            scope.push_back(schema.nspname);
    return appendMatching(scope, fragment, "", out);
}

int completeTableName(const std::string& word, std::vector<std::string>& out) {
    Dictionary& dictionary = Dictionary::instance();
    const size_t dot = findOutsideQuotes(word, '.');
    const std::string schemaPart = dot == std::string::npos ? "" : word.substr(0, dot);
    const std::string tablePart = dot == std::string::npos ? word : word.substr(dot + 1);

    uint32_t schemaOid = currentSchemaOid;
    if (!schemaPart.empty()) {
        // Found as the command will find it, so that what is offered is what it accepts.
        const NamespaceEntry* schema = dictionary.findSchema(parseNamePart(schemaPart)).found;
        if (schema == nullptr)
            return 0;
        schemaOid = schema->oid;
    }
    // "public." has a schema but no part of a name yet: nothing is offered until one is typed.
    if (!word.empty() && tablePart.empty())
        return 0;

    // Twins in case are judged among every table the name could pick; only the exportable
    // ones are offered.
    std::vector<std::string_view> every;
    for (const PgTable* table : dictionary.namedTablesOfSchema(schemaOid))
        every.push_back(
            std::string_view(table->relname, strnlen(table->relname, sizeof table->relname)));
    std::vector<PgTable*> tables;
    dictionary.tablesOfSchema(tables, schemaOid);
    const NamePart typed = fragmentOf(tablePart);
    const std::string lead = schemaPart.empty() ? "" : schemaPart + ".";
    int count = 0;
    for (const PgTable* table : tables) {
        const std::string name = table->tableName();
        if (!nameMatches(name, typed))
            continue;
        out.push_back(lead + typedFormOf(name, every));
        ++count;
    }
    return count;
}

}  // namespace vorn
