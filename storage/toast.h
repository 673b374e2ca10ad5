#pragma once

// TOAST values: the chunk index of a TOAST relation, built once per table unload by one scan
// of the relation, and the fetch that joins a value's chunks.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/table.h"
#include "storage/value_buffer.h"

namespace vorn {

class CommitLog;
class DataFile;

// Scans the whole TOAST relation and fills toast.chunkIndex (sorted by value id, then chunk
// number) and toast.directory. Segments that cannot be opened, unreadable blocks and skipped
// pages are counted in `damage` (may be null) and logged. Chunk tuples are taken by the rule
// of the table's own tuples, with `commitLog` (may be null) where the hint bits leave it open.
void buildToastIndex(PgToastTable& toast, UnloadDamage* damage, CommitLog* commitLog = nullptr);

// Fetches values of one TOAST relation during one table unload. Keeps each segment file open
// for the whole unload and reads a block once for all the chunks it holds; the blocks a
// value's chunks span are read together, up to 1 MiB at a time.
class ToastFetcher {
  public:
    explicit ToastFetcher(PgToastTable& toast);
    ~ToastFetcher();
    ToastFetcher(const ToastFetcher&) = delete;
    ToastFetcher& operator=(const ToastFetcher&) = delete;

    // Joins the chunks of `valueId` in chunk order into `out`; kToastMissing unless they add
    // up to exactly `expectedSize` bytes.
    ValueStatus readToastValue(uint32_t valueId, uint32_t expectedSize, std::string& out);

  private:
    struct Segment {
        uint32_t number = 0;
        std::unique_ptr<DataFile> file;  // not open: the open failed and is not retried
    };
    DataFile* segmentFile(uint32_t segment);
    // The page of `blockNumber` in `segment` when the read window holds it, else null.
    const uint8_t* cachedPage(uint32_t segment, uint32_t blockNumber) const;
    // Reads `count` blocks from `blockNumber` on into the window (one block when that fails);
    // returns the first page, or null when it cannot be read.
    const uint8_t* loadPages(uint32_t segment, uint32_t blockNumber, uint32_t count);

    PgToastTable& toast_;
    uint16_t blockSize_;
    uint32_t windowBlocks_;          // blocks per read: the chunks of a value lie together
    std::vector<Segment> segments_;  // sorted by segment number, opened on demand
    std::unique_ptr<uint8_t[]> bufferStorage_;
    uint8_t* buffer_ = nullptr;  // windowBlocks_ blocks, 4096-aligned, allocated on first use
    int64_t cachedSegment_ = -1;
    uint32_t cachedFirst_ = 0;
    uint32_t cachedCount_ = 0;
};

}  // namespace vorn
