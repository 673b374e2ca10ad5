// The shared writer base (messages, counters, the per-table DDL script) and the factory.

#include "export/data_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "export/copy_binary_writer.h"
#include "export/copy_text_writer.h"
#include "export/writer_factory.h"
#include "storage/table.h"
#include "tests/export/export_test_env.h"

namespace vorn::test {
namespace {

// A DataWriter with nothing to write: the base alone.
class BareWriter : public DataWriter {
  public:
    using DataWriter::DataWriter;
    void open() override {}
    uint32_t writeRows(const ColumnBatch*, uint32_t rows) override { return rows; }
    void finish() override {}
};

TEST(DataWriter, MessagesAndCounters) {
    const ColumnLayout layout;
    BareWriter w(&layout, "public", "t", "", 1);
    w.appendMessage("A");
    w.appendMessage("B");
    EXPECT_EQ(w.messages(), "\nA\nB");
    w.addBlocks(2);
    w.addBlocks(3);
    w.addRows(7);
    w.addBytes(9);
    EXPECT_EQ(w.blocks(), 5u);
    EXPECT_EQ(w.rows(), 7u);
    EXPECT_EQ(w.bytes(), 9u);
}

TEST(DataWriter, DdlScriptNamesTheTableNotThePartition) {
    ExportEnv env;
    const ColumnLayout layout = {column(1, "id", 23), column(2, "gone", 0),
                                 column(3, "name", 1043, 24)};
    BareWriter w(&layout, "public", "t", "p1", 1);
    w.writeDdlScript();
    EXPECT_EQ(env.read("public_t.sql"),
              "CREATE TABLE \"public\".\"t\" (\n\"id\" integer, \n\"name\" "
              "varchar(20));");

    BareWriter noSchema(&layout, "", "t", "", 2);
    noSchema.writeDdlScript();
    const std::string script = env.read("_t.sql");
    EXPECT_EQ(script.rfind("CREATE TABLE \"t\" (", 0), 0u) << script;
    EXPECT_EQ(script.back(), ';');
}

TEST(DataWriter, DdlScriptSkippedWithAWarningForAnUnnamedType) {
    ExportEnv env;
    const ColumnLayout layout = {column(1, "id", 23), column(2, "u", 16385 /* an enum */)};
    BareWriter w(&layout, "public", "t", "", 1);
    testing::internal::CaptureStdout();
    w.writeDdlScript();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("u (type OID 16385)"), std::string::npos) << console;
    EXPECT_NE(env.log().find("no DDL script written"), std::string::npos) << env.log();
    struct stat st;
    EXPECT_NE(::stat((env.root() + "/dump/public_t.sql").c_str(), &st), 0);
}

TEST(DataWriter, DdlScriptThatCannotBeWrittenWarnsAndGoesOn) {
    ExportEnv env;
    exportDirectory = env.root() + "/missing";
    const ColumnLayout layout = {column(1, "id", 23)};
    BareWriter w(&layout, "public", "t", "", 1);
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(w.writeDdlScript());
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("missing/public_t.sql"), std::string::npos) << console;
    EXPECT_NE(console.find("No such file or directory"), std::string::npos) << console;
}

TEST(WriterFactory, WriterPerFormatCode) {
    PgTable table;
    table.PgClass::oid = 16384;
    table.setRelname("t");
    table.schemaNameOverride = "public";
    table.setColumns(ColumnLayout{column(1, "id", 23)});

    auto text = makeDataWriter(kExportText, table, "p1");
    ASSERT_NE(dynamic_cast<CopyTextWriter*>(text.get()), nullptr);
    auto* base = dynamic_cast<DataWriter*>(text.get());
    EXPECT_EQ(base->fileStem(), "public_t.p1");
    EXPECT_EQ(base->tableOid(), 16384u);
    EXPECT_EQ(&base->columns(), &table.columns());
    EXPECT_NE(dynamic_cast<CopyBinaryWriter*>(makeDataWriter(kExportBinary, table, "").get()),
              nullptr);
    for (int format : {0, kExportCsv, 5, -1})
        EXPECT_EQ(makeDataWriter(format, table, ""), nullptr) << format;
}

}  // namespace
}  // namespace vorn::test
