#include "storage/data_file.h"

#include <fcntl.h>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <unordered_set>

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

}  // namespace vorn
