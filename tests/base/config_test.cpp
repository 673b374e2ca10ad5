#include "base/config.h"
#include "tests/support/config_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/temp_dir.h"

namespace vorn {
namespace {

using test::ScopedWorkingDir;
using test::TempDir;

auto fieldsOf(const Config& c) {
    return std::make_tuple(c.versionMajor, c.versionMinor, c.pgdataDir, c.dbEncoding,
                           c.exportFormat, c.exportDir, c.libpqPath, c.dbConn, c.fieldDelimChar,
                           c.blockSize, c.reverseByte, c.blockChecksum, c.traceBlock);
}

// A working directory of its own with "conf/vorn.ini" and a logger on "log/vorn.log".
class Sandbox {
  public:
    // `ini` is the whole file; nullopt leaves it out.
    explicit Sandbox(const std::optional<std::string>& ini) {
        if (ini)
            dir_.writeFile("conf/vorn.ini", *ini);
    }

    Config load() {
        Config config;
        config.load(log_);
        return config;
    }
    std::string logText() const { return dir_.readFile("log/vorn.log"); }

  private:
    TempDir dir_;
    ScopedWorkingDir cwd_{dir_.path()};
    FileLogger log_{"vorn.log"};
};

std::string ini(const std::string& body) {
    return test::configFile(body);
}

Config loadSetting(const std::string& path, const std::string& text) {
    Sandbox box(ini(test::configElement(path, text)));
    return box.load();
}

TEST(ConfigTest, DefaultsWithoutAFile) {
    const Config defaults;
    EXPECT_EQ(defaults.versionMajor, 14);
    EXPECT_EQ(defaults.versionMinor, 0);
    EXPECT_EQ(defaults.pgdataDir, "");
    EXPECT_EQ(defaults.dbEncoding, "UTF8");
    EXPECT_EQ(defaults.exportFormat, 1);
    EXPECT_EQ(defaults.exportDir, "dump");
    EXPECT_EQ(defaults.libpqPath, "");
    EXPECT_EQ(defaults.dbConn, "");
    EXPECT_EQ(defaults.fieldDelimChar, '|');
    EXPECT_EQ(defaults.blockSize, 8192);
    EXPECT_FALSE(defaults.reverseByte);
    EXPECT_FALSE(defaults.blockChecksum);
    EXPECT_FALSE(defaults.traceBlock);

    Sandbox box(std::nullopt);
    const Config loaded = box.load();
    EXPECT_EQ(fieldsOf(loaded), fieldsOf(defaults));
    EXPECT_NE(box.logText().find("] [error] Error when reading config file, msg: conf/vorn.ini: "
                                 "cannot open file, OS error: No such file or directory\n"),
              std::string::npos)
        << box.logText();
    // The console line names the file, the folder it was looked for in, and the reason.
    EXPECT_EQ(loaded.fileProblem, "Config file conf/vorn.ini in folder \"" +
                                      std::filesystem::current_path().string() +
                                      "/conf\" cannot be used: conf/vorn.ini: cannot open file, "
                                      "OS error: No such file or directory. Every setting takes "
                                      "its default.");
    EXPECT_EQ(loaded.blockSizeProblem, "");
}

TEST(ConfigTest, UnreadableDocumentsGiveDefaultsAndAreLogged) {
    struct Case {
        std::string document;
        std::string reason;  // the parser's message, as the console line gives it
    };
    const std::vector<Case> cases = {
        {"", "No such node (vorn)"},
        {"<vorn><database><db_version>9.6</db_version></database>",  // not closed
         "conf/vorn.ini(1): unexpected end of data"},
        {"<settings><database><db_version>9.6</db_version></database></settings>",  // no <vorn>
         "No such node (vorn)"},
        // One good setting before the fault: not taken either.
        {"<vorn><database><db_block_size>4096</db_block_size></database><x></vorn>",
         "conf/vorn.ini(1): "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        Sandbox box(c.document);
        const Config loaded = box.load();
        EXPECT_EQ(fieldsOf(loaded), fieldsOf(Config()));
        EXPECT_NE(box.logText().find("] [error] Error when reading config file, msg: "),
                  std::string::npos)
            << box.logText();
        const std::string prefix = "Config file conf/vorn.ini in folder \"" +
                                   std::filesystem::current_path().string() +
                                   "/conf\" cannot be used: " + c.reason;
        EXPECT_EQ(loaded.fileProblem.rfind(prefix, 0), 0u) << loaded.fileProblem;
        EXPECT_TRUE(loaded.fileProblem.ends_with(". Every setting takes its default."))
            << loaded.fileProblem;
    }
}

// A folder where the file should be opens but does not read: the stream says so.
TEST(ConfigTest, AFolderInPlaceOfTheFileIsNamed) {
    Sandbox box(std::nullopt);
    std::filesystem::create_directories("conf/vorn.ini");
    const Config loaded = box.load();
    EXPECT_EQ(fieldsOf(loaded), fieldsOf(Config()));
    EXPECT_NE(loaded.fileProblem.find("cannot be used: "), std::string::npos);
    EXPECT_NE(loaded.fileProblem.find("Is a directory"), std::string::npos) << loaded.fileProblem;
}

TEST(ConfigTest, FullFileSetsEveryFieldAndIgnoresOthers) {
    Sandbox box(R"(<?xml version="1.0"?>
<!-- settings of a recovery run -->
<vorn>
  <database>
    <db_version>9.6</db_version>
    <pgdata_dir> /var/lib/pgsql/data </pgdata_dir>
    <db_encoding>LATIN1</db_encoding>
    <db_block_size>16384</db_block_size>
    <unknown>ignored</unknown>
  </database>
  <export>
    <export_format>binary</export_format>
    <export_dir>/tmp/out</export_dir>
    <export_db>
      <libpq_path>/usr/lib/x86_64-linux-gnu</libpq_path>
      <db_conn>postgres/secret@localhost:5432/target</db_conn>
    </export_db>
    <export_text><field_delim_char>,</field_delim_char></export_text>
  </export>
  <db_file>
    <reverse_byte>1</reverse_byte>
    <block_checksum>true</block_checksum>
    <trace_block>false</trace_block>
  </db_file>
  <extra>ignored too</extra>
</vorn>
)");
    const Config c = box.load();
    EXPECT_EQ(fieldsOf(c),
              std::make_tuple(uint16_t{9}, uint16_t{6}, std::string("/var/lib/pgsql/data"),
                              std::string("LATIN1"), int32_t{3}, std::string("/tmp/out"),
                              std::string("/usr/lib/x86_64-linux-gnu"),
                              std::string("postgres/secret@localhost:5432/target"), ',',
                              uint16_t{16384}, true, true, false));
    EXPECT_EQ(box.logText(), "");
}

TEST(ConfigTest, VersionIsScannedAsMajorDotMinor) {
    struct Case {
        std::string text;
        uint16_t major, minor;
    };
    const std::vector<Case> cases = {
        {"9.6", 9, 6},      {"15", 15, 0},       {"", 0, 0},  // the element exists: not 14.0
        {"abc", 0, 0},      {"16.2beta", 16, 2}, {" 12.3", 12, 3},
        {"-1.0", 65535, 0},  // cut to 16 bits
        {"13.x", 13, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Config config = loadSetting("database.db_version", c.text);
        EXPECT_EQ(config.versionMajor, c.major);
        EXPECT_EQ(config.versionMinor, c.minor);
    }
}

// Anything else is refused: blockSize 0, the value named in the problem line and the log.
TEST(ConfigTest, BlockSizeMustBeOneOfTheFivePageSizes) {
    struct Case {
        std::string text;
        uint16_t expected;  // 0: refused
        std::string shown;  // as the message names a refused value
    };
    const std::vector<Case> cases = {
        {"2048", 2048, ""},
        {"4096", 4096, ""},
        {"8192", 8192, ""},
        {"16384", 16384, ""},
        {"32768", 32768, ""},
        {" 4096 ", 4096, ""},
        {"", 8192, ""},
        {"  ", 8192, ""},  // blank: not given
        {"1234", 0, "1234"},
        {"4000", 0, "4000"},
        {"65535", 0, "65535"},
        {"65536", 0, "65536"},
        {"8k", 0, "8k"},
        {"-4096", 0, "-4096"},
        {"0", 0, "0"},
        {"8192.0", 0, "8192.0"},
        {"4096000000000", 0, "4096000000000"},
        {"&#10;1024", 0, "\\n1024"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Sandbox box(ini(test::configElement("database.db_block_size", c.text)));
        const Config config = box.load();
        EXPECT_EQ(config.blockSize, c.expected);
        if (c.expected != 0) {
            EXPECT_EQ(config.blockSizeProblem, "");
            EXPECT_EQ(box.logText(), "");
            continue;
        }
        const std::string problem = "Invalid database.db_block_size '" + c.shown +
                                    "' in conf/vorn.ini: the block size must be 2048, 4096, "
                                    "8192, 16384 or 32768.";
        EXPECT_EQ(config.blockSizeProblem, problem);
        EXPECT_NE(box.logText().find("] [error] " + problem + "\n"), std::string::npos)
            << box.logText();
        // The other settings are read as usual.
        EXPECT_EQ(config.fileProblem, "");
        EXPECT_EQ(config.exportDir, "dump");
    }
}

TEST(ConfigTest, ExportFormatWordIsMatchedIgnoringCaseAndBlanks) {
    struct Case {
        std::string text;
        int32_t code;
        const char* name;
    };
    const std::vector<Case> cases = {
        {"TEXT", 1, "TEXT"}, {"csv", 2, "CSV"}, {"  binary \n", 3, "BINARY"}, {"Db", 4, "DB"},
        {"XML", 1, "TEXT"},  {"", 1, "TEXT"},   {"BIN ARY", 1, "TEXT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Config config = loadSetting("export.export_format", c.text);
        EXPECT_EQ(config.exportFormat, c.code);
        EXPECT_EQ(config.exportFormatName(), c.name);
        // A word that names no format is refused in one line; an empty one is the default.
        const bool refused = c.text == "XML" || c.text == "BIN ARY";
        EXPECT_EQ(config.settingProblems,
                  refused ? std::vector<std::string>{"Invalid export.export_format '" + c.text +
                                                     "' in conf/vorn.ini: the format must be "
                                                     "TEXT, BINARY, DB or CSV; TEXT is used."}
                          : std::vector<std::string>{});
    }
}

TEST(ConfigTest, ExportFormatNameOfUnknownCodesIsEmpty) {
    for (int32_t code : {0, 5, -1}) {
        Config config;
        config.exportFormat = code;
        EXPECT_EQ(config.exportFormatName(), "") << code;
    }
}

TEST(ConfigTest, StringSettingsAreTrimmedExceptTheEncoding) {
    struct Case {
        std::string path, text;
        std::string Config::*field;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"database.pgdata_dir", " \t/data/pg\r\n ", &Config::pgdataDir, "/data/pg"},
        {"database.pgdata_dir", "/my data", &Config::pgdataDir, "/my data"},
        {"database.db_encoding", " LATIN1", &Config::dbEncoding, " LATIN1"},
        {"database.db_encoding", "", &Config::dbEncoding, ""},
        {"export.export_dir", "   ", &Config::exportDir, "dump"},
        {"export.export_dir", "", &Config::exportDir, "dump"},
        {"export.export_dir", " out ", &Config::exportDir, "out"},
        {"export.export_db.libpq_path", " /usr/lib ", &Config::libpqPath, "/usr/lib"},
        {"export.export_db.db_conn", "\n u/p@h:5432/d \n", &Config::dbConn, "u/p@h:5432/d"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " '" + c.text + "'");
        EXPECT_EQ(loadSetting(c.path, c.text).*c.field, c.expected);
    }
}

TEST(ConfigTest, BooleansAreReadAsZeroOneOrLowerCaseWords) {
    struct Case {
        std::string text;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"1", true},     {"true", true}, {" true ", true}, {"0", false}, {"false", false},
        {"TRUE", false}, {"yes", false}, {"2", false},     {"", false},  {"1x", false},
    };
    for (const char* path :
         {"db_file.reverse_byte", "db_file.block_checksum", "db_file.trace_block"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(path) + " '" + c.text + "'");
            const Config config = loadSetting(path, c.text);
            const int set = config.reverseByte + config.blockChecksum + config.traceBlock;
            EXPECT_EQ(set, c.expected ? 1 : 0);
        }
    }
}

TEST(ConfigTest, DelimiterIsOneByteThatCopyAccepts) {
    struct Case {
        std::optional<std::string> text;  // nullopt: no element
        char expected;
    };
    const std::vector<Case> cases = {
        {",", ','}, {"&#9;", '\t'}, {"\t", '\t'},   {" ", ' '}, {";", ';'},
        {"A", 'A'}, {"N", 'N'},     {"&amp;", '&'}, {"", '|'},  {std::nullopt, '|'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.value_or("(absent)"));
        Sandbox box(
            ini(c.text ? test::configElement("export.export_text.field_delim_char", *c.text) : ""));
        EXPECT_EQ(box.load().fieldDelimChar, c.expected);
        EXPECT_EQ(box.logText(), "");
    }
}

TEST(ConfigTest, DelimiterThatCopyRefusesFallsBackWithAnError) {
    struct Case {
        std::string text;
        std::string shown;  // as the log line names it
    };
    const std::vector<Case> cases = {
        {"\\", "\\"},     {".", "."},
        {"a", "a"},       {"z", "z"},
        {"0", "0"},       {"9", "9"},
        {"&#13;", "\\r"}, {"&#10;", "\\n"},
        {",,", ",,"},     {"\xc3\xa9", "\\xc3\\xa9"},  // a two-byte character
        {" , ", " , "},   {"&#0;", "\\x00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Sandbox box(ini(test::configElement("export.export_text.field_delim_char", c.text)));
        const Config config = box.load();
        EXPECT_EQ(config.fieldDelimChar, '|');
        EXPECT_EQ(fieldsOf(config), fieldsOf(Config())) << "only the delimiter is affected";
        const std::string expected = "] [error] Invalid export.export_text.field_delim_char '" +
                                     c.shown + "': COPY cannot use it as a delimiter";
        const std::string log = box.logText();
        EXPECT_NE(log.find(expected), std::string::npos) << log;
        EXPECT_TRUE(log.find("'|' is used\n") != std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        ASSERT_EQ(config.settingProblems.size(), 1u);
        EXPECT_EQ(config.settingProblems[0].rfind(
                      "Invalid export.export_text.field_delim_char '" + c.shown + "' in ", 0),
                  0u)
            << config.settingProblems[0];
    }
}

}  // namespace
}  // namespace vorn
