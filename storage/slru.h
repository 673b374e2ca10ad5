#pragma once

// One SLRU folder of a data directory (pg_xact, pg_subtrans, pg_multixact/offsets,
// pg_multixact/members): pages of the cluster's block size, 32 pages to a segment file named
// by its number in upper-case hex (four digits, more once the number needs them, and fifteen
// in the long form some folders use from version 17 on).
//
//   segment s = page / 32, in the file "<folder>/<s in hex>" at byte (page % 32) * page size
//
// The folder is listed once; each page is read at the first question and kept.

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace vorn {

class SlruFolder {
  public:
    static constexpr uint32_t kPagesPerSegment = 32;

    // Lists `path`; false with the reason when it cannot be read or holds no segment.
    // `entriesPerPage` entries fill a page, and the folder covers 2^32 entries.
    bool open(const std::string& path, uint32_t pageSize, uint32_t entriesPerPage,
              std::string& problem);

    // The page, or null when no file holds it (`failed` false) or it cannot be read
    // (`failed` true, `problem` says why).
    const std::vector<uint8_t>* page(uint32_t pageNumber, std::string& problem, bool& failed);

    uint32_t pageSize() const { return pageSize_; }
    uint32_t entriesPerPage() const { return entriesPerPage_; }
    bool hasSegment(uint32_t segment) const { return segments_.count(segment) != 0; }
    std::string segmentPath(uint32_t segment) const;
    // Without the control file: whether a segment absent from the folder lies behind the
    // oldest present one (removed by truncation) rather than past the newest (not yet written).
    bool looksTruncated(uint32_t segment) const;

  private:
    std::string dir_;
    uint32_t pageSize_ = 0;
    uint32_t entriesPerPage_ = 0;
    uint32_t segmentCount_ = 0;  // how many segments the 2^32 entries span
    std::set<uint32_t> segments_;
    int digits_ = 4;  // the width of the names: 4 (at least), or 15 for long names
    std::unordered_map<uint32_t, std::vector<uint8_t>> pages_;  // empty vector: not on disk
    uint32_t oldest_ = 0, newest_ = 0;                          // segment numbers, circularly
};

}  // namespace vorn
