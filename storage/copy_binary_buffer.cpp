#include "storage/copy_binary_buffer.h"

#include <new>

namespace vorn {

namespace {

constexpr uint8_t kSignature[kCopySignatureSize] = {'P',  'G',  'C',  'O',  'P', 'Y',
                                                    '\n', 0xFF, '\r', '\n', 0};

}  // namespace

CopyBinaryBuffer::CopyBinaryBuffer() : bytes_(copyFlushThreshold) {}

void CopyBinaryBuffer::grow(size_t more) {
    if (more > SIZE_MAX - used_)
        throw std::bad_alloc();
    const size_t needed = used_ + more;
    size_t capacity = bytes_.empty() ? copyFlushThreshold : bytes_.size();
    while (capacity < needed) {
        if (capacity > SIZE_MAX / 2) {
            capacity = needed;
            break;
        }
        capacity *= 2;
    }
    bytes_.resize(capacity);
}

void CopyBinaryBuffer::appendHeader() {
    uint8_t* p = ensure(kCopyHeaderSize);
    std::memcpy(p, kSignature, kCopySignatureSize);
    storeBE32(p + kCopySignatureSize, 0);      // flags: no OIDs
    storeBE32(p + kCopySignatureSize + 4, 0);  // header extension length
    advance(kCopyHeaderSize);
}

void CopyBinaryBuffer::appendTrailer() {
    storeBE16(ensure(kCopyTrailerSize), 0xFFFF);
    advance(kCopyTrailerSize);
}

}  // namespace vorn
