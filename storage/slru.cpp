#include "storage/slru.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "storage/file.h"

namespace vorn {

namespace {

constexpr size_t kShortNameMin = 4;
constexpr size_t kLongName = 15;

bool isHexName(const char* name, uint64_t& number) {
    const size_t length = std::strlen(name);
    if (length < kShortNameMin || length > kLongName)
        return false;
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        uint64_t digit;
        if (c >= '0' && c <= '9')
            digit = uint64_t(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = uint64_t(c - 'A' + 10);
        else
            return false;
        value = value * 16 + digit;
    }
    number = value;
    return true;
}

}  // namespace

bool SlruFolder::open(const std::string& path, uint32_t pageSize, uint32_t entriesPerPage,
                      std::string& problem) {
    dir_ = path;
    pageSize_ = pageSize;
    entriesPerPage_ = entriesPerPage;
    const uint64_t entriesPerSegment = uint64_t{entriesPerPage} * kPagesPerSegment;
    segmentCount_ =
        static_cast<uint32_t>(((uint64_t{1} << 32) + entriesPerSegment - 1) / entriesPerSegment);
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) {
        problem = "cannot open \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    while (const dirent* entry = ::readdir(d)) {
        uint64_t number = 0;
        if (isHexName(entry->d_name, number) && number < segmentCount_) {
            segments_.insert(static_cast<uint32_t>(number));
            // Short names have at least four digits and grow as the number needs; long names
            // always have fifteen.
            if (std::strlen(entry->d_name) == kLongName)
                digits_ = kLongName;
        }
    }
    ::closedir(d);
    if (segments_.empty()) {
        problem = "no segment files in \"" + path + "\"";
        return false;
    }
    // The segments in use form one run around the circle of segment numbers: it starts after
    // the widest gap between two present numbers.
    uint32_t widestGap = 0;
    uint32_t previous = *segments_.rbegin();
    oldest_ = *segments_.begin();
    newest_ = *segments_.rbegin();
    for (const uint32_t s : segments_) {
        const uint32_t gap = (s - previous + segmentCount_) % segmentCount_;
        if (gap > widestGap) {
            widestGap = gap;
            oldest_ = s;
            newest_ = previous;
        }
        previous = s;
    }
    return true;
}

std::string SlruFolder::segmentPath(uint32_t segment) const {
    char name[24];
    std::snprintf(name, sizeof name, "%0*X", digits_, segment);
    return dir_ + "/" + name;
}

bool SlruFolder::looksTruncated(uint32_t segment) const {
    // Closer (going backwards) to the oldest present segment than (going forwards) to the
    // newest: removed by truncation, not yet to be written.
    const uint32_t behindOldest = (oldest_ - segment + segmentCount_) % segmentCount_;
    const uint32_t pastNewest = (segment - newest_ + segmentCount_) % segmentCount_;
    return behindOldest <= pastNewest;
}

const std::vector<uint8_t>* SlruFolder::page(uint32_t pageNumber, std::string& problem,
                                             bool& failed) {
    failed = false;
    auto found = pages_.find(pageNumber);
    if (found == pages_.end()) {
        std::vector<uint8_t> bytes;
        const uint32_t segment = pageNumber / kPagesPerSegment;
        if (hasSegment(segment)) {
            const std::string path = segmentPath(segment);
            try {
                File file;
                file.open(path, O_RDONLY);
                bytes.resize(pageSize_);
                const uint64_t offset = uint64_t{pageNumber % kPagesPerSegment} * pageSize_;
                const uint32_t got = file.pread(bytes.data(), pageSize_, offset);
                if (got < pageSize_)
                    bytes.clear();  // the page was never written
            } catch (const std::exception& e) {
                problem = "cannot read \"" + path + "\": " + e.what();
                failed = true;
                return nullptr;
            }
        }
        found = pages_.emplace(pageNumber, std::move(bytes)).first;
    }
    return found->second.empty() ? nullptr : &found->second;
}

}  // namespace vorn
