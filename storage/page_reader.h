#pragma once

// The page readers: heap pages (layout versions 4 and 6) and U pages (7 and 9), each with a
// tuple reader for table pages and a chunk lister for TOAST pages. A reader is built once
// per relation scan and handed each page in turn with setBuffer; it decodes in place and
// never throws for bad data: a rejected page yields nothing, a rejected tuple no row, an
// unreadable value NULL, and the damage is reported through pageReport().

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/column_batch.h"
#include "storage/toast_chunk.h"
#include "storage/value_buffer.h"

namespace vorn {

class CommitLog;
class ToastFetcher;

// What one page yielded besides its rows; reset by every setBuffer.
struct PageReport {
    bool rejected = false;         // the header failed a check (a new, all-zero page does not)
    bool empty = false;            // a new, all-zero page: left by an extension, no damage
    const char* reason = nullptr;  // why the page or the first bad tuple was rejected
    uint32_t reasonItem = 0;  // the line pointer (from 1) that `reason` is about, 0 for the page
    uint32_t tuplesRejected = 0;
    uint32_t valuesUnreadable = 0;
    uint32_t toastValuesMissing = 0;
    // Tuples whose inserter or deleter the commit log could not decide: the hint-bit rule
    // was applied (see TupleVisibility).
    uint32_t tuplesUndecided = 0;
    // Tuples of transactions the commit log records as never ended, in a data directory the
    // server did not shut down cleanly: taken as rolled back, but a commit may be in the WAL.
    uint32_t tuplesInDoubt = 0;
    // Tuples deleted by a multixact that pg_multixact could not resolve: taken as deleted.
    uint32_t multixactsUnresolved = 0;
};

class Block {
  public:
    virtual ~Block() = default;
    // Throws BlockExcept "block buffer is NULL" and "block size [%u] must between %u and %u";
    // otherwise keeps the page and runs loadPage.
    void setBuffer(const uint8_t* page, uint16_t blockSize);
    virtual void loadPage() = 0;

    uint32_t itemCount() const { return itemCount_; }
    const PageReport& pageReport() const { return report_; }

  protected:
    const uint8_t* page_ = nullptr;
    uint16_t blockSize_ = 0;
    uint32_t itemCount_ = 0;
    PageReport report_;
    // The text report_.reason points at, with the numbers of what failed; valid until the
    // next setBuffer.
    char reasonText_[128] = {};
};

// Reads the tuples of heap pages into a ColumnBatch. Visibility is decided by the hint bits
// and, where they leave it open, by `commitLog` (null: the hint-bit rule, counted as
// undecided).
class TableBlock : public Block {
  public:
    TableBlock(const ColumnLayout& columns, ToastFetcher* toast, CommitLog* commitLog = nullptr);
    ~TableBlock() override;
    void loadPage() override;

    // Decodes taken tuples starting at line pointer `nextItem` (0-based) into rows 0, 1, ...
    // until the items end, the batch holds kBatchRows rows or its values fetched from TOAST
    // or decompressed reach batchValueLimit bytes; advances `nextItem`. A page of more rows
    // than one batch holds is read in several calls.
    uint32_t readTuples(ColumnBatch& batch, uint32_t& nextItem);
    // Bytes of decompressed and TOAST values stored by the last readTuples.
    uint64_t batchValueBytes() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Lists the chunks of a heap page of a TOAST relation, with the visibility rule of
// TableBlock.
class ToastBlock : public Block {
  public:
    explicit ToastBlock(CommitLog* commitLog = nullptr);
    ~ToastBlock() override;
    void loadPage() override;
    // Empties `chunks`, then appends one entry per taken chunk tuple; returns the count.
    uint32_t collectChunks(std::vector<ToastChunkRef>& chunks);

  private:
    std::vector<uint32_t> linePointers_;
    CommitLog* commitLog_;
};

class UTableBlock : public Block {
  public:
    UTableBlock(const ColumnLayout& columns, ToastFetcher* toast);
    ~UTableBlock() override;
    void loadPage() override;
    uint32_t readTuples(ColumnBatch& batch, uint32_t& nextItem);
    uint64_t batchValueBytes() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class UToastBlock : public Block {
  public:
    UToastBlock();
    ~UToastBlock() override;
    void loadPage() override;
    uint32_t collectChunks(std::vector<ToastChunkRef>& chunks);

  private:
    std::vector<uint32_t> linePointers_;
};

// The layout-version byte of a page (low byte of pd_pagesize_version at offset 18).
inline uint8_t pageLayoutVersion(const uint8_t* page) {
    return page[18];
}

}  // namespace vorn
