// Typed names: how a part is read (quotes, doubled quotes), where a table name is cut, how a
// part picks one name of a scope, and how completion must write a name back.

#include "catalog/typed_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorn::test {
namespace {

using Names = std::vector<std::string_view>;

TEST(TypedName, PartsAsTyped) {
    const struct {
        const char* raw;
        const char* text;
        bool quoted;
    } cases[] = {
        {"orders", "orders", false},
        {"Orders", "Orders", false},  // plain text keeps its case; matching ignores it
        {"\"Sch\"", "Sch", true},
        {"\"order items\"", "order items", true},
        {"\"say \"\"hi\"\"\"", "say \"hi\"", true},
        {"\"\"\"\"", "\"", true},
        {"\"a.b:c\"", "a.b:c", true},
        {"\"\"", "", true},
        // Not one whole quoted identifier: taken byte for byte, plain.
        {"\"open", "\"open", false},
        {"\"a\"b", "\"a\"b", false},
        {"\"a\"\"", "\"a\"\"", false},  // the doubled quote is a quote, the name is not closed
        {"a\"b\"", "a\"b\"", false},
        {"\"", "\"", false},
        {"", "", false},
    };
    for (const auto& c : cases) {
        const NamePart part = parseNamePart(c.raw);
        EXPECT_EQ(part.text, c.text) << c.raw;
        EXPECT_EQ(part.quoted, c.quoted) << c.raw;
    }
}

TEST(TypedName, TableNamesAreCutOutsideQuotes) {
    const struct {
        const char* raw;
        bool hasSchema;
        const char* schema;
        const char* table;
        bool tableQuoted;
        bool hasSuffix;
        const char* suffix;
    } cases[] = {
        {"t", false, "", "t", false, false, ""},
        {"public.t", true, "public", "t", false, false, ""},
        {"\"Sch\".\"order items\":p1", true, "Sch", "order items", true, true, "p1"},
        {"\"a.b\".\"c:d\"", true, "a.b", "c:d", true, false, ""},
        {"\"x\"\".y\".t", true, "x\".y", "t", false, false, ""},
        {".t", false, "", "t", false, false, ""},  // an empty schema part: the current schema
        {"public.", true, "public", "", false, false, ""},
        {"t:", false, "", "t", false, true, ""},
        // The suffix is cut first, so a dot in it stays there.
        {"t:p.1", false, "", "t", false, true, "p.1"},
        // Only the first dot cuts: what follows is one (unknown) table name.
        {"a.b.c", true, "a", "b.c", false, false, ""},
        // An unclosed quote hides every separator after it.
        {"\"a.b:c", false, "", "\"a.b:c", false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        const TypedTableName name = splitTableName(c.raw);
        EXPECT_EQ(name.hasSchema, c.hasSchema);
        EXPECT_EQ(name.schema.text, c.schema);
        EXPECT_EQ(name.table.text, c.table);
        EXPECT_EQ(name.table.quoted, c.tableQuoted);
        EXPECT_EQ(name.hasSuffix, c.hasSuffix);
        EXPECT_EQ(name.suffix, c.suffix);
    }
}

TEST(TypedName, MatchingInOneScope) {
    const Names scope = {"Sch", "sch", "MixedSchema", "order items", "SCH2", "Twin", "TWIN"};
    const struct {
        NamePart typed;
        NameMatch::Kind kind;
        size_t index;               // when found
        std::vector<size_t> twins;  // when ambiguous
    } cases[] = {
        {{"sch", false}, NameMatch::kFound, 1, {}},  // the exact spelling wins
        {{"Sch", false}, NameMatch::kFound, 0, {}},
        {{"SCH", false}, NameMatch::kAmbiguous, 0, {0, 1}},
        {{"sCh", false}, NameMatch::kAmbiguous, 0, {0, 1}},
        {{"Sch", true}, NameMatch::kFound, 0, {}},
        {{"SCH", true}, NameMatch::kNone, 0, {}},  // quoted: exactly, or nothing
        {{"mixedschema", false}, NameMatch::kFound, 2, {}},
        {{"mixedschema", true}, NameMatch::kNone, 0, {}},
        {{"ORDER ITEMS", false}, NameMatch::kFound, 3, {}},
        {{"sch2", false}, NameMatch::kFound, 4, {}},
        {{"twin", false}, NameMatch::kAmbiguous, 0, {5, 6}},
        {{"TWIN", false}, NameMatch::kFound, 6, {}},
        {{"sc", false}, NameMatch::kNone, 0, {}},
        {{"", false}, NameMatch::kNone, 0, {}},
        {{"", true}, NameMatch::kNone, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed.text + (c.typed.quoted ? " (quoted)" : ""));
        const NameMatch match = matchName(c.typed, scope);
        EXPECT_EQ(match.kind, c.kind);
        if (c.kind == NameMatch::kFound) {
            EXPECT_EQ(match.index, c.index);
        }
        EXPECT_EQ(match.twins, c.twins);
    }
    // Case folding is ASCII only: bytes of other letters must be typed as stored.
    EXPECT_EQ(matchName({"CAFÉ", false}, Names{"cafÉ"}).kind, NameMatch::kFound);
    EXPECT_EQ(matchName({"CAFÉ", false}, Names{"café"}).kind, NameMatch::kNone);
}

TEST(TypedName, AmbiguityNamesEveryCandidateQuoted) {
    EXPECT_EQ(ambiguousNameMessage("Schema", "SCH", {"Sch", "sch"}),
              "Schema SCH is ambiguous: \"Sch\" and \"sch\" differ only in case. Write the name "
              "in double quotes to choose one, e.g. \"Sch\".");
    EXPECT_EQ(ambiguousNameMessage("Table", "ab", {"Ab", "aB", "AB"}),
              "Table ab is ambiguous: \"Ab\", \"aB\" and \"AB\" differ only in case. Write the "
              "name in double quotes to choose one, e.g. \"Ab\".");
}

TEST(TypedName, WhatCompletionMustWriteIsReadBackAsTheSameName) {
    const Names scope = {"Sch",   "sch",   "Second DB", "say \"hi\"", "a.b",       "c:d",
                         "semi;", "Camel", "plain_1",   "UPPER",      "tab\there", "客户"};
    const struct {
        std::string_view name;
        const char* typed;
    } cases[] = {
        {"Sch", "\"Sch\""},  // a lower-case twin exists
        {"sch", "sch"},
        {"Second DB", "\"Second DB\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"a.b", "\"a.b\""},
        {"c:d", "\"c:d\""},
        {"semi;", "\"semi;\""},
        {"Camel", "Camel"},  // no twin: plain finds it without regard to case
        {"plain_1", "plain_1"},
        {"UPPER", "UPPER"},
        {"tab\there", "\"tab\there\""},
        {"客户", "客户"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        const std::string typed = typedFormOf(c.name, scope);
        EXPECT_EQ(typed, c.typed);
        // Read back as a part, it picks exactly this name of the scope.
        const NameMatch match = matchName(parseNamePart(typed), scope);
        ASSERT_EQ(match.kind, NameMatch::kFound);
        EXPECT_EQ(scope[match.index], c.name);
    }
}

}  // namespace
}  // namespace vorn::test
