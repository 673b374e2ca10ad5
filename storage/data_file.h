#pragma once

#include <cstdint>
#include <memory>
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
    // The descriptor, for reads submitted by a GroupReader; it changes when a refused direct
    // read makes the file reopen buffered.
    int fd() const { return file_.fd(); }

  private:
    File file_;
    std::string name_;
    uint16_t blockSize_ = 0;
    uint32_t blockCount_ = 0;
    bool direct_ = false;
    std::mutex mutex_;
};

// Process-wide switch of the read-ahead below, on by default. Off, every group is read with a
// synchronous pread, as where the kernel refuses io_uring; tests run scans both ways.
void setReadAhead(bool enabled);
bool readAheadEnabled();

// Reads consecutive groups of blocks of a relation file into a ring of buffers. Through
// io_uring the groups that follow the one asked for are read while the caller decodes it, so
// a sequential scan waits for the disk only where it decodes faster than the disk reads; no
// thread is started for it. Each group is read synchronously instead when io_uring is
// unavailable or switched off, when the file fits in one group, and when the file reads
// buffered (the kernel's own read-ahead overlaps those reads already).
//
// Whatever the path, a group read in flight that fails or comes back short is repeated
// synchronously by DataFile::readBlocks, and its count or its exception is what the caller
// gets: errors, short files and the fallback to buffered reads look the same either way.
// Every buffer is 4096-aligned, holds a group and is followed by 4096 zero bytes that no read
// writes.
class GroupReader {
  public:
    // `groupBytes`: the most one read asks for, a multiple of the block size; `depth`: the
    // buffers, one being decoded and the others in flight.
    GroupReader(uint32_t groupBytes, uint32_t depth);
    ~GroupReader();  // waits for the reads in flight
    GroupReader(const GroupReader&) = delete;
    GroupReader& operator=(const GroupReader&) = delete;

    // Blocks [first, first + count) of `file`, count at most a group: the whole blocks read
    // (fewer at the end of the file), at `pages` until the next call. Throws as readBlocks.
    uint32_t read(DataFile& file, uint32_t first, uint16_t count, const uint8_t*& pages);
    // Waits for the reads in flight; before the file they read from is closed.
    void drain();
    // Whether reads are in flight through io_uring (after the first read that asked for it).
    bool async() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vorn
