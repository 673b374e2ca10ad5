#pragma once

// Reads one variable-length attribute (varlena) out of a tuple and hands back its plain bytes:
// header forms, in-line compression (pglz, LZ4) and values moved out to the TOAST relation.

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

class ToastFetcher;

// How reading a value went. Anything but kOk leaves the value empty; the page reader then
// stores NULL and counts the value as unreadable (or the TOAST value as missing).
enum class ValueStatus : uint8_t {
    kOk,
    kTruncated,     // the header's size runs past the tuple
    kCorrupt,       // a compressed stream that does not decode to its stated size
    kUnsupported,   // compression method 2 or 3, external pointer tags other than 18
    kTooLarge,      // a stated size beyond what any PostgreSQL value can hold
    kToastMissing,  // chunks not found, or not adding up to the stored size
    kNoToast,       // an external pointer in a relation without a TOAST relation
};

struct VarlenaRead {
    uint32_t consumed = 0;  // bytes to advance by, alignment fill included
    ValueStatus status = ValueStatus::kOk;
};

class ValueBuffer {
  public:
    // In-line compressed values are decompressed into one buffer of 1 MiB, grown once to
    // 10 MiB when a value needs it.
    static constexpr uint32_t kInitialSize = 1048576;
    static constexpr uint32_t kMaxInlineRawSize = 10485760;

    explicit ValueBuffer(ToastFetcher* toast);

    // Reads the varlena at `pos` with `bytesLeft` bytes of the tuple from there. With
    // `skipZeroFill`, zero bytes in front of the value are stepped over as alignment fill
    // (while the word there is no plausible 4-byte header); heap pages align by attalign
    // before calling and pass false.
    VarlenaRead readVarlena(const uint8_t* pos, uint32_t bytesLeft, bool skipZeroFill,
                            std::string& value);

    // An external pointer (first byte 0x01) of `pointerSize` bytes at `pos`.
    ValueStatus fetchExternal(const uint8_t* pos, uint32_t pointerSize, std::string& value);

  private:
    std::vector<uint8_t> buffer_;
    std::string fetched_;  // a compressed external value as fetched, before decompression
    ToastFetcher* toast_;
};

// PostgreSQL's pglz decompression: the bytes produced, or -1 for a corrupt stream.
int32_t pglzDecompress(const uint8_t* source, int32_t sourceLength, uint8_t* dest, int32_t rawSize);

}  // namespace vorn
