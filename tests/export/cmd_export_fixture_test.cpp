// UNLOAD TABLE and UNLOAD SCHEMA over a real data directory: name parsing and lookup, the
// console lines, the files written, the counts of the summary, and failures that stay with
// their table.

#include "export/cmd_export.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <system_error>
#include <thread>

#include "base/file_logger.h"
#include "catalog/dict_cache.h"
#include "catalog/dictionary.h"
#include "export/export_settings.h"
#include "export/file_names.h"
#include "export/writer_factory.h"
#include "tests/storage/support/copy_text.h"
#include "tests/storage/support/fixture_table.h"
#include "tests/support/fixture_skip.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class CmdExportTest : public ::testing::Test {
  protected:
    // The fixture the tests read.
    virtual std::string label() const { return "deb15"; }

    void SetUp() override {
        // One manifest per label for all the tests of the binary (sharedFixture).
        VORN_FIXTURE_OR_SKIP(manifest, label());
        manifest_ = &manifest;
        settings_.use(manifest);
        Dictionary& d = Dictionary::instance();
        d.setServerVersion(static_cast<int16_t>(manifest.server.major),
                           static_cast<int16_t>(manifest.server.minor));
        dictDirectory = dir_.path() + "/dict";
        fs::create_directories(dictDirectory);
        fs::create_directories(dir_.path() + "/dump");
        mainLog().open(dir_.path().c_str());
        unloadLog().open(dir_.path().c_str());
        d.generate(nullptr);
        ASSERT_TRUE(d.loadFromCache(nullptr));
        useDatabase("vorn");
        exporter_ = std::make_unique<CmdExport>(&d, &schemaOid_);
        exporter_->setExportKind(kExportText);
        exporter_->setExportPath(dir_.path() + "/dump");
        exporter_->setTextDelimiter('|');
        resetTableFileNames();
    }
    void TearDown() override {
        dictDirectory = savedDict_;
        exportDirectory = savedExport_;
        resetTableFileNames();
    }

    void useDatabase(const std::string& name) {
        Dictionary& d = Dictionary::instance();
        const FixtureDatabase* db = manifest_->findDatabase(name);
        ASSERT_NE(db, nullptr);
        d.currentDatabaseOid = db->oid;
        d.setClientEncoding(db->encoding);
        schemaOid_ = 2200;  // public
    }

    // What the command printed, with the progress bar's redrawn line taken out: of each
    // line only the text after its last carriage return.
    std::string run(const std::function<void()>& command) {
        testing::internal::CaptureStdout();
        command();
        const std::string raw = testing::internal::GetCapturedStdout();
        std::string out;
        size_t start = 0;
        while (start < raw.size()) {
            size_t end = raw.find('\n', start);
            const bool last = end == std::string::npos;
            if (last)
                end = raw.size();
            const std::string line = raw.substr(start, end - start);
            const size_t cr = line.rfind('\r');
            out += cr == std::string::npos ? line : line.substr(cr + 1);
            if (!last)
                out += '\n';
            start = end + 1;
        }
        return out;
    }
    std::string dump(const std::string& file) const { return dir_.readFile("dump/" + file); }
    // MixedSchema's two tables, each in one data file that holds the server's COPY text.
    void expectMixedSchemaWrittenOnce() const {
        EXPECT_EQ(dump("MixedSchema_CamelTable.txt"),
                  readFileBytes(table("MixedSchema", "CamelTable").copyText));
        EXPECT_EQ(dump("MixedSchema_twin.txt"),
                  readFileBytes(table("MixedSchema", "twin").copyText));
        size_t dataFiles = 0;
        for (const auto& e : fs::directory_iterator(dir_.path() + "/dump"))
            dataFiles += e.path().extension() == ".txt";
        EXPECT_EQ(dataFiles, 2u);
    }
    const FixtureTable& table(const std::string& schema, const std::string& name) const {
        return manifest_->table("vorn", schema, name);
    }

    const FixtureManifest* manifest_ = nullptr;
    FixtureServerSettings settings_;
    TempDir dir_;
    // Saved before SetUp(), which may skip, for TearDown() to put back.
    std::string savedDict_ = dictDirectory, savedExport_ = exportDirectory;
    uint32_t schemaOid_ = 2200;
    std::unique_ptr<CmdExport> exporter_;
};

TEST_F(CmdExportTest, TableNamesAreMatchedAndLookedUp) {
    struct Case {
        const char* typed;
        const char* found;  // null: not found
    } cases[] = {
        {"twin", "twin"},
        {"PUBLIC.TWIN", "twin"},  // plain parts: without regard to case
        {"\"MixedSchema\".\"CamelTable\"", "CamelTable"},
        {"mixedschema.\"CamelTable\"", "CamelTable"},
        {"MixedSchema.CamelTable", "CamelTable"},
        {"mixedschema.cameltable", "CamelTable"},
        {"\"mixedschema\".CamelTable", nullptr},  // quoted parts: exactly as stored
        {"public.\"TWIN\"", nullptr},
        {"\"it's a \"\"quoted\"\" name\"", "it's a \"quoted\" name"},
        {".twin", "twin"},  // empty schema part: the current one
        {"public.", nullptr},
        {"", nullptr},
        {"public.twin:part1", "twin"},
        {"nosuch", nullptr},
        {"a.b.c", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        const std::string out = run([&] { exporter_->unloadTable(c.typed, 1); });
        if (c.found == nullptr) {
            EXPECT_EQ(out, fmt::format("Table {} not exist\n", c.typed));
        } else {
            EXPECT_NE(out.find(fmt::format("\".\"{}\"", c.found)), std::string::npos) << out;
            EXPECT_NE(out.find(" unloaded "), std::string::npos) << out;
        }
    }
}

TEST_F(CmdExportTest, OneTableLinesFilesAndScript) {
    const std::string out = run([&] { exporter_->unloadTable("public.twin", 0); });
    const std::regex lines(
        " \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d unloading table \"public\".\"twin\" in "
        "parallel 1...\n"
        " \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d unloaded 3 rows \\(\\d+\\.\\d\\d secs\\).\n\n");
    EXPECT_TRUE(std::regex_match(out, lines)) << out;
    EXPECT_EQ(dump("public_twin.txt"), readFileBytes(table("public", "twin").copyText));
    EXPECT_NE(dump("import_public_twin.sql").find("public_twin.txt"), std::string::npos);

    // A partition suffix goes into the data file's name, not the script's.
    const std::string partition = run([&] { exporter_->unloadTable("public.twin:p1", 1); });
    EXPECT_NE(partition.find("unloading table partition \"public\".\"twin\":\"p1\" in parallel 1"),
              std::string::npos)
        << partition;
    EXPECT_EQ(dump("public_twin.p1.txt"), dump("public_twin.txt"));

    // Degrees other than 1 read nothing (and show the clamped degree).
    const std::string wide = run([&] { exporter_->unloadTable("twin", 25); });
    EXPECT_NE(wide.find("in parallel 10..."), std::string::npos) << wide;
    EXPECT_NE(wide.find("unloaded 0 rows"), std::string::npos) << wide;
}

TEST_F(CmdExportTest, SchemaSerialAndParallelWriteEachTableOnce) {
    for (const unsigned degree : {1u, 4u}) {
        SCOPED_TRACE(degree);
        fs::remove_all(dir_.path() + "/dump");
        fs::create_directories(dir_.path() + "/dump");
        resetTableFileNames();
        const std::string out = run([&] { exporter_->unloadSchema("MIXEDSCHEMA", degree); });
        EXPECT_NE(out.find(fmt::format(
                      " Unloading MixedSchema's tables, total cnt: 2 in parallel {}", degree)),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("Finished.\n========== Unload \"MixedSchema\": 2 total, 2 success, 0 "
                           "incomplete, 0 error, 0 skipped, 0 ignored ==========\n\n"),
                  std::string::npos)
            << out;
        if (degree == 4) {
            EXPECT_NE(out.find("  [0"), std::string::npos) << "workers: " << out;
        }
        expectMixedSchemaWrittenOnce();
        EXPECT_TRUE(fs::exists(dir_.path() + "/dump/import_MixedSchema.sql"));
    }
}

// An exporter whose system refuses every worker thread from the `refuseFrom`th on.
class RefusingExporter : public CmdExport {
  public:
    RefusingExporter(Dictionary* d, uint32_t* schemaOid, int refuseFrom)
        : CmdExport(d, schemaOid), refuseFrom_(refuseFrom) {}

  protected:
    std::thread startWorker(int index, UnloadCounters* counters) override {
        if (index >= refuseFrom_)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        return CmdExport::startWorker(index, counters);
    }

  private:
    int refuseFrom_;
};

// Threads the system will not start leave the queue to the workers already running, or to
// the calling thread when none started: every table is still unloaded once.
TEST_F(CmdExportTest, ParallelUnloadGoesOnWhenThreadsAreRefused) {
    for (const int refuseFrom : {0, 1}) {
        SCOPED_TRACE(refuseFrom);
        fs::remove_all(dir_.path() + "/dump");
        fs::create_directories(dir_.path() + "/dump");
        RefusingExporter exporter(&Dictionary::instance(), &schemaOid_, refuseFrom);
        exporter.setExportKind(kExportText);
        exporter.setExportPath(dir_.path() + "/dump");
        exporter.setTextDelimiter('|');
        const std::string out = run([&] { exporter.unloadSchema("MixedSchema", 4); });
        const std::string said =
            refuseFrom == 0 ? "cannot start unload worker 0 (" : "cannot start unload worker 1 (";
        EXPECT_NE(out.find(said), std::string::npos) << out;
        EXPECT_NE(
            out.find(refuseFrom == 0 ? "); going on without workers\n" : "); going on with 1\n"),
            std::string::npos)
            << out;
        EXPECT_EQ(out.find("worker 2"), std::string::npos)
            << "one refusal ends the starts: " << out;
        EXPECT_NE(out.find("2 total, 2 success, 0 incomplete, 0 error, 0 skipped"),
                  std::string::npos)
            << out;
        expectMixedSchemaWrittenOnce();
    }
}

TEST_F(CmdExportTest, SchemaNotFoundAndEmptyName) {
    EXPECT_EQ(run([&] { exporter_->unloadSchema("nosuch", 1); }), "Schema nosuch not exist.\n");
    EXPECT_EQ(run([&] { exporter_->unloadSchema("", 4); }), "Schema  not exist.\n");
}

// A table whose file cannot be created fails alone: it is counted, named in the summary
// with the reason, and the others are unloaded.
TEST_F(CmdExportTest, FailedTableIsCountedAndNamed) {
    fs::create_directories(dir_.path() + "/dump/MixedSchema_twin.txt.tmp");  // blocks the file
    for (const unsigned degree : {1u, 3u}) {
        SCOPED_TRACE(degree);
        resetTableFileNames();
        const std::string out = run([&] { exporter_->unloadSchema("MixedSchema", degree); });
        EXPECT_NE(out.find("2 total, 1 success, 0 incomplete, 1 error, 0 skipped"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("  failed \"MixedSchema\".\"twin\": "), std::string::npos) << out;
        EXPECT_EQ(dump("MixedSchema_CamelTable.txt"),
                  readFileBytes(table("MixedSchema", "CamelTable").copyText));
        // The failed table gets no \COPY line in the schema's script.
        const std::string script = dump("import_MixedSchema.sql");
        EXPECT_NE(script.find("CamelTable"), std::string::npos) << script;
        EXPECT_EQ(script.find("FROM 'MixedSchema_twin.txt'"), std::string::npos) << script;
    }
}

// What the storage engine found reaches the console: the empty pages a table holds are said,
// and a table whose file is gone fails with the path and the system's reason, not as an
// empty table.
TEST_F(CmdExportTest, EmptyPagesAndALostFileAreSaidOnTheConsole) {
    const FixtureTable& t = table("public", "twin");
    // A data directory of one database folder: the table's file with a page the server
    // extended it by, and its TOAST relation's file.
    const std::string data = dir_.path() + "/data";
    const std::string folder = data + "/base/" + std::to_string(t.databaseOid);
    fs::create_directories(folder);
    const std::string file = folder + "/" + std::to_string(t.relfilenode);
    fs::copy_file(t.path, file);
    {
        std::ofstream extended(file, std::ios::binary | std::ios::app);
        extended << std::string(manifest_->server.blockSize, '\0');
    }
    ASSERT_TRUE(t.toast.has_value());
    fs::copy_file(t.toast->path, folder + "/" + std::to_string(t.toast->relfilenode));
    dataDirectory = data;

    const std::string out = run([&] { exporter_->unloadTable("public.twin", 1); });
    EXPECT_NE(out.find("  Table \"public\".\"twin\": 1 empty pages.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("unloaded 3 rows"), std::string::npos) << out;
    EXPECT_EQ(dump("public_twin.txt"), readFileBytes(t.copyText));

    fs::remove(file);
    resetTableFileNames();
    const std::string lost = run([&] { exporter_->unloadTable("public.twin", 1); });
    EXPECT_NE(lost.find("error: file \"" + file + "\" cannot be read: No such file or directory"),
              std::string::npos)
        << lost;
    // A table that failed wrote no rows, and says so.
    EXPECT_TRUE(std::regex_search(
        lost, std::regex(" \\d\\d:\\d\\d:\\d\\d failed \\(\\d+\\.\\d\\d secs\\)\\.\n")))
        << lost;
    EXPECT_EQ(lost.find("unloaded"), std::string::npos) << lost;
    EXPECT_FALSE(fs::exists(dir_.path() + "/dump/public_twin.txt.tmp"));
}

// A partitioned table has no storage of its own: unloading it is skipped with the way to its
// rows, never "0 rows" with an import script that loads nothing.
TEST_F(CmdExportTest, APartitionedTableIsSkippedWithTheWayToItsRows) {
    const std::string reason =
        "Table \"public\".\"measurements\" is a partitioned table: it holds no rows of its own. "
        "Its rows are in its partitions, which are tables of their own: unload them by name or "
        "with their schema.";
    const std::string out = run([&] { exporter_->unloadTable("measurements", 1); });
    EXPECT_NE(out.find("  " + reason + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" skipped ("), std::string::npos) << out;
    EXPECT_EQ(out.find("unloaded"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(dir_.path() + "/dump/public_measurements.txt"));
    const std::string script = dump("import_public_measurements.sql");
    EXPECT_NE(script.find("-- Table \"public\".\"measurements\" not loaded: it was not unloaded."),
              std::string::npos)
        << script;
    EXPECT_EQ(script.find("\\COPY"), std::string::npos) << script;

    // In a schema it counts as skipped, is named with the reason, and its partitions, which
    // hold the rows, are loaded by the script.
    resetTableFileNames();
    const std::string schema = run([&] { exporter_->unloadSchema("public", 1); });
    EXPECT_NE(schema.find(" 0 error, 1 skipped, 0 ignored"), std::string::npos) << schema;
    EXPECT_NE(schema.find("  skipped \"public\".\"measurements\": " + reason), std::string::npos)
        << schema;
    const std::string all = dump("import_public.sql");
    EXPECT_EQ(all.find("FROM 'public_measurements.txt'"), std::string::npos) << all;
    EXPECT_NE(all.find("FROM 'public_measurements_low.txt'"), std::string::npos) << all;
    EXPECT_EQ(dump("public_measurements_low.txt"),
              readFileBytes(table("public", "measurements_low").copyText));
}

// Values of a type without output for the format are written empty (TEXT) or NULL (BINARY):
// the table is incomplete, not a success, and the lines after the summary say why.
TEST_F(CmdExportTest, ValuesWithoutOutputMakeTheTableIncomplete) {
    struct Case {
        int format;
        const char* written;
    } cases[] = {{kExportText, "written as empty fields, no text output ("},
                 {kExportBinary, "written as NULL, no binary encoder ("}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        exporter_->setExportKind(c.format);
        resetTableFileNames();
        const std::string one = run([&] { exporter_->unloadTable("all_types", 1); });
        EXPECT_TRUE(std::regex_search(one, std::regex("unloaded \\d+ rows, incomplete \\(")))
            << one;
        resetTableFileNames();
        const std::string out = run([&] { exporter_->unloadSchema("public", 1); });
        const size_t line = out.find("  incomplete \"public\".\"all_types\": ");
        ASSERT_NE(line, std::string::npos) << out;
        const std::string reason = out.substr(line, out.find('\n', line) - line);
        EXPECT_NE(reason.find(c.written), std::string::npos) << reason;
        EXPECT_NE(reason.find("in column \"c_uuid\" (type OID 2950)"), std::string::npos) << reason;
        // The summary counts it apart from the successes; tables without such columns are no
        // more incomplete than before.
        EXPECT_TRUE(std::regex_search(out, std::regex(" success, [1-9]\\d* incomplete, 0 error, ")))
            << out;
        EXPECT_EQ(out.find("  incomplete \"public\".\"twin\""), std::string::npos) << out;
    }
}

// A missing export directory is made at the first unload; one that cannot be made is
// refused in one line before any table is read.
TEST_F(CmdExportTest, TheExportDirectoryIsMadeOrRefusedOnce) {
    const std::string made = dir_.path() + "/new/export";
    exporter_->setExportPath(made);
    const std::string out = run([&] { exporter_->unloadTable("twin", 1); });
    EXPECT_NE(out.find("unloaded 3 rows"), std::string::npos) << out;
    EXPECT_EQ(dir_.readFile("new/export/public_twin.txt"),
              readFileBytes(table("public", "twin").copyText));

    const std::string blocked = dir_.path() + "/plain-file/export";
    { std::ofstream(dir_.path() + "/plain-file") << "x"; }
    exporter_->setExportPath(blocked);
    for (const bool schema : {false, true}) {
        SCOPED_TRACE(schema);
        const std::string refused = run([&] {
            if (schema)
                exporter_->unloadSchema("MixedSchema", 4);
            else
                exporter_->unloadTable("twin", 1);
        });
        EXPECT_EQ(refused,
                  "Export directory \"" + blocked + "\" cannot be created: Not a directory.\n");
    }
}

// The variant build: empty strings, which TEXT writes as the empty field NULL also is.
class CmdExportVariantTest : public CmdExportTest {
  protected:
    std::string label() const override { return "deb15v"; }
};

TEST_F(CmdExportVariantTest, EmptyStringsInTextAreCountedOnce) {
    const std::string text = run([&] { exporter_->unloadTable("empty_strings", 1); });
    EXPECT_EQ(occurrences(text, "empty string"), 1u) << text;
    EXPECT_NE(text.find("Table \"public\".\"empty_strings\": 4 empty strings written as empty "
                        "fields, which COPY FROM loads as NULL (the BINARY and DB formats keep "
                        "them)."),
              std::string::npos)
        << text;
    // Kept as the files always were: '' and NULL are both an empty field.
    EXPECT_EQ(dump("public_empty_strings.txt"), "1||a\n2||\n3|x|\n4||\n");

    exporter_->setExportKind(kExportBinary);
    resetTableFileNames();
    const std::string binary = run([&] { exporter_->unloadTable("empty_strings", 1); });
    EXPECT_EQ(binary.find("empty string"), std::string::npos) << binary;
    EXPECT_EQ(dump("public_empty_strings.bin"),
              readFileBytes(table("public", "empty_strings").copyBinary));
}

TEST_F(CmdExportTest, CsvTablesAreSkippedAndSaidSo) {
    exporter_->setExportKind(kExportCsv);
    const std::string out = run([&] { exporter_->unloadSchema("MixedSchema", 1); });
    EXPECT_NE(out.find("Export format CSV has no writer"), std::string::npos) << out;
    EXPECT_NE(out.find("2 total, 0 success, 0 incomplete, 0 error, 2 skipped"), std::string::npos)
        << out;
    const std::string one = run([&] { exporter_->unloadTable("twin", 1); });
    EXPECT_NE(
        one.find("Export format CSV has no writer: table \"public\".\"twin\" is not unloaded."),
        std::string::npos)
        << one;
}

}  // namespace
}  // namespace vorn::test
