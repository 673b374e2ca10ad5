// Byte-valued outputs: text and its kin, bool, "char", name, bytea, blob and bit strings.

#include <array>

#include "storage/byte_reader.h"
#include "storage/storage_settings.h"
#include "storage/value_text.h"

namespace vorn {

namespace {

// "00".."ff" (or "FF"), two characters per byte value.
constexpr std::array<char, 512> hexPairs(const char* alphabet) {
    std::array<char, 512> table{};
    for (int i = 0; i < 256; ++i) {
        table[2 * i] = alphabet[i >> 4];
        table[2 * i + 1] = alphabet[i & 15];
    }
    return table;
}
constexpr std::array<char, 512> kLowerHex = hexPairs("0123456789abcdef");
constexpr std::array<char, 512> kUpperHex = hexPairs("0123456789ABCDEF");

void appendHex(const uint8_t* value, uint32_t length, const std::array<char, 512>& pairs,
               TextBuffer& out) {
    char* p = out.ensure(2 * size_t(length));
    for (uint32_t i = 0; i < length; ++i, p += 2)
        std::memcpy(p, &pairs[2 * size_t(value[i])], 2);
    out.advance(2 * size_t(length));
}

// "char" prints bytes from 0x80 as octal escapes from this server version on.
constexpr int16_t kCharOctalFromMajor = 15;

}  // namespace

bool outputText(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    out.append(value, length);
    return true;
}

bool outputBool(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < 1)
        return false;
    out.push_back(value[0] != 0 && value[0] != 'f' ? 't' : 'f');
    return true;
}

bool outputChar(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < 1)
        return false;
    const uint8_t c = value[0];
    if (c == 0)
        return true;  // the server's charout gives the empty string
    if (c < 0x80 || serverVersion.major < kCharOctalFromMajor) {
        out.push_back(static_cast<char>(c));
        return true;
    }
    const char escaped[4] = {'\\', static_cast<char>('0' + (c >> 6)),
                             static_cast<char>('0' + ((c >> 3) & 7)),
                             static_cast<char>('0' + (c & 7))};
    out.append(escaped, sizeof escaped);
    return true;
}

bool outputName(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    constexpr uint32_t kNameBytes = 64;  // NAMEDATALEN: always stored in full
    if (length < kNameBytes)
        return false;
    const void* nul = std::memchr(value, 0, kNameBytes);
    out.append(value, nul ? static_cast<const uint8_t*>(nul) - value : kNameBytes);
    return true;
}

bool outputBytea(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    out.append("\\x", 2);
    appendHex(value, length, kLowerHex, out);
    return true;
}

bool outputBlobHex(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    appendHex(value, length, kUpperHex, out);
    return true;
}

bool outputBit(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < 4)
        return false;
    const int32_t bits = loadLE<int32_t>(value);
    // The count must fit the bytes that follow it: a damaged one would read past the value.
    if (bits < 0 || (uint64_t(bits) + 7) / 8 > length - 4)
        return false;
    const uint8_t* data = value + 4;
    char* p = out.ensure(size_t(bits));
    for (int32_t i = 0; i < bits; ++i)
        p[i] = static_cast<char>('0' + ((data[i >> 3] >> (7 - (i & 7))) & 1));
    out.advance(size_t(bits));
    return true;
}

}  // namespace vorn
