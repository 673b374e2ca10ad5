#pragma once

// The output buffer of the COPY binary writers (file and target database): one per table
// unload, holding the PGCOPY stream until it is written out in chunks of about 1 MiB.
//
// PGCOPY stream, all integers big-endian:
//
//   signature         11 bytes  50 47 43 4F 50 59 0A FF 0D 0A 00  ("PGCOPY\n\377\r\n\0")
//   flags              4 bytes  int32 0 (no OIDs)
//   header extension   4 bytes  int32 0
//   each row           int16 field count, then per field:
//                        int32 -1 for NULL, no body, or
//                        int32 n, then the n bytes of the type's send form
//   trailer            2 bytes  int16 -1
//
// Appending is the hot path of the binary unload: a bounds check and a copy. The storage
// grows (doubling) only when a row needs more room and never shrinks, so after the first
// megabyte nothing is allocated. Counts are size_t: a row of many large values can pass
// 4 GiB before the writer gets to flush it.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vorn {

// The writer flushes after any complete row that brings the buffer to this size or more.
constexpr size_t copyFlushThreshold = 1048576;

constexpr size_t kCopySignatureSize = 11;
constexpr size_t kCopyHeaderSize = kCopySignatureSize + 4 + 4;  // signature, flags, extension
constexpr size_t kCopyTrailerSize = 2;

inline void storeBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void storeBE32(uint8_t* p, uint32_t v) {
    v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}
inline void storeBE64(uint8_t* p, uint64_t v) {
    v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

class CopyBinaryBuffer {
  public:
    // Room for copyFlushThreshold bytes from the start.
    CopyBinaryBuffer();

    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return used_; }
    size_t capacity() const { return bytes_.size(); }
    bool empty() const { return used_ == 0; }
    // True once the buffer holds copyFlushThreshold bytes or more.
    bool full() const { return used_ >= copyFlushThreshold; }
    // After a flush: the storage stays.
    void clear() { used_ = 0; }
    // Drops everything after the first `size` bytes (an encoder that finds its value
    // undecodable takes back what it wrote); a larger size changes nothing.
    void truncate(size_t size) {
        if (size < used_)
            used_ = size;
    }

    // Room for `n` more bytes: where they go. Write at most n there, then advance() by the
    // number written; a later ensure may move the storage.
    uint8_t* ensure(size_t n) {
        if (n > bytes_.size() - used_)
            grow(n);
        return bytes_.data() + used_;
    }
    void advance(size_t n) { used_ += n; }

    // Writing through a raw pointer: tail() is where the next byte goes and limit() the end of
    // the storage; after writing up to p (tail() <= p <= limit()), commit(p). Any ensure()
    // or append may move the storage, so take tail() and limit() again after one.
    uint8_t* tail() { return bytes_.data() + used_; }
    uint8_t* limit() { return bytes_.data() + bytes_.size(); }
    void commit(uint8_t* p) { used_ = static_cast<size_t>(p - bytes_.data()); }

    // Signature, flags 0 and header extension length 0: the first 19 bytes of a stream.
    void appendHeader();
    // int16 -1: the end of the rows.
    void appendTrailer();
    // The int16 that starts each row: the number of fields that follow.
    void appendFieldCount(uint16_t fields) {
        storeBE16(ensure(2), fields);
        advance(2);
    }
    // int32 -1: a NULL field.
    void appendNull() {
        storeBE32(ensure(4), 0xFFFFFFFFu);
        advance(4);
    }
    // int32 n, then the n bytes. A length the int32 cannot hold is sent as NULL.
    void appendField(const uint8_t* bytes, size_t n) {
        if (n > INT32_MAX) {
            appendNull();
            return;
        }
        uint8_t* p = ensure(4 + n);
        storeBE32(p, static_cast<uint32_t>(n));
        if (n != 0)
            std::memcpy(p + 4, bytes, n);
        advance(4 + n);
    }

  private:
    void grow(size_t more);

    std::vector<uint8_t> bytes_;
    size_t used_ = 0;
};

}  // namespace vorn
