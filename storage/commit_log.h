#pragma once

// The commit log of a data directory: the outcome of every transaction, two bits per xid, in
// pg_xact/ (pg_clog/ before version 10), and pg_subtrans/, the parent of every
// subtransaction, for the xids the commit log marks sub-committed.
//
// Both are SLRU files: pages of the cluster's block size, 32 pages to a segment file named by
// its number in (at least four) upper-case hex digits.
//
//   pg_xact  page p holds xids p * 4 * block size ...; byte (xid % per page) / 4, bits
//            2 * (xid % 4): 00 in progress, 01 committed, 10 aborted, 11 sub-committed
//   pg_subtrans  page p holds block size / 4 parents, one little-endian uint32 per xid
//
// The server truncates the commit log behind the oldest xid it still needs (pg_control's oldest
// xid): an xid in a segment wholly before it was frozen (or hinted) long ago, so it committed.
// A segment at or after it that is missing was lost: its xids are undecided. An xid from
// pg_control's next xid on had no outcome at the last checkpoint, as if still in progress.
// Without a readable control file, a missing segment closer to the oldest present one than to
// the newest is taken as truncated.
//
// The log also answers for multixacts (pg_multixact, see multixact.h): which member updated a
// row, whose outcome is then asked here like any xid.
//
// A CommitLog belongs to one table unload (one thread); it reads each page once and keeps it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "storage/control_file.h"
#include "storage/multixact.h"
#include "storage/slru.h"
#include "storage/storage_settings.h"

namespace vorn {

enum class XactStatus : uint8_t {
    kInProgress,  // no outcome recorded: the server stopped before the transaction ended
    kCommitted,
    kAborted,
    kUnknown,  // the commit log (or pg_subtrans for a sub-committed xid) cannot say
};

class CommitLog {
  public:
    // The commit log of `dataDirectory` for a server of `version` with pages of `blockSize`
    // bytes, opened at the first question (most tables never ask one). Never throws: a log
    // that is missing or unreadable answers kUnknown, and problem() says why.
    CommitLog(std::string dataDirectory, ServerVersion version, uint32_t blockSize);
    ~CommitLog();

    XactStatus status(uint32_t xid);
    // The member of multixact `multi` that updated or deleted the row (see MultiXactLog);
    // multixactProblem() says why one could not be resolved.
    MultiXactLog::Answer multixactUpdater(uint32_t multi, uint32_t& xid);
    const std::string& multixactProblem() const;

    // Whether the commit log folder was found with at least one segment.
    bool available();
    // Why the log is not available, or what last failed while reading it; "" when nothing.
    const std::string& problem() const { return problem_; }
    // pg_control says the server shut down cleanly: every outcome reached the commit log.
    // Otherwise a transaction that committed after the last checkpoint may still read as
    // in progress here (its commit is only in the WAL).
    bool cleanShutdown();

  private:
    void open();
    XactStatus recordedStatus(uint32_t xid, bool& subCommitted);
    // The outcome of an xid whose page is on no file.
    XactStatus statusWithoutPage(uint32_t xid, uint32_t pageNumber);
    uint32_t parentOf(uint32_t xid);

    std::string dataDirectory_;
    ServerVersion version_;
    uint32_t blockSize_;
    bool opened_ = false;
    std::optional<ControlFile> control_;
    std::unique_ptr<SlruFolder> xact_;
    std::unique_ptr<SlruFolder> subtrans_;
    std::unique_ptr<MultiXactLog> multixacts_;
    bool available_ = false;
    bool cleanShutdown_ = false;
    std::string problem_;
    uint32_t lastXid_ = 0;
    XactStatus lastStatus_ = XactStatus::kUnknown;
};

}  // namespace vorn
