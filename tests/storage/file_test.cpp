#include "storage/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "base/file_logger.h"
#include "storage/data_file.h"
#include "tests/support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

constexpr uint16_t kBlock = 8192;

// Reads with O_DIRECT need buffers aligned to the device sector; 4096 covers every device.
struct AlignedBuffer {
    explicit AlignedBuffer(size_t size)
        : bytes(static_cast<uint8_t*>(std::aligned_alloc(4096, size)), &std::free) {}
    uint8_t* data() const { return bytes.get(); }
    std::unique_ptr<uint8_t, decltype(&std::free)> bytes;
};

size_t openDescriptorCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// A file of whole blocks, each filled with its block number's low byte, plus `tail` bytes.
std::string writeBlocks(const TempDir& dir, const std::string& name, size_t blocks,
                        size_t tail = 0) {
    std::string content;
    for (size_t b = 0; b < blocks; ++b)
        content.append(kBlock, static_cast<char>('A' + b));
    content.append(tail, 'z');
    dir.writeFile(name, content);
    return dir.path() + "/" + name;
}

int errnoOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::system_error& e) {
        return e.code().value();
    }
    return 0;
}

TEST(FileTest, OpenFailsWithTheSystemError) {
    File f;
    EXPECT_EQ(errnoOf([&] { f.open("/nonexistent/vorn/file", O_RDONLY); }), ENOENT);
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(f.path(), "/nonexistent/vorn/file");
    // Never creates the file, even when asked to.
    const TempDir dir;
    EXPECT_EQ(errnoOf([&] { f.open(dir.path() + "/new", O_RDWR | O_CREAT); }), ENOENT);
    EXPECT_FALSE(fs::exists(dir.path() + "/new"));
}

TEST(FileTest, ReopenClosesThePreviousDescriptor) {
    const TempDir dir;
    dir.writeFile("a", "first");
    dir.writeFile("b", "second");
    File f;
    const size_t before = openDescriptorCount();
    f.open(dir.path() + "/a", O_RDONLY);
    f.open(dir.path() + "/b", O_RDONLY);
    EXPECT_EQ(openDescriptorCount(), before + 1);
    char buf[16] = {};
    EXPECT_EQ(f.pread(buf, sizeof buf, 0), 6u);
    EXPECT_STREQ(buf, "second");
    EXPECT_EQ(f.path(), dir.path() + "/b");
    f.close();
    f.close();  // closing a closed file does nothing
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(FileTest, ReadWriteSeekAndSize) {
    const TempDir dir;
    dir.writeFile("f", "");
    File f;
    f.open(dir.path() + "/f", O_RDWR);
    f.write("hello ", 6);
    f.pwrite("world", 5, 6);
    EXPECT_EQ(f.size(), 11u);
    EXPECT_EQ(f.tell(), 11);  // size leaves the position at the end
    EXPECT_EQ(f.seek(0, SEEK_SET), 0);
    char buf[32] = {};
    EXPECT_EQ(f.read(buf, 5), 5u);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(f.pread(buf, sizeof buf, 6), 5u);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(f.pread(buf, sizeof buf, 100), 0u);  // past the end
    EXPECT_EQ(f.read(buf, sizeof buf), 6u);        // the position moved by read only
}

TEST(FileTest, FailingCallsThrow) {
    const TempDir dir;
    dir.writeFile("f", "data");
    File f;
    f.open(dir.path() + "/f", O_RDONLY);
    EXPECT_EQ(errnoOf([&] { f.write("x", 1); }), EBADF);
    EXPECT_EQ(errnoOf([&] { f.pwrite("x", 1, 0); }), EBADF);
    EXPECT_EQ(errnoOf([&] { f.seek(-10, SEEK_SET); }), EINVAL);
    File closed;
    char c;
    EXPECT_EQ(errnoOf([&] { closed.pread(&c, 1, 0); }), EBADF);
    EXPECT_EQ(errnoOf([&] { closed.read(&c, 1); }), EBADF);
    EXPECT_EQ(errnoOf([&] { closed.size(); }), EBADF);
}

TEST(FileTest, FailedCloseThrowsButTheDestructorDoesNot) {
    const TempDir dir;
    dir.writeFile("f", "data");
    File f;
    f.open(dir.path() + "/f", O_RDONLY);
    ::close(f.fd());  // pull the descriptor away so that close fails
    EXPECT_EQ(errnoOf([&] { f.close(); }), EBADF);
    EXPECT_FALSE(f.isOpen());

    auto g = std::make_unique<File>();
    g->open(dir.path() + "/f", O_RDONLY);
    ::close(g->fd());
    EXPECT_NO_THROW(g.reset());
}

// ---- DataFile ------------------------------------------------------------------------------

TEST(DataFileTest, BlockCountIsWholeBlocks) {
    struct Case {
        size_t blocks, tail;
        uint32_t expected;
    };
    const Case cases[] = {{0, 0, 0}, {0, 100, 0}, {1, 0, 1}, {3, 100, 3}, {3, kBlock - 1, 3}};
    const TempDir dir;
    for (const Case& c : cases) {
        const std::string path = writeBlocks(dir, "rel", c.blocks, c.tail);
        DataFile f;
        f.open(path, kBlock, true, true);
        EXPECT_EQ(f.blockCount(), c.expected) << c.blocks << " blocks + " << c.tail;
        EXPECT_EQ(f.blockSize(), kBlock);
        EXPECT_EQ(f.name(), path);
    }
}

TEST(DataFileTest, ReadsBlocksAndShortGroups) {
    const TempDir dir;
    const std::string path = writeBlocks(dir, "16384", 3, 100);
    DataFile f;
    f.open(path, kBlock, true, true);
    AlignedBuffer buf(size_t{128} * kBlock);

    for (uint32_t b = 0; b < 3; ++b) {
        ASSERT_EQ(f.readBlock(b, buf.data()), kBlock);
        EXPECT_EQ(buf.data()[0], 'A' + b);
        EXPECT_EQ(buf.data()[kBlock - 1], 'A' + b);
    }
    EXPECT_EQ(f.readBlocks(0, 2, buf.data()), 2u);
    EXPECT_EQ(buf.data()[kBlock], 'B');
    // The group runs past the end of the file: only the whole block that exists counts.
    EXPECT_EQ(f.readBlocks(2, 128, buf.data()), 1u);
    EXPECT_EQ(buf.data()[0], 'C');

    struct Case {
        std::function<void()> read;
        std::string message;
    };
    const Case cases[] = {
        {[&] { f.readBlock(3, buf.data()); }, "[read block] error reading block from file " + path +
                                                  " (block#3), exceed file size 3 blocks."},
        {[&] { f.readBlock(UINT32_MAX, buf.data()); },
         "[read block] error reading block from file " + path +
             " (block#4294967295), exceed file size 3 blocks."},
        {[&] { f.readBlocks(3, 1, buf.data()); }, "[read mblock] error reading block from file " +
                                                      path +
                                                      " (block#3), exceed file size 3 blocks."},
    };
    for (const Case& c : cases) {
        try {
            c.read();
            ADD_FAILURE() << "no error for: " << c.message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }
}

TEST(DataFileTest, BlockShorterThanPromisedIsAnError) {
    const TempDir dir;
    const std::string path = writeBlocks(dir, "16384", 2);
    DataFile f;
    f.open(path, kBlock, true, false);
    fs::resize_file(path, kBlock + 10);  // cut after open: the count still says 2
    AlignedBuffer buf(2 * kBlock);
    try {
        f.readBlock(1, buf.data());
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "[read block] error reading block from file " + path +
                                             " (block#1), expected 8192 bytes, read 10 bytes.");
    }
    EXPECT_EQ(f.readBlocks(0, 2, buf.data()), 1u);
}

TEST(DataFileTest, OpenFailureNamesTheFile) {
    DataFile f;
    try {
        f.open("/nonexistent/16384", kBlock, true, true);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "unable to open datafile \"/nonexistent/16384\", OS error: No such file or "
                  "directory");
    }
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(f.name(), "/nonexistent/16384");
}

// Segment files of 1 GiB and more: block offsets must not wrap at 4 GiB.
TEST(DataFileTest, ReadsBlocksBeyondFourGiB) {
    const TempDir dir;
    const std::string path = dir.path() + "/16384";
    dir.writeFile("16384", "");
    const uint64_t blocks = (uint64_t{5} << 30) / kBlock;
    fs::resize_file(path, blocks * kBlock);           // sparse
    const uint32_t target = (uint32_t{1} << 19) + 5;  // offset 4 GiB + 40 KiB
    {
        File raw;
        raw.open(path, O_RDWR);
        raw.pwrite("far", 3, uint64_t{target} * kBlock);
    }
    DataFile f;
    f.open(path, kBlock, true, true);
    EXPECT_EQ(f.blockCount(), blocks);
    AlignedBuffer buf(kBlock);
    f.readBlock(target, buf.data());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), 3), "far");
    f.readBlock(5, buf.data());  // what a wrapped offset would have read
    EXPECT_EQ(buf.data()[0], 0);
}

class DataFileFallbackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The log's first use opens "log/" below the working directory: keep that in here too.
        const ScopedWorkingDir cwd(logDir_.path());
        unloadLog().open(logDir_.path().c_str());
    }
    std::string log() const { return logDir_.readFile("unload_table.log"); }
    static size_t countOf(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
    TempDir logDir_;
};

// procfs refuses O_DIRECT at open as tmpfs did before Linux 6.6 and some network file
// systems still do.
TEST_F(DataFileFallbackTest, OpenRefusingDirectIoReadsBuffered) {
    const std::string path = "/proc/version";
    const int probe = ::open(path.c_str(), O_RDONLY | O_DIRECT);
    if (probe != -1) {
        ::close(probe);
        GTEST_SKIP() << path << " accepts O_DIRECT here";
    }
    DataFile f;
    f.open(path, kBlock, true, true);
    EXPECT_TRUE(f.isOpen());
    EXPECT_FALSE(f.direct());
    DataFile again;
    again.open(path, kBlock, true, true);
    EXPECT_FALSE(again.direct());
    // Once per file, not per open: TOAST fetches open a file per value.
    EXPECT_EQ(countOf(log(), "datafile \"/proc/version\""), 1u) << log();
    EXPECT_NE(log().find("[info]"), std::string::npos);
}

// A direct read of a buffer that is not sector-aligned fails with EINVAL, as a 2 KiB block on
// a 4 KiB-sector disk does; the file continues buffered and the read succeeds.
TEST_F(DataFileFallbackTest, DirectReadRefusedContinuesBuffered) {
    const TempDir dir;
    const std::string path = writeBlocks(dir, "16384", 3);
    DataFile f;
    f.open(path, kBlock, true, true);
    const bool startedDirect = f.direct();
    AlignedBuffer buf(size_t{3} * kBlock + 4096);
    uint8_t* misaligned = buf.data() + 1;
    ASSERT_EQ(f.readBlock(1, misaligned), kBlock);
    EXPECT_EQ(misaligned[0], 'B');
    EXPECT_EQ(misaligned[kBlock - 1], 'B');
    EXPECT_EQ(f.readBlocks(0, 3, misaligned), 3u);
    EXPECT_EQ(misaligned[2 * kBlock], 'C');
    EXPECT_FALSE(f.direct());
    if (startedDirect) {
        EXPECT_EQ(countOf(log(), "datafile \"" + path + "\""), 1u) << log();
    }
}

}  // namespace
}  // namespace vorn::test
