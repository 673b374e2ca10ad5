#include "storage/data_file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <liburing.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "base/file_logger.h"

namespace vorn {
namespace {

int openFlags(bool readOnly, bool directIo) {
    return (readOnly ? O_RDONLY : O_RDWR) | (directIo ? O_DIRECT : 0);
}

bool isInvalidArgument(const std::system_error& e) {
    return e.code() == std::errc::invalid_argument;
}

// Each file that cannot be read directly is reported once per process: a TOAST fetch opens
// its own DataFile per value, and a line per fetch would bury the log.
void reportBufferedOnce(const std::string& path, const char* what, const char* reason) {
    static std::mutex mutex;
    static std::unordered_set<std::string> reported;
    {
        std::lock_guard lock(mutex);
        if (!reported.insert(path).second)
            return;
    }
    unloadLog().infoFormatted("datafile \"{}\": direct I/O refused by {} ({}), reading it buffered",
                              path, what, reason);
}

// One positioned read. A direct read fails with EINVAL when the block size or the buffer does
// not meet the device's sector alignment (2 KiB blocks on 4 KiB-sector disks): then the file
// drops O_DIRECT (reopened where fcntl refuses that) and the read is repeated once.
uint32_t preadFallingBack(File& file, const std::string& name, bool& direct, void* buffer,
                          uint32_t bytes, uint64_t offset) {
    try {
        return file.pread(buffer, bytes, offset);
    } catch (const std::system_error& e) {
        if (!direct || !isInvalidArgument(e))
            throw;
        const int flags = ::fcntl(file.fd(), F_GETFL);
        if (flags == -1)
            throw;
        if (::fcntl(file.fd(), F_SETFL, flags & ~O_DIRECT) == -1)
            file.open(name, flags & O_ACCMODE);
        direct = false;
        reportBufferedOnce(name, "read", e.what());
        return file.pread(buffer, bytes, offset);
    }
}

}  // namespace

DataFile::~DataFile() {
    try {
        file_.close();
    } catch (const std::exception&) {
        // Nothing was written; a failed close loses nothing.
    }
}

void DataFile::open(const std::string& path, uint16_t blockSize, bool readOnly, bool directIo) {
    name_ = path;
    bool direct = directIo;
    try {
        try {
            file_.open(path, openFlags(readOnly, direct));
        } catch (const std::system_error& e) {
            // tmpfs on older kernels and some network file systems refuse O_DIRECT.
            if (!direct || !isInvalidArgument(e))
                throw;
            direct = false;
            file_.open(path, openFlags(readOnly, false));
            reportBufferedOnce(path, "open", e.what());
        }
    } catch (const std::exception& e) {
        throw std::runtime_error(
            fmt::format("unable to open datafile \"{}\", OS error: {}", path, e.what()));
    }
    direct_ = direct;
    blockSize_ = blockSize;
    blockCount_ = 0;

    uint64_t size = 0;
    try {
        size = file_.size();
    } catch (const std::exception&) {
        return;
    }
    if (size >= 1 && blockSize != 0)
        blockCount_ = static_cast<uint32_t>(std::min<uint64_t>(size / blockSize, UINT32_MAX));
}

void DataFile::close() {
    blockCount_ = 0;
    file_.close();
}

uint32_t DataFile::readBlock(uint32_t blockNumber, void* buffer) {
    std::lock_guard lock(mutex_);
    if (blockNumber >= blockCount_)
        throw std::runtime_error(fmt::format(
            "[read block] error reading block from file {} (block#{}), exceed file size {} "
            "blocks.",
            name_, blockNumber, blockCount_));
    uint32_t got = 0;
    try {
        got = preadFallingBack(file_, name_, direct_, buffer, blockSize_,
                               uint64_t{blockNumber} * blockSize_);
    } catch (const std::exception& e) {
        throw std::runtime_error(fmt::format(
            "[read block] error reading block from file {} (block#{}), expected {} bytes, OS "
            "error: {}",
            name_, blockNumber, blockSize_, e.what()));
    }
    if (got < blockSize_)
        throw std::runtime_error(fmt::format(
            "[read block] error reading block from file {} (block#{}), expected {} bytes, read "
            "{} bytes.",
            name_, blockNumber, blockSize_, got));
    return blockSize_;
}

uint32_t DataFile::readBlocks(uint32_t firstBlock, uint16_t count, void* buffer) {
    std::lock_guard lock(mutex_);
    if (firstBlock >= blockCount_)
        throw std::runtime_error(fmt::format(
            "[read mblock] error reading block from file {} (block#{}), exceed file size {} "
            "blocks.",
            name_, firstBlock, blockCount_));
    const uint32_t size = uint32_t{blockSize_} * count;
    uint32_t got = 0;
    try {
        got = preadFallingBack(file_, name_, direct_, buffer, size,
                               uint64_t{firstBlock} * blockSize_);
    } catch (const std::exception& e) {
        throw std::runtime_error(fmt::format(
            "[read mblock] error reading block from file {} (block#{}), expected {} bytes, OS "
            "error: {}",
            name_, firstBlock, size, e.what()));
    }
    if (got != size)
        return blockSize_ == 0 ? 0 : got / blockSize_;
    return count;
}

// ---- GroupReader -------------------------------------------------------------------------------

namespace {

std::atomic<bool> readAheadOn{true};

constexpr size_t kBufferAlign = 4096;  // what direct I/O asks of a buffer
// Zero bytes behind each buffer: the value readers may look a few bytes past a tuple that
// ends at the group's last byte.
constexpr size_t kBufferGap = 4096;
constexpr uint32_t kNoSlot = UINT32_MAX;

}  // namespace

void setReadAhead(bool enabled) {
    readAheadOn.store(enabled, std::memory_order_relaxed);
}

bool readAheadEnabled() {
    return readAheadOn.load(std::memory_order_relaxed);
}

struct GroupReader::Impl {
    enum class State : uint8_t { kFree, kInFlight, kDone };
    enum class Ring : uint8_t { kUntried, kReady, kUnavailable };

    struct Slot {
        std::unique_ptr<uint8_t[]> memory;
        uint8_t* pages = nullptr;  // aligned, inside memory
        const DataFile* file = nullptr;
        uint32_t first = 0;
        uint16_t count = 0;
        State state = State::kFree;
        int32_t result = 0;  // bytes read, or -errno
    };

    Impl(uint32_t groupBytes, uint32_t depth)
        : groupBytes(groupBytes), slots(std::max<uint32_t>(depth, 1)) {}
    ~Impl() {
        drain();
        if (ringState != Ring::kUntried && ringInitialised)
            io_uring_queue_exit(&ring);
    }

    uint8_t* buffer(Slot& slot) {
        if (slot.pages == nullptr) {
            slot.memory.reset(new uint8_t[groupBytes + kBufferGap + kBufferAlign]());
            const auto address = reinterpret_cast<uintptr_t>(slot.memory.get());
            slot.pages = slot.memory.get() + (kBufferAlign - address % kBufferAlign) % kBufferAlign;
        }
        return slot.pages;
    }

    // io_uring for this read: switched on, a direct file, and a ring (set up the first time a
    // file has more than one group to read).
    bool useRing(const DataFile& file, uint32_t first, uint16_t count) {
        if (!readAheadEnabled() || !file.direct())
            return false;
        if (ringState == Ring::kUntried) {
            if (uint64_t{first} + count >= file.blockCount())
                return false;
            // ENOSYS without io_uring in the kernel, EPERM where a sandbox forbids it.
            ringInitialised =
                io_uring_queue_init(static_cast<unsigned>(slots.size()), &ring, 0) == 0;
            ringState = ringInitialised ? Ring::kReady : Ring::kUnavailable;
            if (ringInitialised)
                registerBuffers();
        }
        return ringState == Ring::kReady;
    }

    // Buffers registered with the ring are pinned once rather than at every read. Refused
    // (the locked-memory limit, an old kernel), the reads go to them unregistered.
    void registerBuffers() {
        std::vector<iovec> buffers(slots.size());
        for (size_t i = 0; i < slots.size(); ++i)
            buffers[i] = iovec{buffer(slots[i]), groupBytes};
        fixedBuffers = io_uring_register_buffers(&ring, buffers.data(),
                                                 static_cast<unsigned>(buffers.size())) == 0;
    }

    bool matches(uint32_t index, const DataFile& file, uint32_t first, uint16_t count) const {
        const Slot& slot = slots[index];
        return slot.file == &file && slot.first == first && slot.count == count;
    }

    // Prepares the read of [first, first + count) into a free buffer; false when none is free.
    bool enqueue(DataFile& file, uint32_t first, uint16_t count) {
        for (uint32_t i = 0; i < slots.size(); ++i) {
            Slot& slot = slots[i];
            if (slot.state != State::kFree || i == current)
                continue;
            io_uring_sqe* sqe = io_uring_get_sqe(&ring);
            if (sqe == nullptr)
                return false;
            const uint32_t size = uint32_t{file.blockSize()} * count;
            const uint64_t offset = uint64_t{first} * file.blockSize();
            if (fixedBuffers)
                io_uring_prep_read_fixed(sqe, file.fd(), slot.pages, size, offset,
                                         static_cast<int>(i));
            else
                io_uring_prep_read(sqe, file.fd(), buffer(slot), size, offset);
            sqe->user_data = i;
            slot.file = &file;
            slot.first = first;
            slot.count = count;
            slot.state = State::kInFlight;
            slot.result = 0;
            queue.push_back(i);
            ++unsubmitted;
            return true;
        }
        return false;
    }

    // Queues the groups that follow the last one queued, as far as buffers and the file go.
    void topUp(DataFile& file) {
        const uint32_t blocks = groupBytes / file.blockSize();
        while (!queue.empty() && queue.size() < slots.size()) {
            const Slot& last = slots[queue.back()];
            const uint32_t next = last.first + last.count;
            if (next >= file.blockCount())
                return;
            const auto count = static_cast<uint16_t>(std::min(blocks, file.blockCount() - next));
            if (!enqueue(file, next, count))
                return;
        }
    }

    bool submit() {
        if (unsubmitted == 0)
            return true;
        const int submitted = io_uring_submit(&ring);
        if (submitted != static_cast<int>(unsubmitted)) {
            abandon();
            return false;
        }
        unsubmitted = 0;
        return true;
    }

    // Waits until the read into `index` has completed; false when the ring failed.
    bool waitFor(uint32_t index) {
        while (slots[index].state == State::kInFlight) {
            io_uring_cqe* cqe = nullptr;
            const int rc = io_uring_wait_cqe(&ring, &cqe);
            if (rc == -EINTR)
                continue;
            if (rc < 0 || cqe == nullptr) {
                abandon();
                return false;
            }
            const uint64_t done = cqe->user_data;
            if (done < slots.size() && slots[done].state == State::kInFlight) {
                slots[done].result = cqe->res;
                slots[done].state = State::kDone;
            }
            io_uring_cqe_seen(&ring, cqe);
        }
        return true;
    }

    void drain() {
        for (const uint32_t index : queue) {
            if (!waitFor(index))
                return;  // abandoned: nothing is queued any more
            slots[index].state = State::kFree;
        }
        queue.clear();
    }

    // The ring failed to submit or to complete: the kernel may still write into the buffers of
    // the reads it took, so they are left to it (never freed) and every read from here on is
    // synchronous, into new buffers. Not seen in practice; losing a few MiB beats corruption.
    void abandon() {
        for (Slot& slot : slots) {
            if (slot.state != State::kFree) {
                (void)slot.memory.release();
                slot.pages = nullptr;
            }
            slot.state = State::kFree;
        }
        queue.clear();
        unsubmitted = 0;
        ringState = Ring::kUnavailable;
        fixedBuffers = false;
    }

    const uint32_t groupBytes;
    std::vector<Slot> slots;
    std::vector<uint32_t> queue;  // slots in flight or done, in the order of their blocks
    uint32_t current = kNoSlot;   // the buffer handed out by the last read
    uint32_t unsubmitted = 0;
    Ring ringState = Ring::kUntried;
    bool ringInitialised = false;
    bool fixedBuffers = false;
    io_uring ring{};
};

GroupReader::GroupReader(uint32_t groupBytes, uint32_t depth)
    : impl_(std::make_unique<Impl>(groupBytes, depth)) {}

GroupReader::~GroupReader() = default;

uint32_t GroupReader::read(DataFile& file, uint32_t first, uint16_t count, const uint8_t*& pages) {
    Impl& r = *impl_;
    r.current = kNoSlot;  // what the caller had is free again

    if (r.useRing(file, first, count)) {
        if (r.queue.empty() || !r.matches(r.queue.front(), file, first, count)) {
            // A scan that did not go on where the reads ahead went (a group that failed and
            // was retried block by block, another file): what was read ahead is dropped.
            r.drain();
            r.enqueue(file, first, count);
        }
        r.topUp(file);
        if (!r.queue.empty() && r.submit()) {
            const uint32_t index = r.queue.front();
            if (r.waitFor(index)) {
                r.queue.erase(r.queue.begin());
                Impl::Slot& slot = r.slots[index];
                slot.state = Impl::State::kFree;
                r.current = index;
                pages = slot.pages;
                if (slot.result == static_cast<int32_t>(uint32_t{file.blockSize()} * count))
                    return count;
                // Failed or short: the synchronous read decides, and falls back to buffered
                // reads when the direct one is refused.
                return file.readBlocks(first, count, slot.pages);
            }
        }
        // The ring failed (abandon): on synchronously.
    }

    r.drain();
    Impl::Slot& slot = r.slots[0];
    r.current = 0;
    pages = r.buffer(slot);
    return file.readBlocks(first, count, slot.pages);
}

void GroupReader::drain() {
    impl_->drain();
}

bool GroupReader::async() const {
    return impl_->ringState == Impl::Ring::kReady;
}

}  // namespace vorn
