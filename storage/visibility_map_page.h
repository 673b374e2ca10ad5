#pragma once

// Visibility map pages, the fork "<filenode>_vm" of a table (little-endian): per heap block
// the bits VACUUM sets once every tuple of the block is visible to all (and, from 9.6, all
// frozen). The server sets them only for blocks the table has and clears them when it
// truncates the table, so a bit for a block the table's file lacks says the block existed.
//
//   0           24                                                        block size
//   +-----------+-----------------------------------------------------------+
//   | header    | map: bits for (block size - 24) * 8 / bits-per-block blocks|
//   +-----------+-----------------------------------------------------------+
//   header: the page header of heap pages; 16 pd_special = block size (no special space),
//   18 pd_pagesize_version = block size | 4; 12 pd_lower and 14 pd_upper keep the values of
//   an empty page (24 and the block size) and bound nothing: the map fills the page from
//   byte 24 to its end.
//
//   From 9.6 two bits per heap block (0x1 all visible, 0x2 all frozen), before one (all
//   visible). Heap block b is on map page b / blocksPerPage, in map byte
//   (b % blocksPerPage) / blocksPerByte, at bit (b % blocksPerByte) * bitsPerBlock, least
//   significant first.
//
// A map page the server extended but never wrote is all zero.

#include <cstdint>
#include <optional>

#include "storage/byte_reader.h"
#include "storage/storage_settings.h"

namespace vorn {

namespace vm {
constexpr uint32_t kPageHeaderSize = 24;  // MAXALIGN(SizeOfPageHeaderData)
constexpr uint32_t kPdLower = 12;
constexpr uint32_t kPdUpper = kPdLower + 2;
constexpr uint32_t kPdSpecial = kPdUpper + 2;
constexpr uint32_t kPdPageSizeVersion = kPdSpecial + 2;
constexpr uint8_t kPageLayoutVersion = 4;
}  // namespace vm

// Bits per heap block the version's visibility map keeps: 2 from 9.6, 1 before.
uint32_t visibilityMapBitsPerBlock(ServerVersion version);

struct VisibilityMapPageResult {
    bool valid = false;  // false: the header is not a map page's, nothing was read
    // The last heap block, counted from the page's first, with a bit set; none when no bit is.
    std::optional<uint32_t> lastMarked;
};

class VisibilityMapPageReader {
  public:
    VisibilityMapPageReader(ServerVersion version, uint32_t blockSize);

    // Heap blocks one map page covers; 0 for a block size too small for a page.
    uint32_t heapBlocksPerPage() const { return blocksPerPage_; }
    VisibilityMapPageResult read(const ByteReader& page) const;

  private:
    uint32_t blockSize_;
    uint32_t bitsPerBlock_;
    uint32_t blocksPerPage_;
};

}  // namespace vorn
