#pragma once

// chunk_data, the third column of a TOAST chunk tuple (chunk_id oid, chunk_seq int4,
// chunk_data bytea): a plain varlena. PostgreSQL writes it with a 4-byte header (the column
// has storage plain, so it is never packed or compressed); a 1-byte header is accepted too.

#include <cstdint>
#include <optional>

#include "storage/varlena_header.h"

namespace vorn {

struct ChunkData {
    uint32_t offset = 0;  // of the chunk's bytes (header removed), from the tuple start
    uint32_t length = 0;
};

// The chunk's bytes for a header at `pos` of a tuple of `length` bytes; nullopt when the
// header is not a plain one or the bytes pass the tuple end.
inline std::optional<ChunkData> readChunkData(const uint8_t* tuple, uint32_t length, uint32_t pos) {
    if (pos >= length)
        return std::nullopt;
    // External (0x01) and compressed forms are no plain chunk; neither is one cut short.
    const VarlenaHeader header = readVarlenaHeader(tuple + pos, length - pos);
    if (!header.inPlace())
        return std::nullopt;
    return ChunkData{pos + header.headerSize, header.valueSize()};
}

}  // namespace vorn
