#pragma once

// How stored bytes are read. Integers are always copied out with memcpy (loadLE) in the
// file's byte order (little-endian, as PostgreSQL writes them on x86-64), never by casting
// pointers, so page bytes need no alignment. Where the bounds are checked depends on the
// reader:
//
//   - ByteReader, a view of a byte span that refuses to read past its end (each read an
//     optional), where the offsets come from the bytes themselves and are read once each:
//     pg_filenode.map (file_node_map.cpp), b-tree and visibility map pages (btree_page.cpp,
//     visibility_map_page.cpp, fork_pages.cpp), the fields of an external TOAST pointer and
//     the tcinfo of a compressed value (value_buffer.cpp).
//   - loadLE at offsets checked beforehand, on the paths that run per page, tuple or value
//     and check once for the whole of what they read:
//       the page scan (page_scan.cpp, line_pointer.h) checks a page's header against the
//       block size (header <= lower <= upper <= special <= block size), each item against
//       the page, a tuple's header and t_hoff against the item, before it or the
//       visibility rules (tuple_visibility.h) load a field;
//       the varlena headers (varlena_header.h) and the tuple decoder (tuple_decoder.cpp)
//       check each attribute against the tuple's length before they touch it;
//       the value outputs and binary encoders (value_text_*.cpp, numeric_header.h,
//       copy_binary_*.cpp here and in export/) load from a value whose length they checked
//       first;
//       the commit log and multixact readers (commit_log.cpp, multixact.cpp) load from
//       whole SLRU pages, at an entry's offset inside the page; the control file
//       (control_file.cpp) from its first bytes, read whole or refused.
//
// A bad offset is an error, reported, instead of a wild read, either way.

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
