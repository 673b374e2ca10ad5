// Varlena values as PostgreSQL stores them in a tuple (little-endian; the first byte decides
// the form):
//
//   first byte          form                  total size             value bytes
//   0x01                external pointer      by tag (below)         fetched from TOAST
//   odd, not 0x01       1-byte header         byte >> 1 (1..127)     bytes 1 .. total-1
//   even, & 3 == 0      4-byte header, plain  uint32 >> 2            bytes 4 .. total-1
//   even, & 3 == 2      4-byte, compressed    uint32 >> 2            decompressed from 8 on
//
// Sizes include the header. A compressed datum (in line after its 4-byte header, or the whole
// of a fetched external value) starts with a uint32 tcinfo: bits 0-29 the raw (decompressed)
// size, bits 30-31 the method (0 pglz, 1 LZ4; 2 and 3 are not defined). The stream follows.
//
// External pointer, tag 18 ("on disk"), 18 bytes, unaligned:
//
//   0   1  0x01
//   1   1  tag (18)
//   2   4  va_rawsize     int32: the value's size with a 4-byte header, before compression
//   6   4  va_extinfo     bits 0-29 the size stored in the TOAST relation; 30-31 the method
//   10  4  va_valueid     the chunk_id of the value's chunks
//   14  4  va_toastrelid  not read: the TOAST relation is the one bound to this reader
//
// Tags 1, 2 and 3 (indirect and expanded values, 10 bytes) point into a backend's memory and
// never carry anything readable on disk. Stored size < va_rawsize - 4 means the stored bytes
// are a compressed datum; otherwise they are the value itself.
//
// A value that cannot be read is reported by status, with the value left empty, and the
// bytes consumed let the caller step past it: a header whose size runs past the tuple, or
// whose form cannot be sized, consumes the rest of the tuple, because nothing after it can be
// located any more.

#include <lz4.h>

#include "storage/byte_reader.h"
#include "storage/toast.h"
#include "storage/value_buffer.h"

namespace vorn {

namespace {

constexpr uint8_t kExternalByte = 0x01;
constexpr uint8_t kTagOnDisk = 18;
constexpr uint32_t kShortPointerSize = 2 + 8;       // tags 1, 2, 3: header + a pointer
constexpr uint32_t kOnDiskPointerSize = 2 + 4 * 4;  // tag 18: header + four 32-bit fields
constexpr uint32_t kHeaderSize = 4;                 // 4-byte varlena header
constexpr uint32_t kCompressedHeaderSize = 4 + 4;   // 4-byte header + tcinfo
constexpr uint32_t kRawSizeMask = 0x3FFFFFFF;
constexpr uint32_t kMethodPglz = 0;
constexpr uint32_t kMethodLz4 = 1;
// No PostgreSQL value is larger than 1 GiB: a bigger stated size is damage, and must not
// turn into an allocation.
constexpr uint32_t kMaxValueSize = 1u << 30;
// Neither pglz (a 3-byte tag gives at most 273 bytes) nor LZ4 (at most 255 bytes per length
// byte) expands a stream more than 255 times: a larger raw size is damage, found before the
// output is allocated.
constexpr uint64_t kMaxExpansion = 256;
constexpr uint64_t kExpansionSlack = 256;

VarlenaRead result(uint32_t consumed, ValueStatus status) {
    return {consumed, status};
}

// Decompresses `length` bytes of a stream by `method` into exactly `rawSize` bytes at `dest`.
ValueStatus decompress(uint32_t method, const uint8_t* source, uint32_t length, uint8_t* dest,
                       uint32_t rawSize) {
    int64_t produced = -1;
    if (method == kMethodPglz) {
        produced = pglzDecompress(source, static_cast<int32_t>(length), dest,
                                  static_cast<int32_t>(rawSize));
    } else if (method == kMethodLz4) {
        produced = LZ4_decompress_safe(reinterpret_cast<const char*>(source),
                                       reinterpret_cast<char*>(dest), static_cast<int>(length),
                                       static_cast<int>(rawSize));
    } else {
        return ValueStatus::kUnsupported;
    }
    return produced == static_cast<int64_t>(rawSize) ? ValueStatus::kOk : ValueStatus::kCorrupt;
}

}  // namespace

ValueBuffer::ValueBuffer(ToastFetcher* toast) : buffer_(kInitialSize), toast_(toast) {}

VarlenaRead ValueBuffer::readVarlena(const uint8_t* pos, uint32_t bytesLeft, bool skipZeroFill,
                                     std::string& value) {
    value.clear();
    if (pos == nullptr || bytesLeft == 0)
        return result(0, ValueStatus::kTruncated);
    const ByteReader tuple(pos, bytesLeft);

    // U pages do not align by attalign: a zero byte is fill unless the word there is a 4-byte
    // header whose size fits in what is left.
    uint32_t fill = 0;
    if (skipZeroFill) {
        while (fill < bytesLeft && pos[fill] == 0) {
            const auto word = tuple.u32(fill);
            if (word) {
                const uint32_t total = *word >> 2;
                if (total != 0 && total <= bytesLeft - fill)
                    break;
            }
            ++fill;
        }
        if (fill == bytesLeft)
            return result(bytesLeft, ValueStatus::kTruncated);
    }

    const uint8_t* p = pos + fill;
    const uint32_t left = bytesLeft - fill;
    const ByteReader in(p, left);
    const uint8_t first = p[0];

    if (first == kExternalByte) {
        const auto tag = in.u8(1);
        if (!tag)
            return result(bytesLeft, ValueStatus::kTruncated);
        uint32_t size = 0;
        if (*tag == kTagOnDisk)
            size = kOnDiskPointerSize;
        else if (*tag >= 1 && *tag <= 3)
            size = kShortPointerSize;
        else  // an unknown tag has no known size: the rest of the tuple cannot be located
            return result(bytesLeft, ValueStatus::kUnsupported);
        if (size > left)
            return result(bytesLeft, ValueStatus::kTruncated);
        if (*tag != kTagOnDisk)
            return result(fill + size, ValueStatus::kUnsupported);
        return result(fill + size, fetchExternal(p, size, value));
    }

    if (first & 1) {
        const uint32_t total = first >> 1;
        if (total > left)
            return result(bytesLeft, ValueStatus::kTruncated);
        value.assign(reinterpret_cast<const char*>(p + 1), total - 1);
        return result(fill + total, ValueStatus::kOk);
    }

    const auto word = in.u32(0);
    if (!word)
        return result(bytesLeft, ValueStatus::kTruncated);
    const uint32_t total = *word >> 2;
    const bool compressed = (first & 3) == 2;
    const uint32_t headerSize = compressed ? kCompressedHeaderSize : kHeaderSize;
    // A size below its own header cannot be stepped over: it is no varlena at all.
    if (total < headerSize)
        return result(bytesLeft, total > left ? ValueStatus::kTruncated : ValueStatus::kCorrupt);
    if (total > left)
        return result(bytesLeft, ValueStatus::kTruncated);
    const uint32_t consumed = fill + total;

    if (!compressed) {
        value.assign(reinterpret_cast<const char*>(p + kHeaderSize), total - kHeaderSize);
        return result(consumed, ValueStatus::kOk);
    }

    const uint32_t tcinfo = *in.u32(kHeaderSize);
    const uint32_t rawSize = tcinfo & kRawSizeMask;
    const uint32_t method = tcinfo >> 30;
    if (method != kMethodPglz && method != kMethodLz4)
        return result(consumed, ValueStatus::kUnsupported);
    if (rawSize > kMaxInlineRawSize)
        return result(consumed, ValueStatus::kTooLarge);
    if (rawSize > buffer_.size())
        buffer_.resize(kMaxInlineRawSize);
    const ValueStatus status = decompress(method, p + kCompressedHeaderSize,
                                          total - kCompressedHeaderSize, buffer_.data(), rawSize);
    if (status == ValueStatus::kOk)
        value.assign(reinterpret_cast<const char*>(buffer_.data()), rawSize);
    return result(consumed, status);
}

ValueStatus ValueBuffer::fetchExternal(const uint8_t* pos, uint32_t pointerSize,
                                       std::string& value) {
    value.clear();
    const ByteReader pointer(pos, pos == nullptr ? 0 : pointerSize);
    const auto head = pointer.u8(0);
    const auto tag = pointer.u8(1);
    if (!head || !tag)
        return ValueStatus::kTruncated;
    if (*head != kExternalByte || *tag != kTagOnDisk)
        return ValueStatus::kUnsupported;
    if (pointerSize < kOnDiskPointerSize)
        return ValueStatus::kTruncated;
    if (toast_ == nullptr)
        return ValueStatus::kNoToast;

    const int32_t rawSize = *pointer.get<int32_t>(2);
    const uint32_t storedSize = *pointer.u32(6) & kRawSizeMask;
    const uint32_t valueId = *pointer.u32(10);
    if (rawSize < static_cast<int32_t>(kHeaderSize))
        return ValueStatus::kCorrupt;
    if (static_cast<uint32_t>(rawSize) > kMaxValueSize)
        return ValueStatus::kTooLarge;
    const uint32_t plainSize = static_cast<uint32_t>(rawSize) - kHeaderSize;

    if (storedSize >= plainSize) {
        const ValueStatus status = toast_->readToastValue(valueId, storedSize, value);
        if (status != ValueStatus::kOk)
            value.clear();
        return status;
    }

    // Stored compressed: the datum's own tcinfo decides the method, and its raw size must be
    // the pointer's before anything of that size is allocated.
    const ValueStatus fetched = toast_->readToastValue(valueId, storedSize, fetched_);
    if (fetched != ValueStatus::kOk)
        return fetched;
    const ByteReader datum(reinterpret_cast<const uint8_t*>(fetched_.data()), fetched_.size());
    const auto tcinfo = datum.u32(0);
    if (!tcinfo)
        return ValueStatus::kCorrupt;
    const uint32_t method = *tcinfo >> 30;
    if (method != kMethodPglz && method != kMethodLz4)
        return ValueStatus::kUnsupported;
    const uint64_t streamSize = datum.size() - 4;
    if ((*tcinfo & kRawSizeMask) != plainSize ||
        plainSize > streamSize * kMaxExpansion + kExpansionSlack)
        return ValueStatus::kCorrupt;
    value.resize(plainSize);
    const ValueStatus status =
        decompress(method, datum.data() + 4, static_cast<uint32_t>(streamSize),
                   reinterpret_cast<uint8_t*>(value.data()), plainSize);
    if (status != ValueStatus::kOk)
        value.clear();
    return status;
}

}  // namespace vorn
