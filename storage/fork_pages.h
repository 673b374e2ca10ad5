#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "storage/byte_reader.h"

namespace vorn {

enum class ForkRead {
    kMissing,     // the first segment file is not there
    kUnreadable,  // a segment file could not be opened or read
    kRead,        // every segment read to its last whole block (or `page` stopped the scan)
};

// Hands every whole block of a relation fork to `page` in block order: the segment files
// "<directory>/<fileNode><fork>", then ".1", ".2", ... up to the first one missing, a block
// number counting on from the previous segment's last. A partial block at the end of a
// segment is left out. `page` returns false to stop. Never throws for the files' sake.
ForkRead readForkPages(const std::string& directory, uint32_t fileNode, std::string_view fork,
                       uint32_t blockSize,
                       const std::function<bool(uint64_t block, const ByteReader& page)>& page);

}  // namespace vorn
