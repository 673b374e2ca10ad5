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
// The server truncates the commit log behind the oldest xid it still needs: an xid older than
// the oldest segment was frozen (or hinted) long ago, so it committed. An xid past the newest
// page has no recorded outcome, as if still in progress.
//
// A CommitLog belongs to one table unload (one thread); it reads each page once and keeps it.

#include <cstdint>
#include <memory>
#include <string>

namespace vorn {

enum class XactStatus : uint8_t {
    kInProgress,  // no outcome recorded: the server stopped before the transaction ended
    kCommitted,
    kAborted,
    kUnknown,  // the commit log (or pg_subtrans for a sub-committed xid) cannot say
};

class CommitLog {
  public:
    // The commit log of `dataDirectory` for a server of major version `serverMajor` with
    // pages of `blockSize` bytes, opened at the first question (most tables never ask one).
    // Never throws: a log that is missing or unreadable answers kUnknown, and problem()
    // says why.
    CommitLog(std::string dataDirectory, int serverMajor, uint32_t blockSize);
    ~CommitLog();

    XactStatus status(uint32_t xid);

    // Whether the commit log folder was found with at least one segment.
    bool available();
    // Why the log is not available, or what last failed while reading it; "" when nothing.
    const std::string& problem() const { return problem_; }
    // pg_control says the server shut down cleanly: every outcome reached the commit log.
    // Otherwise a transaction that committed after the last checkpoint may still read as
    // in progress here (its commit is only in the WAL).
    bool cleanShutdown();

  private:
    struct Slru;
    void open();
    XactStatus recordedStatus(uint32_t xid, bool& subCommitted);
    uint32_t parentOf(uint32_t xid);

    std::string dataDirectory_;
    int serverMajor_;
    uint32_t blockSize_;
    bool opened_ = false;
    std::unique_ptr<Slru> xact_;
    std::unique_ptr<Slru> subtrans_;
    bool available_ = false;
    bool cleanShutdown_ = false;
    std::string problem_;
    uint32_t lastXid_ = 0;
    XactStatus lastStatus_ = XactStatus::kUnknown;
};

// The state word of global/pg_control (the same offset in every version from 9.0 on): 1 and
// 2 are the two shut-down states. False when the file cannot be read.
bool controlFileSaysShutDown(const std::string& dataDirectory);

}  // namespace vorn
