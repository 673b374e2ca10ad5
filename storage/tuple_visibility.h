#pragma once

// Whether a heap tuple is a row of the table as the server would see it after the last
// transaction ended: its inserter committed and its deleter (if any) did not.
//
// The hint bits decide first, as the server's own readers set them: committed, invalid
// (aborted) and frozen on the inserter; committed and invalid on the deleter; lock-only
// deleters never delete. Only where the hints leave a transaction open does the commit log
// decide. An outcome it cannot give (no pg_xact, an unreadable page) falls back on the rule
// the hints alone would give (inserter taken as committed, deleter as committed) and is
// counted as undecided; a transaction recorded as still in progress never ended (the
// server is down) and is taken as rolled back, counted as in doubt when the server did not
// shut down cleanly (its commit may be in the WAL only).
//
// A deleter that is a multixact (several lockers, at most one of which updated or deleted the
// row) is resolved through pg_multixact: its updater's outcome decides as a plain deleter's
// would, and a multixact of lockers alone (always, before 9.3) does not delete. One that
// cannot be resolved keeps the hint rule's answer (deleted) and is counted as such.

#include <cstdint>

#include "storage/byte_reader.h"
#include "storage/commit_log.h"
#include "storage/page_layout.h"
#include "storage/page_reader.h"

namespace vorn {

class TupleVisibility {
  public:
    explicit TupleVisibility(CommitLog* log) : log_(log) {}

    // `committed` is set when the inserter is known to have committed (hinted, frozen,
    // all-visible page, or the commit log).
    bool isRow(const uint8_t* tuple, bool allVisible, PageReport& report, uint8_t& committed) {
        using namespace heap;
        const uint32_t xmin = loadLE<uint32_t>(tuple + kTXmin);
        const uint16_t infomask = loadLE<uint16_t>(tuple + kTInfomask);
        // A speculative insert that was killed (INSERT ... ON CONFLICT) has its xmin set to 0
        // and is no row; only the frozen hint (both xmin bits) would make such a tuple live.
        if (xmin == 0 && (infomask & kXminFrozen) != kXminFrozen)
            return false;
        committed = 1;
        if (allVisible)
            return true;
        switch (infomask & kXminFrozen) {
            case kXminInvalid:  // inserter aborted
                return false;
            case 0:
                switch (outcome(xmin, report)) {
                    case XactStatus::kCommitted:
                        break;
                    case XactStatus::kUnknown:
                        committed = 0;
                        break;
                    default:  // aborted, or never ended
                        return false;
                }
                break;
            default:  // hinted committed, or frozen
                break;
        }
        const uint32_t xmax = loadLE<uint32_t>(tuple + kTXmax);
        if ((infomask & kXmaxInvalid) || xmax == 0)
            return true;
        // An xmax that only locks the row (FOR UPDATE, FOR KEY SHARE from foreign-key checks)
        // does not delete it; old servers marked an exclusive lock without the lock-only bit.
        const bool lockOnly =
            (infomask & kXmaxLockOnly) || (infomask & (kXmaxIsMulti | kXmaxExclusiveLock |
                                                       kXmaxKeyShareLock)) == kXmaxExclusiveLock;
        if (lockOnly)
            return true;
        uint32_t deleter = xmax;
        if (infomask & kXmaxIsMulti) {
            switch (log_ != nullptr ? log_->multixactUpdater(xmax, deleter)
                                    : MultiXactLog::Answer::kUnknown) {
                case MultiXactLog::Answer::kLockersOnly:
                    return true;
                case MultiXactLog::Answer::kUnknown:
                    ++report.multixactsUnresolved;
                    return false;
                case MultiXactLog::Answer::kUpdater:
                    break;
            }
        } else if (infomask & kXmaxCommitted) {
            return false;
        }
        switch (outcome(deleter, report)) {
            case XactStatus::kAborted:
            case XactStatus::kInProgress:
                return true;
            default:  // committed, or unknown: deleted, as the hints alone would say
                return false;
        }
    }

  private:
    XactStatus outcome(uint32_t xid, PageReport& report) {
        const XactStatus status = log_ != nullptr ? log_->status(xid) : XactStatus::kUnknown;
        if (status == XactStatus::kUnknown)
            ++report.tuplesUndecided;
        else if (status == XactStatus::kInProgress && !log_->cleanShutdown())
            ++report.tuplesInDoubt;
        return status;
    }

    CommitLog* log_;
};

}  // namespace vorn
