#include "storage/sql_type_name.h"

#include <cstdint>
#include <string_view>

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

std::string sqlTypeName(const ColumnDef& column) {
    const int32_t typmod = column.atttypmod;
    switch (column.atttypid) {
        case 16:
            return "boolean";
        case 17:
            return "bytea";
        case 18:
            return "\"char\"";  // unquoted, char is char(1)
        case 19:
            return "name";
        case 20:
            return "bigint";
        case 21:
            return "smallint";
        case 22:
            return "int2vector";
        case 23:
            return "integer";
        case 24:
            return "regproc";
        case 25:
            return "text";
        case 26:
            return "oid";
        case 27:
            return "tid";
        case 28:
            return "xid";
        case 29:
            return "cid";
        case 31:
            return "xid32";
        case 88:
            return "blob";
        case 90:
            return "clob";
        case 114:
            return "json";
        case 142:
            return "xml";
        case 194:
            return "pg_node_tree";
        case 700:
            return "real";
        case 701:
            return "double precision";
        case 790:
            return "money";
        case 1009:
            return "text[]";
        case 1034:
            return "aclitem[]";
        case 1042:
            return characterType("char", "bpchar", typmod);  // plain char means char(1)
        case 1043:
            return characterType("varchar", "varchar", typmod);
        case 1082:
            return "date";
        case 1083:
            return timeType("time", "", typmod);
        case 1114:
            return timeType("timestamp", "", typmod);
        case 1184:
            return timeType("timestamp", " with time zone", typmod);
        case 1186:
            return intervalType(typmod);
        case 1266:
            return timeType("time", " with time zone", typmod);
        case 1560:
            return bitType("bit", "\"bit\"", typmod);  // unquoted, bit is bit(1)
        case 1562:
            return bitType("varbit", "varbit", typmod);
        case 1700:
            return numericType(typmod);
        case 3802:
            return "jsonb";
        case 3969:
            return characterType("nvarchar2", "nvarchar2", typmod);
        case 5545:
            return "tinyint";
        case 9876:
            return "datetime";
        default:
            return {};
    }
}

}  // namespace vorn
