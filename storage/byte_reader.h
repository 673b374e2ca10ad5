#pragma once

// Every read of stored bytes goes through ByteReader: a view of a byte span that refuses to
// read past its end. Integers are copied out with memcpy in the file's byte order
// (little-endian, as PostgreSQL writes them on x86-64), never by casting pointers, so page
// bytes need no alignment and a bad offset is an error instead of a wild read.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace vorn {

template <typename T>
inline T loadLE(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

class ByteReader {
  public:
    ByteReader() = default;
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

    // True when [offset, offset + length) lies inside the span; overflow-safe.
    bool has(size_t offset, size_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

    template <typename T>
    std::optional<T> get(size_t offset) const {
        if (!has(offset, sizeof(T)))
            return std::nullopt;
        return loadLE<T>(data_ + offset);
    }
    std::optional<uint8_t> u8(size_t offset) const { return get<uint8_t>(offset); }
    std::optional<uint16_t> u16(size_t offset) const { return get<uint16_t>(offset); }
    std::optional<uint32_t> u32(size_t offset) const { return get<uint32_t>(offset); }
    std::optional<uint64_t> u64(size_t offset) const { return get<uint64_t>(offset); }

    // A sub-span, or an empty reader when it does not fit.
    std::optional<ByteReader> sub(size_t offset, size_t length) const {
        if (!has(offset, length))
            return std::nullopt;
        return ByteReader(data_ + offset, length);
    }
    size_t remaining(size_t offset) const { return offset <= size_ ? size_ - offset : 0; }

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace vorn
