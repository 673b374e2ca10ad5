#pragma once

// chunk_data, the third column of a TOAST chunk tuple (chunk_id oid, chunk_seq int4,
// chunk_data bytea): a plain varlena. PostgreSQL writes it with a 4-byte header (the column
// has storage plain, so it is never packed or compressed); a 1-byte header is accepted too.

#include <cstdint>
#include <optional>

#include "storage/byte_reader.h"

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
    const uint8_t first = tuple[pos];
    const uint32_t left = length - pos;
    uint32_t header = 0, total = 0;
    if ((first & 1) && first != 0x01) {
        header = 1;
        total = first >> 1;
    } else if ((first & 3) == 0 && left >= 4) {
        header = 4;
        total = loadLE<uint32_t>(tuple + pos) >> 2;
    } else {
        return std::nullopt;  // external (0x01), compressed, or cut short
    }
    if (total < header || total > left)
        return std::nullopt;
    return ChunkData{pos + header, total - header};
}

}  // namespace vorn
