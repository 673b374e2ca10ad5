// The COPY binary writer on hand-made batches: the stream's bytes, NULL against empty,
// columns without encoder, flushing in whole rows and the life of its file.

#include "export/copy_binary_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tests/export/export_test_env.h"
#include "tests/storage/support/copy_binary.h"

namespace vorn::test {
namespace {

const std::string kHeader("PGCOPY\n\xff\r\n\0\0\0\0\0\0\0\0\0", 19);
const std::string kTrailer("\xff\xff", 2);

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

TEST(CopyBinaryWriter, EmptyTableIsHeaderAndTrailer) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "id", 23)};
    CopyBinaryWriter w(&layout, "public", "t", "", 1);
    w.open();
    w.finish();
    EXPECT_EQ(env.read("public_t.bin"), kHeader + kTrailer);
}

TEST(CopyBinaryWriter, NullEmptyAndValuesWithoutEncoderStayApart) {
    ExportEnv env;
    ColumnLayout layout = {column(-2, "oid", 26), column(1, "i", 23), column(2, "gone", 0),
                           column(3, "t", 25),    column(4, "b", 17), column(5, "j", 3802),
                           column(6, "u", 2950),  column(7, "n", 25)};
    ColumnBatch batch = makeColumnBatch(layout);
    setValue(batch[0], 0, int4Bytes(77));
    setValue(batch[1], 0, int4Bytes(258));
    setValue(batch[3], 0, "");  // empty, not NULL
    setValue(batch[4], 0, "");
    setValue(batch[5], 0, "stored jsonb tree");
    setValue(batch[6], 0, std::string(16, 'u'));
    batch[7].setNull(0);
    CopyBinaryWriter w(&layout, "public", "t", "", 1);
    testing::internal::CaptureStdout();
    w.open();
    const std::string console = testing::internal::GetCapturedStdout();
    w.writeRows(&batch, 1);
    w.finish();

    const std::string row(
        "\x00\x06"                          // six fields: no oid, no dropped column
        "\x00\x00\x00\x04\x00\x00\x01\x02"  // 258
        "\x00\x00\x00\x00"                  // ''
        "\x00\x00\x00\x00"                  // empty bytea
        "\xff\xff\xff\xff"                  // jsonb: NULL
        "\xff\xff\xff\xff"                  // uuid: NULL
        "\xff\xff\xff\xff",                 // NULL
        2 + 8 + 4 * 5);
    EXPECT_EQ(env.read("public_t.bin"), kHeader + row + kTrailer);
    const std::string want =
        "Table \"public\".\"t\": no binary encoder for columns \"j\" (type OID 3802), \"u\" "
        "(type OID 2950); written as NULL.";
    EXPECT_NE(console.find(want), std::string::npos) << console;
    EXPECT_NE(env.log().find(want), std::string::npos) << env.log();
    freeColumnBatch(batch);
}

TEST(CopyBinaryWriter, UnreadableValuesAreSentAsNullAndCounted) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "i", 23), column(2, "n", 1700), column(3, "ok", 20)};
    ColumnBatch batch = makeColumnBatch(layout);
    setValue(batch[0], 0, std::string("\1\2", 2));  // a cut int4
    setValue(batch[1], 0, std::string("\x01", 1));  // no numeric header
    setValue(batch[2], 0, std::string(8, '\0'));
    CopyBinaryWriter w(&layout, "public", "t", "", 1);
    w.open();
    w.writeRows(&batch, 1);
    testing::internal::CaptureStdout();
    w.finish();
    const std::string console = testing::internal::GetCapturedStdout();
    const std::string row =
        std::string("\x00\x03\xff\xff\xff\xff\xff\xff\xff\xff\x00\x00\x00\x08", 14) +
        std::string(8, '\0');
    EXPECT_EQ(env.read("public_t.bin"), kHeader + row + kTrailer);
    const std::string want =
        "Table \"public\".\"t\": 2 values not readable as their type (1 in column \"i\" (type "
        "OID 23), 1 in column \"n\" (type OID 1700)); written as NULL.";
    EXPECT_NE(console.find(want), std::string::npos) << console;
    EXPECT_NE(env.log().find(want), std::string::npos) << env.log();
    freeColumnBatch(batch);
}

// A date or timestamp the server's receive functions refuse is sent as NULL and counted, in
// the row loop's own fields; the same bytes in an int4 or int8 column are a value.
TEST(CopyBinaryWriter, DatesAndTimestampsOutsideTheServersRangeAreNull) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "d", 1082), column(2, "i", 23), column(3, "ts", 1114),
                           column(4, "l", 20)};
    ColumnBatch batch = makeColumnBatch(layout);
    const std::string farDate = int4Bytes(2147483494 - 2451545);  // first day refused
    std::string farStamp(8, '\0');
    const int64_t stamp = 9223371331200000000;  // first microsecond refused
    std::memcpy(farStamp.data(), &stamp, 8);
    for (size_t c : {0, 1})
        setValue(batch[c], 0, farDate);
    for (size_t c : {2, 3})
        setValue(batch[c], 0, farStamp);
    setValue(batch[0], 1, int4Bytes(0));
    setValue(batch[1], 1, int4Bytes(0));
    setValue(batch[2], 1, std::string(8, '\0'));
    setValue(batch[3], 1, std::string(8, '\0'));
    CopyBinaryWriter w(&layout, "public", "t", "", 1);
    w.open();
    w.writeRows(&batch, 2);
    testing::internal::CaptureStdout();
    w.finish();
    const std::string console = testing::internal::GetCapturedStdout();
    std::string farDateBE("\x00\x00\x00\x04", 4), farStampBE("\x00\x00\x00\x08", 4);
    for (int i = 3; i >= 0; --i)
        farDateBE += farDate[static_cast<size_t>(i)];
    for (int i = 7; i >= 0; --i)
        farStampBE += farStamp[static_cast<size_t>(i)];
    const std::string nul("\xff\xff\xff\xff", 4);
    const std::string first = std::string("\x00\x04", 2) + nul + farDateBE + nul + farStampBE;
    const std::string second = std::string("\x00\x04", 2) + std::string("\x00\x00\x00\x04", 4) +
                               std::string(4, '\0') + std::string("\x00\x00\x00\x04", 4) +
                               std::string(4, '\0') + std::string("\x00\x00\x00\x08", 4) +
                               std::string(8, '\0') + std::string("\x00\x00\x00\x08", 4) +
                               std::string(8, '\0');
    EXPECT_EQ(env.read("public_t.bin"), kHeader + first + second + kTrailer);
    EXPECT_NE(console.find("2 values not readable as their type (1 in column \"d\" (type OID "
                           "1082), 1 in column \"ts\" (type OID 1114))"),
              std::string::npos)
        << console;
    freeColumnBatch(batch);
}

TEST(CopyBinaryWriter, FlushesWholeRowsOnceTheBufferPassesOneMebibyte) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "t", 25)};
    ColumnBatch batch = makeColumnBatch(layout);
    const std::string big(600000, 'x');
    setValue(batch[0], 0, big);
    const size_t rowSize = 2 + 4 + big.size();

    CopyBinaryWriter w(&layout, "public", "t", "", 1);
    w.open();
    w.writeRows(&batch, 1);
    EXPECT_EQ(env.read("public_t.bin.tmp").size(), 0u);  // below the threshold
    w.writeRows(&batch, 1);
    EXPECT_EQ(env.read("public_t.bin.tmp").size(), kHeader.size() + 2 * rowSize);
    w.writeRows(&batch, 1);
    EXPECT_EQ(env.read("public_t.bin.tmp").size(), kHeader.size() + 2 * rowSize);
    w.finish();
    const CopyBinaryFile file = readCopyBinaryFile(env.root() + "/dump/public_t.bin");
    ASSERT_EQ(file.rows.size(), 3u);
    for (const CopyRow& r : file.rows)
        EXPECT_EQ(r, CopyRow{big});
    freeColumnBatch(batch);
}

TEST(CopyBinaryWriter, DestroyedWithoutFinishLeavesNoFile) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "id", 23)};
    ColumnBatch batch = makeColumnBatch(layout);
    setValue(batch[0], 0, int4Bytes(1));
    {
        CopyBinaryWriter w(&layout, "public", "t", "", 1);
        w.open();
        w.writeRows(&batch, 1);
    }
    EXPECT_FALSE(exists(env.root() + "/dump/public_t.bin"));
    EXPECT_FALSE(exists(env.root() + "/dump/public_t.bin.tmp"));
    freeColumnBatch(batch);
}

TEST(CopyBinaryWriter, FailuresOfTheFileThrowWithItsName) {
    ExportEnv env;
    ColumnLayout layout = {column(1, "id", 23)};
    {
        const std::string final = env.root() + "/dump/public_full.bin";
        ASSERT_EQ(::symlink("/dev/full", (final + ".tmp").c_str()), 0);
        CopyBinaryWriter w(&layout, "public", "full", "", 1);
        w.open();
        try {
            w.finish();
            ADD_FAILURE() << "finish succeeded on a full disk";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("public_full.bin.tmp\": No space left on device"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_FALSE(exists(final));
    }
    exportDirectory = env.root() + "/no_such_dir";
    CopyBinaryWriter w(&layout, "public", "t", "", 2);
    testing::internal::CaptureStdout();
    EXPECT_THROW(w.open(), std::runtime_error);
    testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace vorn::test
