#include "storage/text_buffer.h"

#include <cstdint>
#include <new>

namespace vorn {

void TextBuffer::grow(size_t needed) {
    constexpr size_t kMinimum = 256;
    size_t capacity = capacity_ < kMinimum ? kMinimum : capacity_;
    while (capacity < needed) {
        if (capacity > SIZE_MAX / 2)
            throw std::bad_alloc();
        capacity *= 2;
    }
    std::unique_ptr<char[]> bigger(new char[capacity]);
    if (size_ != 0)
        std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = capacity;
}

}  // namespace vorn
