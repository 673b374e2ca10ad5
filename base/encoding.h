#pragma once

#include <iconv.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace vorn {

// One PostgreSQL encoding: its id as stored in pg_database.encoding, its PostgreSQL name and
// the name iconv knows it by (empty when iconv has none).
struct EncodingInfo {
    int16_t id;
    char name[30];
    char iconvName[30];
};

inline constexpr int kEncodingCount = 42;

// Indexed by encoding id, in PostgreSQL's order (pg_wchar.h).
extern const EncodingInfo encodingTable[kEncodingCount];

// The row of the encoding id, or null. Only the low 16 bits of `id` count, as pg_database
// keeps the id in a 16-bit field.
const EncodingInfo* findEncodingById(int id);

// One iconv conversion between two encodings of the table, usable from several threads (calls
// are serialised). Characters the target cannot hold, and bytes that are no character of the
// source, are dropped.
class CharsetConverter {
  public:
    CharsetConverter();
    ~CharsetConverter();
    CharsetConverter(const CharsetConverter&) = delete;
    CharsetConverter& operator=(const CharsetConverter&) = delete;

    // Both names are iconv names. Each is looked up in the table (the last matching row wins);
    // a name not in the table leaves its side as it was, and an empty side means the
    // character set of the current locale. A failure leaves a converter whose convert gives 0.
    void open(const std::string& targetName, const std::string& sourceName);

    // Converts `inLen` bytes into `out` (no terminator) and returns the bytes written, or 0
    // when the handle is invalid, the output does not fit or the input ends inside a character.
    uint32_t convert(const char* in, uint32_t inLen, char* out, uint32_t outLen);

    EncodingInfo target() const;
    EncodingInfo source() const;

  private:
    bool handleValid() const;

    mutable std::mutex mutex_;
    iconv_t handle_;
    EncodingInfo target_;
    EncodingInfo source_;
};

}  // namespace vorn
