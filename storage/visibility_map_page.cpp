#include "storage/visibility_map_page.h"

#include "storage/line_pointer.h"

namespace vorn {

uint32_t visibilityMapBitsPerBlock(ServerVersion version) {
    return version.major > 9 || (version.major == 9 && version.minor >= 6) ? 2 : 1;
}

VisibilityMapPageReader::VisibilityMapPageReader(ServerVersion version, uint32_t blockSize)
    : blockSize_(blockSize),
      bitsPerBlock_(visibilityMapBitsPerBlock(version)),
      blocksPerPage_(blockSize > vm::kPageHeaderSize
                         ? (blockSize - vm::kPageHeaderSize) * 8 / bitsPerBlock_
                         : 0) {}

VisibilityMapPageResult VisibilityMapPageReader::read(const ByteReader& page) const {
    VisibilityMapPageResult result;
    if (blocksPerPage_ == 0 || page.size() != blockSize_)
        return result;
    if (isAllZeroPage(page.data(), blockSize_)) {
        result.valid = true;
        return result;
    }
    // A page whose header is not a map page's (another fork's page, garbage) says nothing
    // about the heap: its bytes would mark blocks at random.
    const uint16_t lower = *page.u16(vm::kPdLower);
    const uint16_t upper = *page.u16(vm::kPdUpper);
    const uint16_t special = *page.u16(vm::kPdSpecial);
    const uint16_t sizeVersion = *page.u16(vm::kPdPageSizeVersion);
    if (lower < vm::kPageHeaderSize || lower > upper || upper > special || special != blockSize_ ||
        (sizeVersion & 0x00FF) != vm::kPageLayoutVersion ||
        (sizeVersion & 0xFF00) != (blockSize_ & 0xFF00))
        return result;
    result.valid = true;
    const uint32_t blocksPerByte = 8 / bitsPerBlock_;
    for (uint32_t at = blockSize_; at-- > vm::kPageHeaderSize;) {
        const uint8_t bits = *page.u8(at);
        if (bits == 0)
            continue;
        uint32_t last = 0;  // the highest heap block of this byte with a bit set
        for (uint32_t b = 0; b < blocksPerByte; ++b)
            if (((bits >> (b * bitsPerBlock_)) & ((1u << bitsPerBlock_) - 1)) != 0)
                last = b;
        result.lastMarked = (at - vm::kPageHeaderSize) * blocksPerByte + last;
        break;
    }
    return result;
}

}  // namespace vorn
