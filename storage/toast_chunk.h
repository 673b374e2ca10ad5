#pragma once

#include <cstdint>

namespace vorn {

// The place of one chunk of a TOAST value. The page readers' chunk listers fill every field
// but blockNumber and segment, which the chunk index fills. The lister has already checked
// that the chunk's data lies inside its tuple, so a fetch only copies
// [dataOffset, dataOffset + dataLength) of the page.
struct ToastChunkRef {
    uint32_t chunkId = 0;      // the value id
    int32_t chunkSeq = 0;      // the chunk's number within the value, from 0
    uint32_t blockNumber = 0;  // within its segment file
    uint32_t segment = 0;      // 0: the file named by the file node alone
    uint16_t lpOff = 0;        // byte offset of the chunk's tuple in its page
    uint16_t dataOffset = 0;   // byte offset in the page of the chunk's bytes (header removed)
    uint16_t dataLength = 0;   // number of the chunk's bytes
};

}  // namespace vorn
