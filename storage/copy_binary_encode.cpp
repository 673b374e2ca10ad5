#include "storage/copy_binary_encode.h"

#include <cstring>

#include "storage/byte_reader.h"
#include "storage/type_table.h"
#include "storage/value_text.h"

namespace vorn {

namespace {

// One field of `width` bytes: the length word, then room for the body.
uint8_t* beginFixed(CopyBinaryBuffer& out, uint32_t width) {
    uint8_t* p = out.ensure(4 + width);
    storeBE32(p, width);
    out.advance(4 + width);
    return p + 4;
}

void encodeByte(uint8_t byte, CopyBinaryBuffer& out) {
    *beginFixed(out, 1) = byte;
}

void encode32(uint32_t v, CopyBinaryBuffer& out) {
    storeBE32(beginFixed(out, 4), v);
}

}  // namespace

bool encodeBinaryBool(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 1)
        return false;
    encodeByte(value[0] != 0 && value[0] != 'f' ? 1 : 0, out);
    return true;
}

bool encodeBinaryChar(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    // An empty "char" is the zero byte, which the server sends as one byte like any other.
    if (length > 1)
        return false;
    encodeByte(length == 1 ? value[0] : 0, out);
    return true;
}

bool encodeBinaryTinyint(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 1)
        return false;
    encodeByte(value[0], out);
    return true;
}

bool encodeBinaryInt16(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 2)
        return false;
    storeBE16(beginFixed(out, 2), loadLE<uint16_t>(value));
    return true;
}

bool encodeBinaryInt32(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 4)
        return false;
    encode32(loadLE<uint32_t>(value), out);
    return true;
}

bool encodeBinaryXid(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length == 4) {
        encode32(loadLE<uint32_t>(value), out);
        return true;
    }
    // U pages keep xid in 64 bits; the type's send form (xidsend) has 32.
    if (length == 8) {
        const uint64_t xid = loadLE<uint64_t>(value);
        if (xid >> 32 == 0) {
            encode32(static_cast<uint32_t>(xid), out);
            return true;
        }
    }
    return false;
}

bool encodeBinaryInt64(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 8)
        return false;
    storeBE64(beginFixed(out, 8), loadLE<uint64_t>(value));
    return true;
}

bool encodeBinaryXml(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length == 0 || (value[0] != '<' && value[0] != '\n'))
        return encodeBinaryBytes(value, length, out);
    return encodeBinaryXmlDeclaring(value, length, {}, out);
}

bool encodeBinaryXmlDeclaring(const uint8_t* value, uint32_t length, std::string_view encoding,
                              CopyBinaryBuffer& out) {
    std::string printed;
    appendXmlAsPrinted(std::string_view(reinterpret_cast<const char*>(value), length), printed,
                       encoding);
    if (printed.size() > INT32_MAX)
        return false;
    out.appendField(reinterpret_cast<const uint8_t*>(printed.data()), printed.size());
    return true;
}

bool encodeBinaryDate(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 4 || !binaryDateInRange(loadLE<int32_t>(value)))
        return false;
    encode32(loadLE<uint32_t>(value), out);
    return true;
}

bool encodeBinaryTime(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 8 || !binaryTimeInRange(loadLE<int64_t>(value)))
        return false;
    storeBE64(beginFixed(out, 8), loadLE<uint64_t>(value));
    return true;
}

bool encodeBinaryTimestamp(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 8 || !binaryTimestampInRange(loadLE<int64_t>(value)))
        return false;
    storeBE64(beginFixed(out, 8), loadLE<uint64_t>(value));
    return true;
}

bool encodeBinaryTimestampTz(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    return encodeBinaryTimestamp(value, length, out);
}

// Each part swapped on its own: the 12 or 16 bytes are not one big-endian number.
bool encodeBinaryTimeTz(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 12 || !binaryTimeInRange(loadLE<int64_t>(value)) ||
        !binaryZoneInRange(loadLE<int32_t>(value + 8)))
        return false;
    uint8_t* p = beginFixed(out, 12);
    storeBE64(p, loadLE<uint64_t>(value));          // microseconds
    storeBE32(p + 8, loadLE<uint32_t>(value + 8));  // zone offset
    return true;
}

bool encodeBinaryInterval(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length != 16)
        return false;
    uint8_t* p = beginFixed(out, 16);
    storeBE64(p, loadLE<uint64_t>(value));            // microseconds
    storeBE32(p + 8, loadLE<uint32_t>(value + 8));    // days
    storeBE32(p + 12, loadLE<uint32_t>(value + 12));  // months
    return true;
}

// Stored: int32 bit count (little-endian), then the bits, most significant first.
bool encodeBinaryBit(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length < 4)
        return false;
    const auto bits = static_cast<int32_t>(loadLE<uint32_t>(value));
    // bit_recv takes exactly (bits + 7) / 8 bytes after the count; bytes past them are fill
    // no server writes and are left out.
    const uint32_t bytes = bits < 0 ? UINT32_MAX : (static_cast<uint32_t>(bits) + 7) / 8;
    if (bytes > length - 4)
        return false;
    uint8_t* p = out.ensure(8 + size_t(bytes));
    storeBE32(p, 4 + bytes);
    storeBE32(p + 4, static_cast<uint32_t>(bits));
    if (bytes != 0)
        std::memcpy(p + 8, value + 4, bytes);
    out.advance(8 + size_t(bytes));
    return true;
}

// A 64-byte slot, NUL-padded. The server's names hold at most 63 bytes; 64 without a NUL
// is damage that namerecv would refuse.
bool encodeBinaryName(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    constexpr uint32_t kNameDataLen = 64;
    const void* nul = length != 0 ? std::memchr(value, 0, length) : nullptr;
    if (nul == nullptr && length >= kNameDataLen)
        return false;
    const size_t n =
        nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - value) : length;
    out.appendField(value, n);
    return true;
}

bool encodeBinaryBytes(const uint8_t* value, uint32_t length, CopyBinaryBuffer& out) {
    if (length > INT32_MAX)
        return false;
    out.appendField(value, length);
    return true;
}

BinaryEncodeFn binaryEncoderFor(const ColumnDef& column) {
    const TypeInfo* type = findType(column.atttypid);
    return type != nullptr ? type->binary.encoder : nullptr;
}

BinaryFieldKind binaryFieldKindFor(const ColumnDef& column) {
    const TypeInfo* type = findType(column.atttypid);
    return type != nullptr ? type->binary.kind : BinaryFieldKind::kNull;
}

uint16_t copyFieldCount(const ColumnLayout& columns) {
    uint16_t fields = 0;
    for (const ColumnDef& column : columns)
        if (isCopyField(column))
            ++fields;
    return fields;
}

}  // namespace vorn
