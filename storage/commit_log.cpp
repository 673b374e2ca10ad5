#include "storage/commit_log.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/byte_reader.h"
#include "storage/file.h"

namespace vorn {

namespace {

constexpr uint32_t kPagesPerSegment = 32;
constexpr uint32_t kFirstNormalXid = 3;  // 1 bootstrap, 2 frozen: both committed
constexpr uint32_t kStatusMask = 0x3;
constexpr uint32_t kXactsPerByte = 4;
constexpr uint32_t kSubtransEntrySize = 4;
// A sub-committed transaction's parent may itself be a subtransaction; a chain longer than
// the nesting PostgreSQL allows in practice is damage, not an answer.
constexpr int kMaxParentDepth = 64;

// pg_control: system_identifier (8), pg_control_version (4), catalog_version_no (4), state.
constexpr size_t kControlStateOffset = 8 + 4 + 4;
constexpr uint32_t kDbShutdowned = 1;
constexpr uint32_t kDbShutdownedInRecovery = 2;

bool isHexName(const char* name, uint32_t& number) {
    const size_t length = std::strlen(name);
    if (length < 4 || length > 8)
        return false;
    uint32_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = uint32_t(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = uint32_t(c - 'A' + 10);
        else
            return false;
        value = value * 16 + digit;
    }
    number = value;
    return true;
}

}  // namespace

// One SLRU folder: its segment numbers and the pages read so far.
struct CommitLog::Slru {
    std::string dir;
    uint32_t pageSize = 0;
    uint32_t segmentCount = 0;  // how many segments the 32-bit xid space spans
    std::set<uint32_t> segments;
    int digits = 4;  // hex digits of the file names (4, or more in a long-named folder)
    std::unordered_map<uint32_t, std::vector<uint8_t>> pages;  // empty vector: not on disk
    uint32_t oldest = 0, newest = 0;                           // segment numbers, circularly

    // Lists the folder; false with the reason when it cannot be read or holds no segment.
    bool open(const std::string& path, uint32_t xidsPerPage, std::string& problem);
    std::string segmentPath(uint32_t segment) const;
    // The page, or null when no file or no such page exists; `failed` when it cannot be read.
    const std::vector<uint8_t>* page(uint32_t pageNumber, std::string& problem, bool& failed);
    // Whether a segment absent from the folder lies behind the oldest one (truncated away).
    bool isTruncated(uint32_t segment) const;
};

bool CommitLog::Slru::open(const std::string& path, uint32_t xidsPerPage, std::string& problem) {
    dir = path;
    const uint64_t xidsPerSegment = uint64_t{xidsPerPage} * kPagesPerSegment;
    segmentCount = static_cast<uint32_t>((uint64_t{1} << 32) / xidsPerSegment);
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) {
        problem = "cannot open \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    while (const dirent* entry = ::readdir(d)) {
        uint32_t number = 0;
        if (isHexName(entry->d_name, number) && number < segmentCount) {
            segments.insert(number);
            digits = std::max<int>(digits, static_cast<int>(std::strlen(entry->d_name)));
        }
    }
    ::closedir(d);
    if (segments.empty()) {
        problem = "no segment files in \"" + path + "\"";
        return false;
    }
    // The segments in use form one run around the circle of segment numbers: it starts after
    // the widest gap between two present numbers.
    uint32_t widestGap = 0;
    uint32_t previous = *segments.rbegin();
    oldest = *segments.begin();
    newest = *segments.rbegin();
    for (const uint32_t s : segments) {
        const uint32_t gap = (s - previous + segmentCount) % segmentCount;
        if (gap > widestGap) {
            widestGap = gap;
            oldest = s;
            newest = previous;
        }
        previous = s;
    }
    return true;
}

std::string CommitLog::Slru::segmentPath(uint32_t segment) const {
    char name[16];
    std::snprintf(name, sizeof name, "%0*X", digits, segment);
    return dir + "/" + name;
}

bool CommitLog::Slru::isTruncated(uint32_t segment) const {
    // Closer (going backwards) to the oldest present segment than (going forwards) to the
    // newest: removed by truncation, not yet to be written.
    const uint32_t behindOldest = (oldest - segment + segmentCount) % segmentCount;
    const uint32_t pastNewest = (segment - newest + segmentCount) % segmentCount;
    return behindOldest <= pastNewest;
}

const std::vector<uint8_t>* CommitLog::Slru::page(uint32_t pageNumber, std::string& problem,
                                                  bool& failed) {
    failed = false;
    auto found = pages.find(pageNumber);
    if (found == pages.end()) {
        std::vector<uint8_t> bytes;
        const uint32_t segment = pageNumber / kPagesPerSegment;
        if (segments.count(segment) != 0) {
            const std::string path = segmentPath(segment);
            try {
                File file;
                file.open(path, O_RDONLY);
                bytes.resize(pageSize);
                const uint64_t offset = uint64_t{pageNumber % kPagesPerSegment} * pageSize;
                const uint32_t got = file.pread(bytes.data(), pageSize, offset);
                if (got < pageSize)
                    bytes.clear();  // the page was never written: nothing recorded on it
            } catch (const std::exception& e) {
                problem = "cannot read \"" + path + "\": " + e.what();
                failed = true;
                return nullptr;
            }
        }
        found = pages.emplace(pageNumber, std::move(bytes)).first;
    }
    return found->second.empty() ? nullptr : &found->second;
}

CommitLog::CommitLog(std::string dataDirectory, int serverMajor, uint32_t blockSize)
    : dataDirectory_(std::move(dataDirectory)), serverMajor_(serverMajor), blockSize_(blockSize) {}

void CommitLog::open() {
    opened_ = true;
    cleanShutdown_ = controlFileSaysShutDown(dataDirectory_);
    if (blockSize_ < 1024 || (blockSize_ & (blockSize_ - 1)) != 0) {
        problem_ = "block size " + std::to_string(blockSize_) + " is not a page size";
        return;
    }
    const std::string xactDir = dataDirectory_ + (serverMajor_ >= 10 ? "/pg_xact" : "/pg_clog");
    xact_ = std::make_unique<Slru>();
    xact_->pageSize = blockSize_;
    if (!xact_->open(xactDir, blockSize_ * kXactsPerByte, problem_)) {
        xact_.reset();
        return;
    }
    available_ = true;
    subtrans_ = std::make_unique<Slru>();
    subtrans_->pageSize = blockSize_;
    std::string subtransProblem;
    if (!subtrans_->open(dataDirectory_ + "/pg_subtrans", blockSize_ / kSubtransEntrySize,
                         subtransProblem))
        subtrans_.reset();  // only needed for a sub-committed xid; said when one is met
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
    const uint32_t xidsPerPage = xact_->pageSize * kXactsPerByte;
    const uint32_t pageNumber = xid / xidsPerPage;
    bool failed = false;
    const std::vector<uint8_t>* page = xact_->page(pageNumber, problem_, failed);
    if (failed)
        return XactStatus::kUnknown;
    if (page == nullptr) {
        const uint32_t segment = pageNumber / kPagesPerSegment;
        if (xact_->segments.count(segment) == 0 && xact_->isTruncated(segment))
            return XactStatus::kCommitted;
        return XactStatus::kInProgress;  // past the newest page: nothing recorded yet
    }
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

uint32_t CommitLog::parentOf(uint32_t xid) {
    if (!subtrans_) {
        problem_ = "xid " + std::to_string(xid) + " is sub-committed and pg_subtrans is missing";
        return 0;
    }
    const uint32_t perPage = subtrans_->pageSize / kSubtransEntrySize;
    bool failed = false;
    const std::vector<uint8_t>* page = subtrans_->page(xid / perPage, problem_, failed);
    return page != nullptr ? loadLE<uint32_t>(page->data() + (xid % perPage) * kSubtransEntrySize)
                           : 0;
}

bool controlFileSaysShutDown(const std::string& dataDirectory) {
    try {
        File file;
        file.open(dataDirectory + "/global/pg_control", O_RDONLY);
        uint8_t bytes[kControlStateOffset + 4];
        if (file.pread(bytes, sizeof bytes, 0) < sizeof bytes)
            return false;
        const uint32_t state = loadLE<uint32_t>(bytes + kControlStateOffset);
        return state == kDbShutdowned || state == kDbShutdownedInRecovery;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace vorn
