// Varlena values as PostgreSQL stores them in a tuple: the header forms are in
// storage/varlena_header.h, read by readVarlenaHeader; what follows a header is read here.
//
// A compressed datum (in line after its 4-byte header, or the whole of a fetched external
// value) starts with a uint32 tcinfo: bits 0-29 the raw (decompressed) size, bits 30-31 the
// method (0 pglz, 1 LZ4; 2 and 3 are not defined). The stream follows.
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

#include "storage/value_buffer.h"

#include "storage/byte_reader.h"
#include "storage/toast.h"
#include "storage/varlena_header.h"

namespace vorn {

namespace {

constexpr uint32_t kHeaderSize = varlena::kLongHeaderSize;
constexpr uint32_t kCompressedHeaderSize = kHeaderSize + 4;  // 4-byte header + tcinfo
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

    // U pages do not align by attalign.
    const uint32_t fill = skipZeroFill ? varlenaZeroFill(pos, bytesLeft) : 0;
    if (fill == bytesLeft)
        return result(bytesLeft, ValueStatus::kTruncated);

    const uint8_t* p = pos + fill;
    const uint32_t left = bytesLeft - fill;
    const ByteReader in(p, left);
    const VarlenaHeader header = readVarlenaHeader(p, left);
    const uint32_t consumed = fill + header.total;
    switch (header.check) {
        case VarlenaCheck::kOk:
            break;
        case VarlenaCheck::kUnknownTag:
            // An unknown tag has no known size: the rest of the tuple cannot be located.
            return result(bytesLeft, ValueStatus::kUnsupported);
        case VarlenaCheck::kBelowHeader:
            // A size below its own header cannot be stepped over: it is no varlena at all.
            return result(bytesLeft, ValueStatus::kCorrupt);
        case VarlenaCheck::kCut:
        case VarlenaCheck::kPastEnd:
            return result(bytesLeft, ValueStatus::kTruncated);
    }

    switch (header.form) {
        case VarlenaForm::kExternal:
            if (header.tag != varlena::kTagOnDisk)
                return result(consumed, ValueStatus::kUnsupported);
            return result(consumed, fetchExternal(p, header.total, value));
        case VarlenaForm::kShort:
        case VarlenaForm::kPlain:
            value.assign(reinterpret_cast<const char*>(p + header.headerSize), header.valueSize());
            return result(consumed, ValueStatus::kOk);
        case VarlenaForm::kCompressed:
            break;
    }
    // tcinfo belongs to the datum: a compressed value too short to hold it is damage.
    if (header.total < kCompressedHeaderSize)
        return result(bytesLeft, ValueStatus::kCorrupt);

    const uint32_t tcinfo = *in.u32(kHeaderSize);
    const uint32_t rawSize = tcinfo & kRawSizeMask;
    const uint32_t method = tcinfo >> 30;
    if (method != kMethodPglz && method != kMethodLz4)
        return result(consumed, ValueStatus::kUnsupported);
    if (rawSize > kMaxInlineRawSize)
        return result(consumed, ValueStatus::kTooLarge);
    if (rawSize > buffer_.size())
        buffer_.resize(kMaxInlineRawSize);
    const ValueStatus status =
        decompress(method, p + kCompressedHeaderSize, header.total - kCompressedHeaderSize,
                   buffer_.data(), rawSize);
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
    if (*head != varlena::kExternalByte || *tag != varlena::kTagOnDisk)
        return ValueStatus::kUnsupported;
    if (pointerSize < varlena::kOnDiskPointerSize)
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
