// Value encodings of the page builder: varlena headers, TOAST pointers and the two
// compressors. The pglz writer is deliberately simple (one candidate per 3-byte hash) but emits
// every tag form: 2-byte tags for lengths 3..17, 3-byte tags for 18..273.

#include <lz4.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "tests/storage/support/page_builder.h"

namespace vorn::test {
namespace {

constexpr size_t kPglzMinMatch = 3;
constexpr size_t kPglzMaxMatch = 273;    // 18 + 255
constexpr size_t kPglzMaxOffset = 4095;  // 12 bits
constexpr uint32_t kRawSizeMask = 0x3FFFFFFF;

void append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

uint32_t hash3(const uint8_t* p) {
    return ((uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]) * 2654435761u) >> 16;
}

}  // namespace

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes repeated(std::string_view text, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i)
        out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes pglzCompress(const Bytes& raw) {
    Bytes out;
    std::vector<size_t> lastSeen(1 << 16, SIZE_MAX);
    size_t controlPos = 0;
    int itemInGroup = 0;
    auto remember = [&](size_t pos) {
        if (pos + kPglzMinMatch <= raw.size())
            lastSeen[hash3(raw.data() + pos)] = pos;
    };
    for (size_t i = 0; i < raw.size();) {
        if (itemInGroup == 0) {
            controlPos = out.size();
            out.push_back(0);
        }
        size_t length = 0;
        size_t offset = 0;
        if (i + kPglzMinMatch <= raw.size()) {
            const size_t candidate = lastSeen[hash3(raw.data() + i)];
            if (candidate != SIZE_MAX && i - candidate <= kPglzMaxOffset) {
                const size_t limit = std::min(kPglzMaxMatch, raw.size() - i);
                while (length < limit && raw[candidate + length] == raw[i + length])
                    ++length;
                offset = i - candidate;
            }
        }
        if (length >= kPglzMinMatch) {
            out[controlPos] |= static_cast<uint8_t>(1 << itemInGroup);
            const uint8_t high = static_cast<uint8_t>((offset >> 4) & 0xF0);
            if (length >= 18) {
                out.push_back(high | 0x0F);
                out.push_back(static_cast<uint8_t>(offset & 0xFF));
                out.push_back(static_cast<uint8_t>(length - 18));
            } else {
                out.push_back(high | static_cast<uint8_t>(length - 3));
                out.push_back(static_cast<uint8_t>(offset & 0xFF));
            }
            for (size_t k = 0; k < length; ++k)
                remember(i + k);
            i += length;
        } else {
            out.push_back(raw[i]);
            remember(i);
            ++i;
        }
        itemInGroup = (itemInGroup + 1) & 7;
    }
    return out;
}

Bytes lz4Compress(const Bytes& raw) {
    Bytes out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
    const int n = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()),
                                       reinterpret_cast<char*>(out.data()),
                                       static_cast<int>(raw.size()), static_cast<int>(out.size()));
    if (n <= 0 && !raw.empty())
        throw std::runtime_error("LZ4_compress_default failed");
    out.resize(static_cast<size_t>(n));
    return out;
}

Bytes compressedDatum(const Bytes& raw, uint8_t method) {
    if (raw.size() > kRawSizeMask || method > 3)
        throw std::invalid_argument("compressedDatum: raw size or method out of range");
    Bytes out = le<uint32_t>(static_cast<uint32_t>(raw.size()) | uint32_t{method} << 30);
    append(out, method == kLz4 ? lz4Compress(raw) : pglzCompress(raw));
    return out;
}

Bytes varlena4Bytes(const Bytes& value) {
    if (value.size() + 4 > kRawSizeMask)
        throw std::invalid_argument("varlena4Bytes: value too long");
    Bytes out = le<uint32_t>(static_cast<uint32_t>(value.size() + 4) << 2);
    append(out, value);
    return out;
}

Bytes compressedVarlenaBytes(const Bytes& raw, uint8_t method) {
    const Bytes datum = compressedDatum(raw, method);
    Bytes out = le<uint32_t>(static_cast<uint32_t>(datum.size() + 4) << 2 | 0x02);
    append(out, datum);
    return out;
}

Bytes varlenaShortBytes(const Bytes& value) {
    if (value.size() > 126)
        throw std::invalid_argument("varlenaShortBytes: at most 126 value bytes");
    Bytes out{static_cast<uint8_t>((value.size() + 1) << 1 | 1)};
    append(out, value);
    return out;
}

Bytes externalPointerBytes(int32_t rawSize, uint32_t extInfo, uint32_t valueId,
                           uint32_t toastRelid) {
    Bytes out{0x01, 18};
    append(out, le(rawSize));
    append(out, le(extInfo));
    append(out, le(valueId));
    append(out, le(toastRelid));
    return out;
}

void setU8(Bytes& bytes, size_t offset, uint8_t value) {
    bytes.at(offset) = value;
}

void setU16(Bytes& bytes, size_t offset, uint16_t value) {
    if (offset + 2 > bytes.size())
        throw std::out_of_range("setU16 past the end");
    std::memcpy(bytes.data() + offset, &value, 2);
}

void setU32(Bytes& bytes, size_t offset, uint32_t value) {
    if (offset + 4 > bytes.size())
        throw std::out_of_range("setU32 past the end");
    std::memcpy(bytes.data() + offset, &value, 4);
}

uint16_t getU16(const Bytes& bytes, size_t offset) {
    if (offset + 2 > bytes.size())
        throw std::out_of_range("getU16 past the end");
    uint16_t v;
    std::memcpy(&v, bytes.data() + offset, 2);
    return v;
}

uint32_t getU32(const Bytes& bytes, size_t offset) {
    if (offset + 4 > bytes.size())
        throw std::out_of_range("getU32 past the end");
    uint32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

void flipByte(Bytes& bytes, size_t offset, uint8_t mask) {
    bytes.at(offset) ^= mask;
}

void truncate(Bytes& bytes, size_t size) {
    if (size < bytes.size())
        bytes.resize(size);
}

}  // namespace vorn::test
