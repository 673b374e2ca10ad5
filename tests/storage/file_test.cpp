#include "storage/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <liburing.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

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

// ---- GroupReader ---------------------------------------------------------------------------

constexpr uint16_t kGroupBlocks = 4;
constexpr uint32_t kGroupBytes = uint32_t{kGroupBlocks} * kBlock;
constexpr uint32_t kDepth = 3;

// Whether this kernel and sandbox let a process set up an io_uring at all.
bool ringAvailable() {
    io_uring ring;
    if (io_uring_queue_init(2, &ring, 0) != 0)
        return false;
    io_uring_queue_exit(&ring);
    return true;
}

// Runs each test with the read-ahead switched on (true) and off, and puts the switch back.
class GroupReaderTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        saved_ = readAheadEnabled();
        setReadAhead(GetParam());
    }
    void TearDown() override { setReadAhead(saved_); }

    // A file of `blocks` blocks, each starting with its block number (uint32) and filled
    // with its low byte, so that a block read from the wrong place is seen.
    std::string writeNumbered(const std::string& name, uint32_t blocks) const {
        std::string content;
        for (uint32_t b = 0; b < blocks; ++b) {
            std::string block(kBlock, static_cast<char>(b & 0xFF));
            std::memcpy(block.data(), &b, sizeof b);
            content += block;
        }
        dir_.writeFile(name, content);
        return dir_.path() + "/" + name;
    }
    // The block numbers found at the start of each of `count` blocks at `pages`, or a note of
    // the first block whose body does not match its number.
    static std::vector<uint32_t> numbersOf(const uint8_t* pages, uint32_t count) {
        std::vector<uint32_t> numbers;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* block = pages + size_t(i) * kBlock;
            uint32_t number = 0;
            std::memcpy(&number, block, sizeof number);
            if (block[kBlock - 1] != static_cast<uint8_t>(number & 0xFF))
                number = UINT32_MAX;
            numbers.push_back(number);
        }
        return numbers;
    }
    static std::vector<uint32_t> range(uint32_t first, uint32_t count) {
        std::vector<uint32_t> out;
        for (uint32_t i = first; i < first + count; ++i)
            out.push_back(i);
        return out;
    }

    TempDir dir_;
    bool saved_ = true;
};

// A sequential scan gets every block once and in order, whatever the size of the file next to
// the group and the depth; the buffers are aligned and followed by zero bytes.
TEST_P(GroupReaderTest, SequentialScanReadsEveryBlockInOrder) {
    const uint32_t sizes[] = {1, kGroupBlocks, kGroupBlocks + 1, 7 * kGroupBlocks + 3};
    for (const uint32_t blocks : sizes) {
        SCOPED_TRACE(std::to_string(blocks) + " blocks");
        const std::string path = writeNumbered("rel" + std::to_string(blocks), blocks);
        GroupReader reader(kGroupBytes, kDepth);
        DataFile f;
        f.open(path, kBlock, true, true);
        std::vector<uint32_t> seen;
        for (uint32_t first = 0; first < f.blockCount();) {
            const auto want =
                static_cast<uint16_t>(std::min<uint32_t>(kGroupBlocks, blocks - first));
            const uint8_t* pages = nullptr;
            ASSERT_EQ(reader.read(f, first, want, pages), want);
            ASSERT_NE(pages, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(pages) % 4096, 0u);
            for (size_t i = 0; i < 64; ++i)
                ASSERT_EQ(pages[kGroupBytes + i], 0) << "byte " << i << " behind the group";
            const std::vector<uint32_t> numbers = numbersOf(pages, want);
            seen.insert(seen.end(), numbers.begin(), numbers.end());
            first += want;
        }
        reader.drain();
        EXPECT_EQ(seen, range(0, blocks));
        // Only a file of more than one group is worth a ring; off, there never is one.
        const bool ring = GetParam() && f.direct() && blocks > kGroupBlocks && ringAvailable();
        EXPECT_EQ(reader.async(), ring);
    }
}

// Where the scan does not go on where the reads ahead went (the one-block retry after a
// failed group, a jump, another file), what was read ahead is dropped and the blocks asked
// for come back.
TEST_P(GroupReaderTest, ScanThatLeavesTheReadAheadGetsTheBlocksItAsksFor) {
    const std::string a = writeNumbered("a", 6 * kGroupBlocks);
    const std::string b = writeNumbered("b", 3 * kGroupBlocks);
    DataFile fa, fb;
    fa.open(a, kBlock, true, true);
    fb.open(b, kBlock, true, true);
    struct Step {
        DataFile* file;
        uint32_t first;
        uint16_t count;
    };
    const Step steps[] = {
        {&fa, 0, kGroupBlocks}, {&fa, 0, 1},  {&fa, 1, kGroupBlocks}, {&fa, 13, 2},
        {&fa, 3, kGroupBlocks}, {&fb, 0, 1},  {&fb, 1, kGroupBlocks}, {&fa, 20, kGroupBlocks},
        {&fa, 0, kGroupBlocks}, {&fb, 11, 1},
    };
    GroupReader reader(kGroupBytes, kDepth);
    for (const Step& step : steps) {
        SCOPED_TRACE((step.file == &fa ? "a " : "b ") + std::to_string(step.first));
        const uint8_t* pages = nullptr;
        ASSERT_EQ(reader.read(*step.file, step.first, step.count, pages), step.count);
        EXPECT_EQ(numbersOf(pages, step.count), range(step.first, step.count));
    }
    reader.drain();
}

// A file cut after it was opened: the read that comes back short and the reads beyond the new
// end give what DataFile::readBlocks gives, the whole blocks that are there.
TEST_P(GroupReaderTest, FileCutAfterOpenGivesTheWholeBlocksLeft) {
    const std::string path = writeNumbered("rel", 3 * kGroupBlocks);
    DataFile f;
    f.open(path, kBlock, true, true);
    fs::resize_file(path, (kGroupBlocks + 1) * kBlock + 10);
    GroupReader reader(kGroupBytes, kDepth);
    const std::pair<uint32_t, uint32_t> expected[] = {
        {0, kGroupBlocks}, {kGroupBlocks, 1}, {kGroupBlocks + 1, 0}, {2 * kGroupBlocks, 0}};
    for (const auto& [first, blocks] : expected) {
        SCOPED_TRACE(first);
        const uint8_t* pages = nullptr;
        ASSERT_EQ(reader.read(f, first, kGroupBlocks, pages), blocks);
        EXPECT_EQ(numbersOf(pages, blocks), range(first, blocks));
    }
}

// A read that fails throws what DataFile::readBlocks throws, read ahead or not, and the reader
// goes on with the next file.
TEST_P(GroupReaderTest, FailedReadThrowsTheFilesError) {
    const std::string path = writeNumbered("rel", 3 * kGroupBlocks);
    DataFile f;
    f.open(path, kBlock, true, true);
    // The file's descriptor now reads a directory: every read of it fails with EISDIR.
    const int directory = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_NE(directory, -1);
    ASSERT_NE(::dup2(directory, f.fd()), -1);
    ::close(directory);
    GroupReader reader(kGroupBytes, kDepth);
    for (const uint16_t count : {kGroupBlocks, uint16_t{1}}) {
        const uint8_t* pages = nullptr;
        try {
            reader.read(f, 0, count, pages);
            ADD_FAILURE() << "no error for " << count << " blocks";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "[read mblock] error reading block from file " + path +
                                                 " (block#0), expected " +
                                                 std::to_string(count * kBlock) +
                                                 " bytes, OS error: Is a directory");
        }
    }
    const std::string other = writeNumbered("other", 2 * kGroupBlocks);
    DataFile g;
    g.open(other, kBlock, true, true);
    const uint8_t* pages = nullptr;
    ASSERT_EQ(reader.read(g, 0, kGroupBlocks, pages), kGroupBlocks);
    EXPECT_EQ(numbersOf(pages, kGroupBlocks), range(0, kGroupBlocks));
}

INSTANTIATE_TEST_SUITE_P(Reads, GroupReaderTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ReadAhead" : "Synchronous";
                         });

}  // namespace
}  // namespace vorn::test
