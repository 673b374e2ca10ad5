#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "storage/file.h"

namespace vorn {

// One relation segment file, read block by block. Reads are positioned and serialised by the
// file's own mutex. Opened with O_DIRECT so a scan does not fill the page cache; where the
// file system refuses direct I/O (tmpfs, some network file systems) or a direct read fails
// with EINVAL (2 KiB blocks on 4 KiB-sector disks), the file falls back to buffered reads and
// says so in the log. Buffers must be 4096-aligned and hold count * block size bytes.
class DataFile {
  public:
    DataFile() = default;
    ~DataFile();

    void open(const std::string& path, uint16_t blockSize, bool readOnly, bool directIo);
    void close();
    bool isOpen() const { return file_.isOpen(); }

    uint32_t readBlock(uint32_t blockNumber, void* buffer);
    // Reads `count` consecutive blocks in one call; returns the whole blocks read (fewer at
    // the end of the file).
    uint32_t readBlocks(uint32_t firstBlock, uint16_t count, void* buffer);

    const std::string& name() const { return name_; }
    uint16_t blockSize() const { return blockSize_; }
    uint32_t blockCount() const { return blockCount_; }
    bool direct() const { return direct_; }

  private:
    File file_;
    std::string name_;
    uint16_t blockSize_ = 0;
    uint32_t blockCount_ = 0;
    bool direct_ = false;
    std::mutex mutex_;
};

}  // namespace vorn
