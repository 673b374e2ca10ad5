#include "storage/sql_type_name.h"

#include <cstdint>
#include <string_view>

#include "storage/type_table.h"

namespace vorn {

namespace {

constexpr int32_t kVarHdrSz = 4;              // added to character lengths and numeric
constexpr int32_t kMaxCharLength = 10485760;  // the server's limit for char(n), varchar(n)
constexpr int32_t kMaxNumericPrecision = 1000;
constexpr int32_t kMaxTimePrecision = 6;

// Interval range bits: 1 << the field's token type in the server's date/time parser.
constexpr int32_t kMonth = 1 << 1, kYear = 1 << 2, kDay = 1 << 3, kHour = 1 << 10,
                  kMinute = 1 << 11, kSecond = 1 << 12;
constexpr int32_t kFullRange = 0x7FFF;
constexpr int32_t kFullPrecision = 0xFFFF;

std::string withNumber(std::string_view name, int32_t n) {
    std::string out(name);
    out += '(';
    out += std::to_string(n);
    out += ')';
    return out;
}

// char(n), varchar(n), nvarchar2(n): the length is stored plus 4.
std::string characterType(std::string_view name, std::string_view plain, int32_t typmod) {
    if (typmod <= kVarHdrSz || typmod - kVarHdrSz > kMaxCharLength)
        return std::string(plain);
    return withNumber(name, typmod - kVarHdrSz);
}

std::string bitType(std::string_view name, std::string_view plain, int32_t typmod) {
    return typmod > 0 ? withNumber(name, typmod) : std::string(plain);
}

std::string numericType(int32_t typmod) {
    if (typmod < kVarHdrSz)
        return "numeric";
    const int32_t packed = typmod - kVarHdrSz;
    const int32_t precision = (packed >> 16) & 0xFFFF;
    const int32_t scale = ((packed & 0x7FF) ^ 1024) - 1024;  // signed 11-bit field
    if (precision < 1 || precision > kMaxNumericPrecision || scale < -kMaxNumericPrecision ||
        scale > kMaxNumericPrecision)
        return "numeric";
    return "numeric(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
}

// time(p) with time zone, timestamp(p): the precision sits after the first word.
std::string timeType(std::string_view name, std::string_view zone, int32_t typmod) {
    std::string out(name);
    if (typmod >= 0 && typmod <= kMaxTimePrecision)
        out = withNumber(name, typmod);
    out += zone;
    return out;
}

std::string_view intervalFields(int32_t range) {
    switch (range) {
        case kYear:
            return " year";
        case kMonth:
            return " month";
        case kDay:
            return " day";
        case kHour:
            return " hour";
        case kMinute:
            return " minute";
        case kSecond:
            return " second";
        case kYear | kMonth:
            return " year to month";
        case kDay | kHour:
            return " day to hour";
        case kDay | kHour | kMinute:
            return " day to minute";
        case kDay | kHour | kMinute | kSecond:
            return " day to second";
        case kHour | kMinute:
            return " hour to minute";
        case kHour | kMinute | kSecond:
            return " hour to second";
        case kMinute | kSecond:
            return " minute to second";
        default:
            return {};
    }
}

// interval, interval(3), interval year to month, interval day to second(3). A precision
// belongs only after "second" or the bare word, where the grammar takes one.
std::string intervalType(int32_t typmod) {
    if (typmod < 0)
        return "interval";
    const int32_t range = (typmod >> 16) & 0x7FFF;
    const int32_t precision = typmod & 0xFFFF;
    const std::string_view fields =
        range == kFullRange ? std::string_view() : intervalFields(range);
    if (range != kFullRange && fields.empty())
        return "interval";
    std::string out = "interval";
    out += fields;
    if (precision == kFullPrecision)
        return out;
    if (precision > kMaxTimePrecision || (range != kFullRange && !(range & kSecond)))
        return "interval";
    return withNumber(out, precision);
}

}  // namespace

std::string bpcharName(int32_t typmod) {
    return characterType("char", "bpchar", typmod);  // plain char means char(1)
}
std::string varcharName(int32_t typmod) {
    return characterType("varchar", "varchar", typmod);
}
std::string nvarchar2Name(int32_t typmod) {
    return characterType("nvarchar2", "nvarchar2", typmod);
}
std::string bitName(int32_t typmod) {
    return bitType("bit", "\"bit\"", typmod);  // unquoted, bit is bit(1)
}
std::string varbitName(int32_t typmod) {
    return bitType("varbit", "varbit", typmod);
}
std::string numericName(int32_t typmod) {
    return numericType(typmod);
}
std::string timeName(int32_t typmod) {
    return timeType("time", "", typmod);
}
std::string timetzName(int32_t typmod) {
    return timeType("time", " with time zone", typmod);
}
std::string timestampName(int32_t typmod) {
    return timeType("timestamp", "", typmod);
}
std::string timestamptzName(int32_t typmod) {
    return timeType("timestamp", " with time zone", typmod);
}
std::string intervalName(int32_t typmod) {
    return intervalType(typmod);
}

namespace {

std::string nameOf(const TypeInfo& type, int32_t typmod) {
    if (type.typmodName != nullptr)
        return type.typmodName(typmod);
    return type.sqlName != nullptr ? std::string(type.sqlName) : std::string();
}

}  // namespace

std::string sqlTypeName(const ColumnDef& column) {
    const TypeInfo* type = findType(column.atttypid);
    if (type == nullptr)
        return {};
    if (type->element == 0)
        return nameOf(*type, column.atttypmod);
    // varchar(20)[]: the modifier belongs to the element, the brackets follow it.
    const TypeInfo* element = findType(type->element);
    std::string name = element != nullptr ? nameOf(*element, column.atttypmod) : std::string();
    if (!name.empty())
        name += "[]";
    return name;
}

}  // namespace vorn
