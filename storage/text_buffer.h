#pragma once

// A growable byte buffer for rendered values. The writers keep one per table unload and
// append every field of every row to it, so appending must be cheap: the fast path is a
// bounds check and a copy, growth (doubling) is out of line, and nothing is zero-filled.
// A value output that fails rolls back to the size it started at with truncate().

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace vorn {

class TextBuffer {
  public:
    TextBuffer() = default;
    explicit TextBuffer(size_t capacity) { reserve(capacity); }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    TextBuffer(TextBuffer&&) noexcept = default;
    TextBuffer& operator=(TextBuffer&&) noexcept = default;

    const char* data() const { return data_.get(); }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return std::string_view(data_.get(), size_); }

    void clear() { size_ = 0; }
    // Drops everything after the first `size` bytes; a larger size changes nothing.
    void truncate(size_t size) {
        if (size < size_)
            size_ = size;
    }
    void reserve(size_t capacity) {
        if (capacity > capacity_)
            grow(capacity);
    }

    void push_back(char c) {
        if (size_ == capacity_)
            grow(size_ + 1);
        data_[size_++] = c;
    }
    void append(const void* bytes, size_t n) {
        if (n == 0)
            return;
        std::memcpy(ensure(n), bytes, n);
        size_ += n;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }

    // Room for `n` more bytes: where they go. Write at most n there, then advance() by the
    // number written; a later append or ensure may move the storage.
    char* ensure(size_t n) {
        if (n > capacity_ - size_)
            grow(size_ + n);
        return data_.get() + size_;
    }
    // Commits bytes written into the room ensure() gave; never more than it promised.
    void advance(size_t n) { size_ += n; }
    // As advance, to the end pointer a formatter returned.
    void advanceTo(const char* end) { size_ = static_cast<size_t>(end - data_.get()); }

  private:
    void grow(size_t needed);

    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace vorn
