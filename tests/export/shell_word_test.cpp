// Texts as shell words: what each becomes, and that sh (dash) and bash read each word back as
// exactly the text.

#include "export/shell_word.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/shell_run.h"

namespace vorn::test {
namespace {

TEST(ShellWord, EveryShellReadsTheWordBackAsTheText) {
    const struct {
        std::string text;
        std::string word;  // "" where only the reading back is checked
    } cases[] = {
        {"import_public_t.sql", "import_public_t.sql"},
        {"a-b+c=d:e,f@g%h/i.j", "a-b+c=d:e,f@g%h/i.j"},
        {"import_Sales 2024.sql", "'import_Sales 2024.sql'"},
        {"it's", "'it'\\''s'"},
        {"import_public_it's a \"quoted\" name.sql",
         "'import_public_it'\\''s a \"quoted\" name.sql'"},
        {"", "''"},
        {"$HOME ${x} `id` $(id)", ""},
        {"a\\b \\\\ \\n", ""},
        {"* ? [ab] {a,b} ~x #x ! ^", ""},
        {"~user", "'~user'"},
        {"a;b&c|d<e>f(g)h", ""},
        {"-x", "-x"},
        {"caf\xc3\xa9", "'caf\xc3\xa9'"},
        {"tab\there", "\"$(printf 'tab\\011here')\""},
        {"esc\x1b]0;pwned\x07name", "\"$(printf 'esc\\033]0;pwned\\007name')\""},
        {"line\nfeed\rcr\x7f", ""},
        {"\x01 it's 100% \\n! $x `y`\x1f", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<std::string> word = shellWord(c.text);
        ASSERT_TRUE(word.has_value());
        if (!c.word.empty()) {
            EXPECT_EQ(*word, c.word);
        }
        for (const char byte : *word)
            EXPECT_FALSE(static_cast<unsigned char>(byte) < 0x20 || byte == 0x7f) << *word;
        for (const char* shell : {"/bin/sh", "/bin/bash"}) {
            const ShellRun run = runShell(shell, "printf '%s|' " + *word);
            EXPECT_EQ(run.status, 0) << shell << ": " << run.err;
            EXPECT_EQ(run.out, c.text + "|") << shell << ": " << *word;
        }
    }
}

// Command substitution drops trailing line feeds: no word holds such a text.
TEST(ShellWord, ATextEndingInALineFeedHasNoWord) {
    EXPECT_EQ(shellWord("name\n"), std::nullopt);
    EXPECT_EQ(shellWord("\n"), std::nullopt);
    EXPECT_TRUE(shellWord("\nname").has_value());
}

}  // namespace
}  // namespace vorn::test
