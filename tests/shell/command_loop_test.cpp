// The command loop over an empty dictionary: what each command word and its sub-words
// answer, the help text, how lines are trimmed and split, and the two ends of the loop.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/command_line.h"
#include "shell/console.h"
#include "tests/shell/support/shell_harness.h"

namespace vorn::test {
namespace {

class CommandLoop : public ::testing::Test {
  protected:
    // Output of the loop over `lines`.
    std::string reply(const std::vector<std::string>& lines) {
        return runCommands(console_, lines).raw;
    }

    ShellWorkspace workspace_{std::nullopt};
    Console console_;
};

TEST_F(CommandLoop, HelpTextByteForByte) {
    const std::string expected =
        "\n"
        "[INIT DATA DICTIONARY]\n"
        "  bootstrap\n"
        "  -- init dictionary, which MUST be run at first.\n"
        "\n"
        "[QUERY DICTIONARY]\n"
        "  list db                        -- list databases.\n"
        "  set db <db_name>               -- set current database.\n"
        "  list schema                    -- list schemas of current database.\n"
        "  set schema [db_name.]<schema>  -- set current schema.\n"
        "  list table <table_substr>      -- list tables of current schema.\n"
        "  desc [schema.]<table_name>     -- show table structure.\n"
        "\n"
        "[UNLOAD TABLES]\n"
        "  unload schema <schema_name> [parallel <#>]\n"
        "  -- unload all tables belong to the schema.\n"
        "\n"
        "  unload table [schema.]<table_name> [parallel <#>]\n"
        "  -- unload table rows.\n"
        "\n"
        "[UNLOAD OBJECT DDL]\n"
        "  unload object <schema_name>    -- unload schema's objects DDL, such as Table, Index, "
        "Sequence, etc.\n"
        "\n"
        "\n"
        "[HELP]\n"
        "  help                           -- show all commands.\n"
        "  exit|quit                      -- exit program.\n"
        "\n";
    EXPECT_EQ(reply({"help"}), expected);
    EXPECT_EQ(reply({"HeLp;"}), expected);
}

TEST_F(CommandLoop, RepliesOfEveryCommandWord) {
    const std::string unknown = " unknown command.\n";
    const struct {
        const char* line;
        std::string output;
    } cases[] = {
        {"list", unknown},
        {"list tables", unknown},
        {"set", unknown},
        {"set table x", unknown},
        {"desc", ""},
        {"info", ""},
        {"info anything", ""},
        {"reload dict", ""},
        {"reload config", "Loading config files...\n"},
        {"reload", unknown},
        {"show charset", ""},
        {"show tables", unknown},
        {"unload", unknown},
        {"unload database x", unknown},
        {"unload ddl", ""},
        {"unload table", "Please specify Table name\n"},
        {"unload table t now", "Invalid option NOW\n"},
        {"unload table t now parallel 2", "Invalid option NOW\n"},
        {"untrunc table t", ""},
        {"undelete table t parallel 2", ""},
        {"untrunc table t x", "Invalid option X\n"},
        {"undelete table t object_id", "Invalid option OBJECT_ID\n"},
        {"untrunc db", unknown},
        {"use", "Database  does not exist.\n"},
        {"USE Nosuch", "Database Nosuch does not exist.\n"},
        {"set db nosuch", "Database nosuch does not exist.\n"},
        {"set schema nosuch", "Schema \"nosuch\" does not exist.\n"},
        {"set schema nodb.public", "Database \"nodb\" does not exist.\n"},
        // Words the completion offers or the loop once knew, but that do nothing here.
        {"preview table t", unknown},
        {"type x", unknown},
        {"ddl t", unknown},
        // ";" alone is one character and is not trimmed; blanks only trim to nothing.
        {";", unknown},
        {"     ", unknown},
        {"\t", unknown},
        {"help-me", unknown},
        // Every unload command gets the name as typed.
        {"unload schema sales parallel 4", "Schema sales not exist.\n"},
        {"unload object sales", "Schema sales not exist.\nfinish.\n"},
        {"unload schema \"Sales Dept\" parallel 4", "Schema \"Sales Dept\" not exist.\n"},
        {"unload table \"order items\" parallel 2", "Table \"order items\" not exist\n"},
        {"use \"Second DB\"", "Database \"Second DB\" does not exist.\n"},
        {"set schema \"Second DB\".public", "Database \"Second DB\" does not exist.\n"},
        {"set schema \"a.b\"", "Schema \"a.b\" does not exist.\n"},
        {"unload table Sales.Orders parallel 4", "Table Sales.Orders not exist\n"},
        {"unload table t object_id 42", "Table t not exist\n"},
        {"list db",
         "       oid dbname          encoding       \n"
         "---------- --------------- ---------------\n\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reply({c.line}), c.output) << "line: \"" << c.line << "\"";
}

TEST_F(CommandLoop, ExitQuitAndEndOfInput) {
    for (const char* line : {"exit", "exit;", "Quit ;;", "QUIT", "exit now"}) {
        const SessionResult r = runCommands(console_, {line, "help"});
        EXPECT_EQ(r.raw, "\n") << line;
        EXPECT_EQ(r.linesRead, 1u) << line;
        EXPECT_EQ(r.status, 0) << line;
    }
    // Empty lines are read and skipped; the end of input leaves without a word.
    const SessionResult r = runCommands(console_, {"", "", ""});
    EXPECT_EQ(r.raw, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.prompts, std::vector<std::string>(4, "VORN > "));
}

TEST_F(CommandLoop, ClosedStandardOutputEndsTheLoopWithStatusOne) {
    // "list db" fits the stdio buffer: the write fails when the loop flushes after it.
    ScriptedLines source({"list db", "help"});
    int status = 0;
    {
        ClosedStdout closed;
        status = console_.runCommandLoop(source);
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(source.linesRead(), 1u);
    EXPECT_NE(workspace_.readFile("log/vorn.log")
                  .find("[error] Standard output cannot be written any more"),
              std::string::npos);
}

TEST(CommandLine, TrimAndSplit) {
    const struct {
        std::string line;
        std::vector<std::string> words;
    } cases[] = {
        {"list table ord;", {"list", "table", "ord"}},
        {"  set\tschema   vorn.many ;; \n", {"set", "schema", "vorn.many"}},
        // Only trailing '\n', ' ' and ';' go; a tab stays and then counts as white space.
        {"desc t;\t", {"desc", "t;"}},
        {";", {";"}},
        {" ", {}},
        {"a b c d e f g h i j k l", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}},
        {"unload table \"Ünïcode\".\"T\"", {"unload", "table", "\"Ünïcode\".\"T\""}},
        // Blanks inside double quotes stay in the word, quotes and all.
        {"unload table \"order items\" parallel 2",
         {"unload", "table", "\"order items\"", "parallel", "2"}},
        {"unload table \"Sch\".\"order  items\":p1",
         {"unload", "table", "\"Sch\".\"order  items\":p1"}},
        {"use \"Second\tDB\";", {"use", "\"Second\tDB\""}},
        // A doubled quote inside quotes keeps them open.
        {"desc \"say \"\"hi there\"\"\" x", {"desc", "\"say \"\"hi there\"\"\"", "x"}},
        {"desc a\"b c\"d e", {"desc", "a\"b c\"d", "e"}},
        // An unclosed quote runs to the end of the line.
        {"desc \"open name  x", {"desc", "\"open name  x"}},
        {"set db \"\" x", {"set", "db", "\"\"", "x"}},
    };
    for (const auto& c : cases) {
        std::string line = c.line;
        trimCommandLine(line);
        const CommandLine split = splitCommandLine(line);
        std::vector<std::string> words;
        for (const std::string& word : split.raw)
            if (!word.empty())
                words.push_back(word);
        EXPECT_EQ(words, c.words) << c.line;
    }
    // Upper-casing touches ASCII letters only, so UTF-8 bytes are kept.
    const CommandLine split = splitCommandLine("unload schema Ünïcode_ß");
    EXPECT_EQ(split.upper[2], "ÜNïCODE_ß");
    EXPECT_EQ(split.raw[2], "Ünïcode_ß");
    // Names are read from the raw words; the upper-cased copy is for the command words.
    const CommandLine quoted = splitCommandLine("unload schema \"Sch x\"");
    EXPECT_EQ(quoted.raw[2], "\"Sch x\"");
    EXPECT_EQ(quoted.upper[2], "\"SCH X\"");
    // A word as long as the line is kept whole.
    const std::string longWord(200, 'w');
    EXPECT_EQ(splitCommandLine(longWord).raw[0], longWord);
}

}  // namespace
}  // namespace vorn::test
