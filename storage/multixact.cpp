#include "storage/multixact.h"

#include <fmt/format.h>

#include <utility>
#include <vector>

#include "storage/byte_reader.h"

namespace vorn {

namespace {

constexpr uint32_t kOffsetSize = 4;
constexpr uint32_t kMembersPerGroup = 4;
constexpr uint32_t kGroupSize = kMembersPerGroup + kMembersPerGroup * 4;  // 20
constexpr uint8_t kStatusNoKeyUpdate = 4;
constexpr uint8_t kStatusUpdate = 5;
// A multixact holds the transactions that locked one row at once; more members than this is
// damage, not an answer, and would only make the reader walk garbage.
constexpr uint32_t kMaxMembers = 1u << 16;
constexpr uint32_t kMaxAnswersKept = 1u << 16;

bool hasMultixactUpdaters(ServerVersion version) {
    return version.major > 9 || (version.major == 9 && version.minor >= 3);
}

// Multixact 0 is invalid: the one after 2^32 - 1 is 1.
uint32_t nextMultixact(uint32_t multi) {
    return multi == UINT32_MAX ? 1 : multi + 1;
}

}  // namespace

MultiXactLog::MultiXactLog(std::string dataDirectory, ServerVersion version, uint32_t blockSize,
                           std::optional<ControlFile> control)
    : dataDirectory_(std::move(dataDirectory)),
      version_(version),
      blockSize_(blockSize),
      control_(std::move(control)) {}

bool MultiXactLog::open() {
    opened_ = true;
    if (blockSize_ < kGroupSize * 2 || (blockSize_ & (blockSize_ - 1)) != 0) {
        problem_ = fmt::format("block size {} is not a page size", blockSize_);
        return false;
    }
    const std::string dir = dataDirectory_ + "/pg_multixact";
    available_ = offsets_.open(dir + "/offsets", blockSize_, blockSize_ / kOffsetSize, problem_) &&
                 members_.open(dir + "/members", blockSize_,
                               blockSize_ / kGroupSize * kMembersPerGroup, problem_);
    return available_;
}

MultiXactLog::Answer MultiXactLog::unknown(std::string why) {
    problem_ = std::move(why);
    return Answer::kUnknown;
}

MultiXactLog::Answer MultiXactLog::updater(uint32_t multi, uint32_t& xid) {
    xid = 0;
    if (!hasMultixactUpdaters(version_))
        return Answer::kLockersOnly;
    if (const auto found = answers_.find(multi); found != answers_.end()) {
        xid = found->second.xid;
        return found->second.answer;
    }
    if (!opened_)
        open();
    const Answer answer =
        available_ ? resolve(multi, xid) : Answer::kUnknown;  // problem_ says why it is not
    if (answers_.size() < kMaxAnswersKept)
        answers_.emplace(multi, Cached{answer, xid});
    return answer;
}

bool MultiXactLog::memberStart(uint32_t multi, uint32_t& offset) {
    const uint32_t perPage = offsets_.entriesPerPage();
    const uint32_t pageNumber = multi / perPage;
    bool failed = false;
    const std::vector<uint8_t>* page = offsets_.page(pageNumber, problem_, failed);
    if (failed)
        return false;
    if (page == nullptr) {
        const uint32_t segment = pageNumber / SlruFolder::kPagesPerSegment;
        problem_ = offsets_.hasSegment(segment)
                       ? fmt::format("\"{}\" ends before the page of multixact {}",
                                     offsets_.segmentPath(segment), multi)
                       : fmt::format("\"{}\", which holds multixact {}, is missing",
                                     offsets_.segmentPath(segment), multi);
        return false;
    }
    offset = loadLE<uint32_t>(page->data() + (multi % perPage) * kOffsetSize);
    return true;
}

MultiXactLog::Answer MultiXactLog::resolve(uint32_t multi, uint32_t& xid) {
    if (multi == 0)
        return unknown("multixact 0 is not a multixact");
    // Before the oldest multixact the server keeps, the members were removed; at or past the
    // next one it gave out at the last checkpoint, the members may not have reached the files.
    bool newerThanCheckpoint = false;
    if (control_ && control_->hasMultixacts) {
        if (circularPrecedes(multi, control_->oldestMulti))
            return unknown(fmt::format(
                "multixact {} precedes the oldest one pg_control keeps ({}): its members were "
                "removed",
                multi, control_->oldestMulti));
        newerThanCheckpoint = !circularPrecedes(multi, control_->nextMulti);
    }
    uint32_t start = 0;
    if (!memberStart(multi, start))
        return Answer::kUnknown;
    const uint32_t following = nextMultixact(multi);
    uint32_t end = 0;
    if (control_ && control_->hasMultixacts && following == control_->nextMulti) {
        end = control_->nextMultiOffset;
    } else if (!memberStart(following, end)) {
        return Answer::kUnknown;
    }
    if (start == 0 || end == 0)
        return unknown(
            fmt::format("multixact {} has no member offsets on disk{}", multi,
                        newerThanCheckpoint ? " (it was made after the last checkpoint)" : ""));
    const uint32_t count = end - start;  // offsets wrap around
    if (count == 0 || count > kMaxMembers)
        return unknown(fmt::format("multixact {} has {} members (offsets {} to {})", multi, count,
                                   start, end));

    const uint32_t perPage = members_.entriesPerPage();
    const uint32_t groupsPerPage = perPage / kMembersPerGroup;
    bool found = false;
    uint32_t offset = start;
    for (uint32_t i = 0; i < count; ++i, ++offset) {
        const uint32_t pageNumber = offset / perPage;
        bool failed = false;
        const std::vector<uint8_t>* page = members_.page(pageNumber, problem_, failed);
        if (failed)
            return Answer::kUnknown;
        if (page == nullptr) {
            const uint32_t segment = pageNumber / SlruFolder::kPagesPerSegment;
            return unknown(fmt::format(
                "\"{}\", which holds members of multixact {}, {}", members_.segmentPath(segment),
                multi, members_.hasSegment(segment) ? "ends before them" : "is missing"));
        }
        const uint32_t group = (offset / kMembersPerGroup) % groupsPerPage;
        const uint32_t slot = offset % kMembersPerGroup;
        const uint8_t* base = page->data() + size_t{group} * kGroupSize;
        const uint32_t member = loadLE<uint32_t>(base + kMembersPerGroup + slot * 4);
        if (member == 0)
            continue;  // slot 0, skipped where the offsets wrapped
        const uint8_t status = base[slot];
        if (status > kStatusUpdate)
            return unknown(
                fmt::format("multixact {} has a member of unknown status {}", multi, status));
        if (status < kStatusNoKeyUpdate)
            continue;
        if (found)
            return unknown(
                fmt::format("multixact {} has two updaters, {} and {}", multi, xid, member));
        found = true;
        xid = member;
    }
    return found ? Answer::kUpdater : Answer::kLockersOnly;
}

}  // namespace vorn
