#include "tests/storage/support/copy_binary.h"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "storage/column_def.h"
#include "storage/value_text.h"

namespace vorn::test {

namespace {

constexpr std::string_view kSignature("PGCOPY\n\377\r\n\0", 11);
constexpr uint32_t kWithOids = 1u << 16;
constexpr uint32_t kUuid = 2950;

class BigEndianReader {
  public:
    explicit BigEndianReader(std::string_view bytes) : bytes_(bytes) {}

    size_t offset() const { return offset_; }
    std::string_view take(size_t n) {
        if (n > bytes_.size() - offset_)
            throw std::runtime_error(
                fmt::format("PGCOPY data ends at byte {}: {} more expected", bytes_.size(), n));
        std::string_view out = bytes_.substr(offset_, n);
        offset_ += n;
        return out;
    }
    int32_t int32() {
        const std::string_view b = take(4);
        return static_cast<int32_t>(uint32_t(uint8_t(b[0])) << 24 | uint32_t(uint8_t(b[1])) << 16 |
                                    uint32_t(uint8_t(b[2])) << 8 | uint32_t(uint8_t(b[3])));
    }
    int16_t int16() {
        const std::string_view b = take(2);
        return static_cast<int16_t>(uint16_t(uint8_t(b[0])) << 8 | uint16_t(uint8_t(b[1])));
    }

  private:
    std::string_view bytes_;
    size_t offset_ = 0;
};

std::string reversed(std::string_view bytes) {
    return std::string(bytes.rbegin(), bytes.rend());
}

uint16_t loadU16(std::string_view bytes, size_t at) {
    return static_cast<uint16_t>(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8);
}

void appendU16(std::string& out, uint16_t v) {
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xFF);
}

// Stored numeric: a 2-byte header (short form, and NaN/±Infinity, with bit 15 set) or a
// 4-byte one (sign and display scale, then the weight), then base-10000 digits, all
// little-endian. Send form: ndigits, weight, sign, dscale, digits, all big-endian int16.
std::optional<std::string> numericToSend(std::string_view stored) {
    if (stored.size() < 2)
        return std::string(stored);
    const uint16_t header = loadU16(stored, 0);
    uint16_t sign, dscale;
    int16_t weight;
    size_t digitsAt;
    if (header & 0x8000) {
        // Weight is 7-bit two's complement in bits 0-6, the scale in bits 7-12.
        weight = static_cast<int16_t>((header & 0x0040) ? (header & 0x3F) - 64 : (header & 0x3F));
        dscale = (header & 0x1F80) >> 7;
        sign = header >= 0xC000 ? (header & 0xF000) : ((header & 0x2000) ? 0x4000 : 0);
        digitsAt = 2;
    } else {
        if (stored.size() < 4)
            return std::string(stored);
        sign = header & 0xC000;
        dscale = header & 0x3FFF;
        weight = static_cast<int16_t>(loadU16(stored, 2));
        digitsAt = 4;
    }
    const size_t ndigits = (stored.size() - digitsAt) / 2;
    std::string out;
    appendU16(out, static_cast<uint16_t>(ndigits));
    appendU16(out, static_cast<uint16_t>(weight));
    appendU16(out, sign);
    appendU16(out, dscale);
    for (size_t i = 0; i < ndigits; ++i)
        appendU16(out, loadU16(stored, digitsAt + 2 * i));
    return out;
}

// Fields swapped one by one; bytes that do not fit the layout are passed on unchanged, so a
// stored value of the wrong width shows as a mismatch.
std::string swapFields(std::string_view stored, std::initializer_list<size_t> widths) {
    size_t total = 0;
    for (size_t w : widths)
        total += w;
    if (stored.size() != total)
        return std::string(stored);
    std::string out;
    size_t at = 0;
    for (size_t w : widths) {
        out += reversed(stored.substr(at, w));
        at += w;
    }
    return out;
}

}  // namespace

CopyBinaryFile parseCopyBinary(std::string_view bytes) {
    BigEndianReader in(bytes);
    if (in.take(kSignature.size()) != kSignature)
        throw std::runtime_error("not a PGCOPY file: bad signature");
    CopyBinaryFile file;
    file.withOids = (static_cast<uint32_t>(in.int32()) & kWithOids) != 0;
    const int32_t extension = in.int32();
    if (extension < 0)
        throw std::runtime_error("PGCOPY header extension length is negative");
    in.take(static_cast<size_t>(extension));
    for (;;) {
        const size_t rowAt = in.offset();
        const int16_t fields = in.int16();
        if (fields == -1)
            break;
        if (fields < 0)
            throw std::runtime_error(
                fmt::format("PGCOPY row at byte {}: {} fields", rowAt, fields));
        if (file.withOids) {
            const int32_t oidLength = in.int32();
            in.take(oidLength < 0 ? 0 : size_t(oidLength));
        }
        CopyRow row;
        row.reserve(size_t(fields));
        for (int16_t f = 0; f < fields; ++f) {
            const int32_t length = in.int32();
            if (length == -1) {
                row.emplace_back();
            } else if (length < 0) {
                throw std::runtime_error(
                    fmt::format("PGCOPY field at byte {}: length {}", in.offset() - 4, length));
            } else {
                row.emplace_back(std::string(in.take(size_t(length))));
            }
        }
        file.rows.push_back(std::move(row));
    }
    return file;
}

CopyBinaryFile readCopyBinaryFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::ostringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    try {
        return parseCopyBinary(bytes);
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

std::optional<std::string> storedToSend(uint32_t typeOid, std::string_view stored,
                                        std::string_view xmlEncoding) {
    switch (typeOid) {
        case typeoid::kXml: {  // as printed: the server's declaration rule (XmlOutput tests)
            std::string sent;
            appendXmlAsPrinted(stored, sent, xmlEncoding);
            return sent;
        }
        case typeoid::kText:
        case typeoid::kVarchar:
        case typeoid::kBpchar:
        case typeoid::kBytea:
        case typeoid::kJson:
        case kUuid:
        case typeoid::kChar:
        case typeoid::kBool:
            return std::string(stored);
        case typeoid::kInt2:
        case typeoid::kInt4:
        case typeoid::kInt8:
        case typeoid::kOid:
        case typeoid::kXid:
        case typeoid::kFloat4:
        case typeoid::kFloat8:
        case typeoid::kMoney:
        case typeoid::kDate:
        case typeoid::kTime:
        case typeoid::kTimestamp:
        case typeoid::kTimestampTz:
            return reversed(stored);
        case typeoid::kInterval:  // int64 microseconds, int32 days, int32 months
            return swapFields(stored, {8, 4, 4});
        case typeoid::kTimeTz:  // int64 microseconds, int32 zone offset in seconds
            return swapFields(stored, {8, 4});
        case typeoid::kName:
            return std::string(stored.substr(0, std::min(stored.find('\0'), stored.size())));
        case typeoid::kNumeric:
            return numericToSend(stored);
        case typeoid::kBit:
        case typeoid::kVarbit:  // int32 bit count, then the bit bytes as stored
            if (stored.size() < 4)
                return std::string(stored);
            return reversed(stored.substr(0, 4)) + std::string(stored.substr(4));
        default:
            return std::nullopt;
    }
}

std::string hexPrefix(const std::optional<std::string>& value) {
    if (!value)
        return "NULL";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const size_t n = std::min<size_t>(value->size(), 32);
    for (size_t i = 0; i < n; ++i) {
        out += digits[uint8_t((*value)[i]) >> 4];
        out += digits[uint8_t((*value)[i]) & 15];
    }
    if (value->size() > n)
        out += "...";
    return out + " (" + std::to_string(value->size()) + " bytes)";
}

}  // namespace vorn::test
