// The COPY text writer on hand-made batches: field layout and escaping, NULL and empty,
// columns without output, and the life of its file (temporary name, rename, failures).

#include "export/copy_text_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "storage/copy_binary_buffer.h"
#include "tests/export/export_test_env.h"
#include "tests/support/console_terminal.h"

namespace vorn::test {
namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

TEST(CopyTextWriter, RowsAreEscapedAndNullAndEmptyAreEmptyFields) {
    ExportEnv env;
    ColumnLayout layout = {column(-2, "oid", 26), column(1, "i", 23),           column(2, "t", 25),
                           column(3, "gone", 0),  column(4, "v", 1043, 10 + 4), column(5, "b", 17)};
    ColumnBatch batch = makeColumnBatch(layout);
    setValue(batch[0], 0, int4Bytes(99));  // the oid column is no field
    setValue(batch[1], 0, int4Bytes(-7));
    setValue(batch[2], 0, "a|b\\c\nd\te\r");
    setValue(batch[4], 0, "x\by");
    setValue(batch[5], 0, std::string("\x01\xff", 2));
    setValue(batch[0], 1, int4Bytes(100));
    batch[1].setNull(1);
    setValue(batch[2], 1, "");
    batch[4].setNull(1);
    setValue(batch[5], 1, "");

    CopyTextWriter w(&layout, "public", "t", "", 1);
    w.open();
    EXPECT_EQ(w.writeRows(&batch, 2), 2u);
    w.finish();
    EXPECT_EQ(env.read("public_t.txt"), "-7|a\\|b\\\\c\\nd\\te\\r|x\\by|\\\\x01ff\n|||\\\\x\n");
    freeColumnBatch(batch);
}

TEST(CopyTextWriter, DelimiterIsTakenWhenTheWriterIsBuilt) {
    ExportEnv env;
    textDelimiter = ',';
    ColumnLayout layout = {column(1, "a", 23), column(2, "b", 23), column(3, "c", 23),
                           column(4, "m", 790), column(5, "d", 1700)};
    ColumnBatch batch = makeColumnBatch(layout);
    setValue(batch[0], 0, int4Bytes(1));
    batch[1].setNull(0);
    setValue(batch[2], 0, int4Bytes(3));
    batch[3].setNull(0);
    batch[4].setNull(0);
    CopyTextWriter w(&layout, "public", "t", "", 1);
    textDelimiter = ';';  // too late for w
    w.open();
    w.writeRows(&batch, 1);
    w.finish();
    EXPECT_EQ(env.read("public_t.txt"), "1,,3,,\n");
    freeColumnBatch(batch);
}

TEST(CopyTextWriter, RenderedValuesAreEscapedToo) {
    ExportEnv env;
    textDelimiter = '.';  // inside money's text
    ColumnLayout layout = {column(1, "m", 790)};
    ColumnBatch batch = makeColumnBatch(layout);
    const int64_t cents = -123456;
    setValue(batch[0], 0, std::string(reinterpret_cast<const char*>(&cents), 8));
    CopyTextWriter w(&layout, "s", "t", "", 1);
    w.open();
    w.writeRows(&batch, 1);
    w.finish();
    EXPECT_EQ(env.read("s_t.txt"), "-1234\\.56\n");
    freeColumnBatch(batch);
}

TEST(CopyTextWriter, ColumnsWithoutOutputAreEmptyWithOneWarning) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "id", 23), column(2, "u", 2950), column(3, "j", 3802)};
    ColumnBatch batch = makeColumnBatch(layout);
    setValue(batch[0], 0, int4Bytes(5));
    setValue(batch[1], 0, std::string(16, 'x'));
    setValue(batch[2], 0, "stored jsonb");
    CopyTextWriter w(&layout, "public", "t", "", 1);
    std::string console;
    {
        AsTerminal terminal;
        testing::internal::CaptureStdout();
        w.open();
        console = testing::internal::GetCapturedStdout();
    }
    w.writeRows(&batch, 1);
    w.finish();
    EXPECT_EQ(env.read("public_t.txt"), "5||\n");
    const std::string want =
        "Table \"public\".\"t\": no text output for columns \"u\" (type OID 2950), \"j\" (type "
        "OID 3802); written as empty fields.";
    EXPECT_NE(console.find(want), std::string::npos) << console;
    EXPECT_NE(console.find("\x1b[31;2m"), std::string::npos);  // in red on a terminal
    EXPECT_NE(env.log().find(want), std::string::npos) << env.log();
    freeColumnBatch(batch);
}

// Bytes that are no value of the column's type (a time past 24:00, a cut int4) become empty
// fields, and the table's warning says how many, per column.
TEST(CopyTextWriter, UnreadableValuesAreCountedInOneWarning) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "id", 23), column(2, "at", 1083), column(3, "ok", 23)};
    ColumnBatch batch = makeColumnBatch(layout);
    const int64_t past = int64_t{25} * 3600 * 1000000;
    for (uint32_t r = 0; r < 3; ++r) {
        setValue(batch[0], r, r == 0 ? std::string("\1\2", 2) : int4Bytes(int32_t(r)));
        setValue(batch[1], r, std::string(reinterpret_cast<const char*>(&past), 8));
        setValue(batch[2], r, int4Bytes(7));
    }
    CopyTextWriter w(&layout, "public", "t", "", 1);
    w.open();
    w.writeRows(&batch, 3);
    testing::internal::CaptureStdout();
    w.finish();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(env.read("public_t.txt"), "||7\n1||7\n2||7\n");
    const std::string want =
        "Table \"public\".\"t\": 4 values not readable as their type (1 in column \"id\" (type "
        "OID 23), 3 in column \"at\" (type OID 1083)); written as empty fields.";
    EXPECT_NE(console.find(want), std::string::npos) << console;
    EXPECT_NE(env.log().find(want), std::string::npos) << env.log();
    freeColumnBatch(batch);
}

TEST(CopyTextWriter, FileHasItsNameOnlyAfterFinish) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "id", 23)};
    ColumnBatch batch = makeColumnBatch(layout);
    setValue(batch[0], 0, int4Bytes(1));
    const std::string final = env.root() + "/dump/public_t.p1.txt";
    {
        CopyTextWriter w(&layout, "public", "t", "p1", 1);
        w.open();
        EXPECT_EQ(w.filePath(), final);
        w.writeRows(&batch, 1);
        EXPECT_TRUE(exists(final + ".tmp"));
        EXPECT_FALSE(exists(final));
        w.finish();
        EXPECT_FALSE(exists(final + ".tmp"));
    }
    EXPECT_EQ(env.read("public_t.p1.txt"), "1\n");
    EXPECT_TRUE(exists(env.root() + "/dump/public_t.sql"));  // the table's script
    {
        CopyTextWriter w(&layout, "public", "u", "", 2);
        w.open();
        w.writeRows(&batch, 1);
    }  // destroyed without finish: nothing left behind
    EXPECT_FALSE(exists(env.root() + "/dump/public_u.txt.tmp"));
    EXPECT_FALSE(exists(env.root() + "/dump/public_u.txt"));
    freeColumnBatch(batch);
}

TEST(CopyTextWriter, OpenFailsWhenTheFileCannotBeCreated) {
    ExportEnv env;
    exportDirectory = env.root() + "/no_such_dir";
    ColumnLayout layout = {column(1, "id", 23)};
    CopyTextWriter w(&layout, "public", "t", "", 1);
    testing::internal::CaptureStdout();  // the DDL script's warning
    try {
        w.open();
        ADD_FAILURE() << "open succeeded";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("no_such_dir/public_t.txt"), std::string::npos) << what;
        EXPECT_NE(what.find("No such file or directory"), std::string::npos) << what;
    }
    testing::internal::GetCapturedStdout();
}

TEST(CopyTextWriter, WriteFailureThrowsAndLeavesNoFile) {
    ExportEnv env;
    const std::string final = env.root() + "/dump/public_t.txt";
    ASSERT_EQ(::symlink("/dev/full", (final + ".tmp").c_str()), 0);
    ColumnLayout layout = {column(1, "t", 25)};
    ColumnBatch batch = makeColumnBatch(layout);
    setValue(batch[0], 0, std::string(4000, 'x'));
    CopyTextWriter w(&layout, "public", "t", "", 1);
    w.open();
    try {
        for (int i = 0; i < 300; ++i)  // past the first flush
            w.writeRows(&batch, 1);
        w.finish();
        ADD_FAILURE() << "no write failed";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("public_t.txt"), std::string::npos) << what;
        EXPECT_NE(what.find("No space left on device"), std::string::npos) << what;
    }
    EXPECT_FALSE(exists(final));
    freeColumnBatch(batch);
}

TEST(CopyTextWriter, LargeOutputIsWrittenInWholeRows) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "id", 23), column(2, "t", 25)};
    ColumnBatch batch = makeColumnBatch(layout);
    const std::string value(997, 'v');
    for (uint32_t r = 0; r < kBatchRows; ++r) {
        setValue(batch[0], r, int4Bytes(static_cast<int32_t>(r)));
        setValue(batch[1], r, value);
    }
    CopyTextWriter w(&layout, "public", "t", "", 1);
    w.open();
    w.writeRows(&batch, kBatchRows);
    w.writeRows(&batch, kBatchRows);
    // Two batches of about 1 MB each: the first flush has happened, at a line end.
    const std::string partial = env.read("public_t.txt.tmp");
    ASSERT_GE(partial.size(), copyFlushThreshold);
    EXPECT_EQ(partial.back(), '\n');
    w.finish();
    const std::string all = env.read("public_t.txt");
    std::string want;
    for (int pass = 0; pass < 2; ++pass)
        for (uint32_t r = 0; r < kBatchRows; ++r)
            want += std::to_string(r) + "|" + value + "\n";
    EXPECT_EQ(all, want);
    freeColumnBatch(batch);
}

}  // namespace
}  // namespace vorn::test
