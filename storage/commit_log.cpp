#include "storage/commit_log.h"

#include <fmt/format.h>

#include <utility>
#include <vector>

#include "storage/byte_reader.h"

namespace vorn {

namespace {

constexpr uint32_t kFirstNormalXid = 3;  // 1 bootstrap, 2 frozen: both committed
constexpr uint32_t kStatusMask = 0x3;
constexpr uint32_t kXactsPerByte = 4;
constexpr uint32_t kSubtransEntrySize = 4;
// A sub-committed transaction's parent may itself be a subtransaction; a chain longer than
// the nesting PostgreSQL allows in practice is damage, not an answer.
constexpr int kMaxParentDepth = 64;

}  // namespace

CommitLog::CommitLog(std::string dataDirectory, ServerVersion version, uint32_t blockSize)
    : dataDirectory_(std::move(dataDirectory)), version_(version), blockSize_(blockSize) {}

void CommitLog::open() {
    opened_ = true;
    control_ = readControlFile(dataDirectory_, version_);
    cleanShutdown_ = control_ && control_->cleanShutdown;
    if (blockSize_ < 1024 || (blockSize_ & (blockSize_ - 1)) != 0) {
        problem_ = "block size " + std::to_string(blockSize_) + " is not a page size";
        return;
    }
    const std::string xactDir = dataDirectory_ + (version_.major >= 10 ? "/pg_xact" : "/pg_clog");
    xact_ = std::make_unique<SlruFolder>();
    if (!xact_->open(xactDir, blockSize_, blockSize_ * kXactsPerByte, problem_)) {
        xact_.reset();
        return;
    }
    available_ = true;
    subtrans_ = std::make_unique<SlruFolder>();
    std::string subtransProblem;
    if (!subtrans_->open(dataDirectory_ + "/pg_subtrans", blockSize_,
                         blockSize_ / kSubtransEntrySize, subtransProblem))
        subtrans_.reset();  // only needed for a sub-committed xid; said when one is met
}

MultiXactLog::Answer CommitLog::multixactUpdater(uint32_t multi, uint32_t& xid) {
    if (!opened_)
        open();
    if (!multixacts_)
        multixacts_ =
            std::make_unique<MultiXactLog>(dataDirectory_, version_, blockSize_, control_);
    return multixacts_->updater(multi, xid);
}

const std::string& CommitLog::multixactProblem() const {
    static const std::string none;
    return multixacts_ ? multixacts_->problem() : none;
}

bool CommitLog::available() {
    if (!opened_)
        open();
    return available_;
}

bool CommitLog::cleanShutdown() {
    if (!opened_)
        open();
    return cleanShutdown_;
}

CommitLog::~CommitLog() = default;

XactStatus CommitLog::status(uint32_t xid) {
    if (xid < kFirstNormalXid)
        return xid == 0 ? XactStatus::kAborted : XactStatus::kCommitted;
    if (!available())
        return XactStatus::kUnknown;
    if (xid == lastXid_)
        return lastStatus_;
    XactStatus result = XactStatus::kUnknown;
    // A sub-committed subtransaction shares the fate of its top-level transaction, which
    // pg_subtrans names (through its parents, when subtransactions nest).
    uint32_t current = xid;
    for (int depth = 0; depth < kMaxParentDepth; ++depth) {
        bool subCommitted = false;
        result = recordedStatus(current, subCommitted);
        if (!subCommitted)
            break;
        result = XactStatus::kUnknown;
        const uint32_t parent = parentOf(current);
        if (parent < kFirstNormalXid || parent == current) {
            if (subtrans_)
                problem_ = "no parent recorded for sub-committed xid " + std::to_string(current);
            break;
        }
        current = parent;
    }
    lastXid_ = xid;
    lastStatus_ = result;
    return result;
}

XactStatus CommitLog::recordedStatus(uint32_t xid, bool& subCommitted) {
    subCommitted = false;
    const uint32_t xidsPerPage = xact_->entriesPerPage();
    const uint32_t pageNumber = xid / xidsPerPage;
    bool failed = false;
    const std::vector<uint8_t>* page = xact_->page(pageNumber, problem_, failed);
    if (failed)
        return XactStatus::kUnknown;
    if (page == nullptr)
        return statusWithoutPage(xid, pageNumber);
    const uint32_t index = xid % xidsPerPage;
    switch (((*page)[index / kXactsPerByte] >> (2 * (index % kXactsPerByte))) & kStatusMask) {
        case 0:
            return XactStatus::kInProgress;
        case 1:
            return XactStatus::kCommitted;
        case 2:
            return XactStatus::kAborted;
        default:
            subCommitted = true;
            return XactStatus::kUnknown;
    }
}

XactStatus CommitLog::statusWithoutPage(uint32_t xid, uint32_t pageNumber) {
    const uint32_t segment = pageNumber / SlruFolder::kPagesPerSegment;
    const bool segmentPresent = xact_->hasSegment(segment);
    if (!control_) {
        if (!segmentPresent && xact_->looksTruncated(segment))
            return XactStatus::kCommitted;
        return XactStatus::kInProgress;  // past the newest page: nothing recorded yet
    }
    // The server removes only whole segments before the one of its oldest xid.
    const uint32_t xidsPerSegment = xact_->entriesPerPage() * SlruFolder::kPagesPerSegment;
    if (!segmentPresent && circularPrecedes(xid, control_->oldestXid) &&
        segment != control_->oldestXid / xidsPerSegment)
        return XactStatus::kCommitted;
    // Given out by the last checkpoint, so its page was written then: the file lost it.
    if (circularPrecedes(xid, control_->nextXid)) {
        const std::string path = xact_->segmentPath(segment);
        problem_ =
            segmentPresent
                ? fmt::format(
                      "\"{}\" ends before the page of xid {}, which pg_control's next xid {} "
                      "says was given out",
                      path, xid, control_->nextXid)
                : fmt::format(
                      "\"{}\" is missing, though it holds xid {} and the commit log is "
                      "kept from pg_control's oldest xid {} on: the segment was lost, not "
                      "truncated",
                      path, xid, control_->oldestXid);
        return XactStatus::kUnknown;
    }
    return XactStatus::kInProgress;  // newer than the last checkpoint: nothing recorded yet
}

uint32_t CommitLog::parentOf(uint32_t xid) {
    if (!subtrans_) {
        problem_ = "xid " + std::to_string(xid) + " is sub-committed and pg_subtrans is missing";
        return 0;
    }
    const uint32_t perPage = subtrans_->entriesPerPage();
    bool failed = false;
    const std::vector<uint8_t>* page = subtrans_->page(xid / perPage, problem_, failed);
    return page != nullptr ? loadLE<uint32_t>(page->data() + (xid % perPage) * kSubtransEntrySize)
                           : 0;
}

}  // namespace vorn
