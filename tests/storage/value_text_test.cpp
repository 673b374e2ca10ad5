// The text outputs on hand-built stored values: edge values of every type, the layouts that
// depend on the server version, and bytes that cannot be a value (those must give false and
// append nothing). Each value is copied into a heap block of exactly its length, so that a
// read past it shows under AddressSanitizer.

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "storage/storage_settings.h"
#include "storage/value_text.h"

namespace vorn::test {
namespace {

using namespace typeoid;

template <typename T>
std::string le(T v) {
    std::string s(sizeof v, '\0');
    std::memcpy(s.data(), &v, sizeof v);
    return s;
}

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list)
        s += static_cast<char>(b);
    return s;
}

std::string numericShort(bool negative, int scale, int weight, std::vector<int16_t> groups) {
    const auto header =
        static_cast<uint16_t>(0x8000 | (negative ? 0x2000 : 0) | (scale << 7) | (weight & 0x7F));
    std::string s = le(header);
    for (int16_t g : groups)
        s += le(g);
    return s;
}

std::string numericLong(bool negative, int scale, int16_t weight, std::vector<int16_t> groups) {
    std::string s = le(static_cast<uint16_t>((negative ? 0x4000 : 0) | scale)) + le(weight);
    for (int16_t g : groups)
        s += le(g);
    return s;
}

std::string bitString(int32_t count, std::initializer_list<int> data) {
    return le(count) + bytes(data);
}

std::string timeTz(int64_t usecs, int32_t zone) {
    return le(usecs) + le(zone);
}

std::string interval(int64_t usecs, int32_t days, int32_t months) {
    return le(usecs) + le(days) + le(months);
}

constexpr int64_t kSecond = 1000000, kHour = 3600 * kSecond, kDay = 24 * kHour;

// nullopt when the output refused the value. Checks that a refusal appended nothing.
std::optional<std::string> render(uint32_t type, const std::string& stored) {
    ColumnDef column;
    column.atttypid = type;
    const TextOutputFn output = textOutputFor(column);
    if (output == nullptr) {
        ADD_FAILURE() << "no output for type " << type;
        return std::nullopt;
    }
    std::unique_ptr<uint8_t[]> exact(new uint8_t[stored.size()]);
    std::memcpy(exact.get(), stored.data(), stored.size());
    TextBuffer out;
    out.append("<", 1);
    if (!output(exact.get(), static_cast<uint32_t>(stored.size()), column, out)) {
        EXPECT_EQ(out.view(), "<") << "type " << type << ": a refused value left output";
        return std::nullopt;
    }
    return std::string(out.view().substr(1));
}

struct Case {
    const char* what;
    uint32_t type;
    std::string stored;
    std::optional<std::string> want;  // nullopt: cannot be decoded
};

class ValueText : public ::testing::Test {
  protected:
    void SetUp() override { saved_ = serverVersion; }
    void TearDown() override { serverVersion = saved_; }

    void check(const std::vector<Case>& cases) {
        for (const Case& c : cases)
            EXPECT_EQ(render(c.type, c.stored), c.want) << c.what;
    }

  private:
    ServerVersion saved_;
};

const std::optional<std::string> kRefused;

TEST_F(ValueText, Floats) {
    const float f4Denormal = std::numeric_limits<float>::denorm_min();
    check({
        {"f4 0.1", kFloat4, le(0.1f), "0.1"},
        {"f4 1.5", kFloat4, le(1.5f), "1.5"},
        {"f4 1e6 is the first in e notation", kFloat4, le(1e6f), "1e+06"},
        {"f4 999999", kFloat4, le(999999.0f), "999999"},
        {"f4 100000", kFloat4, le(100000.0f), "100000"},
        {"f4 123456.79", kFloat4, le(123456.79f), "123456.79"},
        {"f4 2^24", kFloat4, le(16777216.0f), "1.6777216e+07"},
        {"f4 1e-4 still fixed", kFloat4, le(0.0001f), "0.0001"},
        {"f4 1e-5", kFloat4, le(1e-5f), "1e-05"},
        {"f4 1.5e-7", kFloat4, le(1.5e-7f), "1.5e-07"},
        {"f4 1e20", kFloat4, le(1e20f), "1e+20"},
        // Shorter digits exist that lie exactly halfway to a neighbour: the server takes none.
        {"f4 halfway digits refused", kFloat4, le(5.6875352e+07f), "5.6875352e+07"},
        {"f4 halfway digits refused, negative", kFloat4, le(-7.2118416e+07f), "-7.2118416e+07"},
        {"f4 123456.5", kFloat4, le(123456.5f), "123456.5"},
        {"f4 1234567.5", kFloat4, le(1234567.5f), "1.2345675e+06"},
        {"f4 max", kFloat4, le(FLT_MAX), "3.4028235e+38"},
        {"f4 -max", kFloat4, le(-FLT_MAX), "-3.4028235e+38"},
        {"f4 min normal", kFloat4, le(FLT_MIN), "1.1754944e-38"},
        {"f4 denormal", kFloat4, le(f4Denormal), "1e-45"},
        {"f4 0", kFloat4, le(0.0f), "0"},
        {"f4 -0", kFloat4, le(-0.0f), "-0"},
        {"f4 NaN", kFloat4, le(std::numeric_limits<float>::quiet_NaN()), "NaN"},
        {"f4 inf", kFloat4, le(std::numeric_limits<float>::infinity()), "Infinity"},
        {"f4 -inf", kFloat4, le(-std::numeric_limits<float>::infinity()), "-Infinity"},
        {"f4 short", kFloat4, bytes({0, 0, 0}), kRefused},
        {"f8 0.1", kFloat8, le(0.1), "0.1"},
        {"f8 0.1+0.2", kFloat8, le(0.1 + 0.2), "0.30000000000000004"},
        {"f8 1e14 fixed", kFloat8, le(1e14), "100000000000000"},
        {"f8 1e15", kFloat8, le(1e15), "1e+15"},
        {"f8 2^53", kFloat8, le(9007199254740992.0), "9.007199254740992e+15"},
        {"f8 17 digits fixed", kFloat8, le(123456789012345.67), "123456789012345.67"},
        {"f8 123456789.12345679", kFloat8, le(123456789.12345679), "123456789.12345679"},
        {"f8 1e20", kFloat8, le(1e20), "1e+20"},
        {"f8 halfway digits refused", kFloat8, le(2.1381375867702992e+16),
         "2.1381375867702992e+16"},
        {"f8 halfway digits refused, e+19", kFloat8, le(8.935515797823999e+19),
         "8.935515797823999e+19"},
        {"f8 -2.25", kFloat8, le(-2.25), "-2.25"},
        {"f8 4999999.5", kFloat8, le(4999999.5), "4999999.5"},
        {"f8 12.375", kFloat8, le(12.375), "12.375"},
        {"f8 2^-8", kFloat8, le(0.00390625), "0.00390625"},
        {"f8 2^-9", kFloat8, le(0.001953125), "0.001953125"},
        {"f8 15 nines", kFloat8, le(999999999999999.0), "999999999999999"},
        {"f8 15 nines and a half", kFloat8, le(999999999999999.5), "999999999999999.5"},
        {"f8 integer with zeros", kFloat8, le(-120000.0), "-120000"},
        {"f8 2.5e-5", kFloat8, le(2.5e-5), "2.5e-05"},
        {"f8 1e-300", kFloat8, le(1e-300), "1e-300"},
        {"f8 max", kFloat8, le(DBL_MAX), "1.7976931348623157e+308"},
        {"f8 min normal", kFloat8, le(DBL_MIN), "2.2250738585072014e-308"},
        {"f8 denormal", kFloat8, le(std::numeric_limits<double>::denorm_min()), "5e-324"},
        {"f8 -0", kFloat8, le(-0.0), "-0"},
        {"f8 NaN", kFloat8, le(std::numeric_limits<double>::quiet_NaN()), "NaN"},
        {"f8 -inf", kFloat8, le(-std::numeric_limits<double>::infinity()), "-Infinity"},
        {"f8 short", kFloat8, le(1.0f), kRefused},
    });
}

TEST_F(ValueText, Numerics) {
    const std::vector<int16_t> forty = {1234, 5678, 9012, 3456, 7890, 1234, 5678, 9012, 3456, 7890};
    check({
        {"0 scale 2", kNumeric, numericShort(false, 2, 0, {}), "0.00"},
        {"0 scale 0", kNumeric, numericShort(false, 0, 0, {}), "0"},
        {"1.50 short", kNumeric, numericShort(false, 2, 0, {1, 5000}), "1.50"},
        {"1.50 long", kNumeric, numericLong(false, 2, 0, {1, 5000}), "1.50"},
        {"-12.5", kNumeric, numericShort(true, 1, 0, {12, 5000}), "-12.5"},
        {"-1234567890.0987654321", kNumeric,
         numericLong(true, 10, 2, {12, 3456, 7890, 987, 6543, 2100}), "-1234567890.0987654321"},
        {"10000: trailing group not stored", kNumeric, numericShort(false, 0, 1, {1}), "10000"},
        {"0.0001: negative weight", kNumeric, numericShort(false, 4, -1, {1}), "0.0001"},
        {"1e-9: groups before the first", kNumeric, numericShort(false, 9, -3, {1000}),
         "0.000000001"},
        {"stored digits past the scale are cut", kNumeric, numericShort(false, 2, 0, {3, 1415}),
         "3.14"},
        {"scale 0 drops the fraction", kNumeric, numericShort(false, 0, 0, {3, 1415}), "3"},
        {"40 digits", kNumeric, numericLong(false, 0, 9, forty),
         "1234567890123456789012345678901234567890"},
        {"1e40: big weight", kNumeric, numericLong(false, 0, 10, {1}), "1" + std::string(40, '0')},
        {"1e-40 with scale 44", kNumeric, numericLong(false, 44, -10, {1}),
         "0." + std::string(39, '0') + "1" + std::string(4, '0')},
        {"NaN", kNumeric, le(uint16_t(0xC000)), "NaN"},
        {"Infinity", kNumeric, le(uint16_t(0xD000)), "Infinity"},
        {"-Infinity", kNumeric, le(uint16_t(0xF000)), "-Infinity"},
        {"other special", kNumeric, le(uint16_t(0xE000)), kRefused},
        {"group above 9999", kNumeric, numericShort(false, 0, 1, {1, 10000}), kRefused},
        {"negative group", kNumeric, numericShort(false, 0, 0, {-1}), kRefused},
        {"group past the scale still checked", kNumeric, numericShort(false, 0, 0, {1, 12345}),
         kRefused},
        {"one byte", kNumeric, bytes({0x80}), kRefused},
        {"long header cut", kNumeric, bytes({0x02, 0x00, 0x00}), kRefused},
        {"half a group", kNumeric, numericShort(false, 0, 0, {1}) + bytes({1}), kRefused},
        {"empty", kNumeric, "", kRefused},
    });
}

TEST_F(ValueText, IntegersAndMoney) {
    check({
        {"bool 1", kBool, bytes({1}), "t"},
        {"bool 0", kBool, bytes({0}), "f"},
        {"bool 't'", kBool, "t", "t"},
        {"bool 'f'", kBool, "f", "f"},
        {"bool empty", kBool, "", kRefused},
        {"int2 min", kInt2, le(int16_t(INT16_MIN)), "-32768"},
        {"int2 short", kInt2, bytes({1}), kRefused},
        {"int4 min", kInt4, le(int32_t(INT32_MIN)), "-2147483648"},
        {"int4 max", kInt4, le(int32_t(INT32_MAX)), "2147483647"},
        {"int4 short", kInt4, bytes({1, 2, 3}), kRefused},
        {"int8 min", kInt8, le(int64_t(INT64_MIN)), "-9223372036854775808"},
        {"int8 short", kInt8, le(int32_t(1)), kRefused},
        {"oid is unsigned", kOid, le(uint32_t(4294967295u)), "4294967295"},
        {"xid32 is unsigned", kXid32, le(uint32_t(2147483648u)), "2147483648"},
        {"xid of 4 bytes", kXid, le(uint32_t(4294967295u)), "4294967295"},
        {"xid of 8 bytes", kXid, le(uint64_t(0xFFFFFFFFFFFFFFFFull)), "18446744073709551615"},
        {"xid of 8 bytes above 2^32", kXid, le(uint64_t(1099511627781ull)), "1099511627781"},
        {"xid short", kXid, bytes({1, 2}), kRefused},
        {"tinyint -1", kTinyint, bytes({0xFF}), "-1"},
        {"tinyint 127", kTinyint, bytes({0x7F}), "127"},
        {"tinyint -128", kTinyint, bytes({0x80}), "-128"},
        {"money 0", kMoney, le(int64_t(0)), "0.00"},
        {"money 0.01", kMoney, le(int64_t(1)), "0.01"},
        {"money -0.01", kMoney, le(int64_t(-1)), "-0.01"},
        {"money -1.23", kMoney, le(int64_t(-123)), "-1.23"},
        {"money 12345678.90", kMoney, le(int64_t(1234567890)), "12345678.90"},
        {"money max", kMoney, le(int64_t(INT64_MAX)), "92233720368547758.07"},
        {"money min", kMoney, le(int64_t(INT64_MIN)), "-92233720368547758.08"},
        {"money short", kMoney, le(int32_t(1)), kRefused},
    });
}

TEST_F(ValueText, BytesNamesAndBits) {
    const std::string fullName(64, 'n');
    check({
        {"text as it is", kText, std::string("a|b\\\t\0c", 7), std::string("a|b\\\t\0c", 7)},
        {"empty varchar", kVarchar, "", ""},
        {"bpchar keeps its blanks", kBpchar, "ab   ", "ab   "},
        {"bytea", kBytea, bytes({0xDE, 0xAD, 0xBE, 0xEF}), "\\xdeadbeef"},
        {"bytea with 00 and ff", kBytea, bytes({0x00, 0xFF, 0x5C}), "\\x00ff5c"},
        {"empty bytea", kBytea, "", "\\x"},
        {"blob", kBlob, bytes({0xDE, 0xAD, 0x0B}), "DEAD0B"},
        {"name padded", kName, "a_name" + std::string(58, '\0'), "a_name"},
        {"name of 64 bytes without NUL", kName, fullName, fullName},
        {"name bytes past 64 are not its", kName, fullName + "xyz", fullName},
        {"name short", kName, std::string(63, 'n'), kRefused},
        {"bit 101 of a byte", kBit, bitString(3, {0xA0}), "101"},
        {"low bits of the last byte not printed", kVarbit, bitString(3, {0xBF}), "101"},
        {"varbit of 12", kVarbit, bitString(12, {0xCA, 0xB0}), "110010101011"},
        {"bit(4) 1010", kBit, bitString(4, {0xA0}), "1010"},
        {"varbit empty", kVarbit, bitString(0, {}), ""},
        {"bit count beyond the bytes", kVarbit, bitString(9, {0xFF}), kRefused},
        {"bit count huge", kVarbit, bitString(INT32_MAX, {0xFF}), kRefused},
        {"bit count negative", kVarbit, bitString(-1, {0xFF}), kRefused},
        {"bit count cut", kBit, bytes({3, 0, 0}), kRefused},
    });
}

TEST_F(ValueText, CharFollowsTheServerVersion) {
    struct VersionCase {
        int16_t major;
        int byte;
        std::string want;
    };
    const std::vector<VersionCase> cases = {
        {15, 'a', "a"},
        {15, 0xC3, "\\303"},
        {15, 0x80, "\\200"},
        {18, 0xFF, "\\377"},
        {14, 0xC3, bytes({0xC3})},
        {10, 0xFF, bytes({0xFF})},
        {15, 0, ""},
        {14, 0, ""},
        {14, '\\', "\\"},
    };
    for (const VersionCase& c : cases) {
        serverVersion.major = c.major;
        EXPECT_EQ(render(kChar, bytes({c.byte})), c.want) << c.major << " byte " << c.byte;
    }
    EXPECT_EQ(render(kChar, ""), kRefused);
}

TEST_F(ValueText, DatesAndTimes) {
    check({
        {"date 0", kDate, le(int32_t(0)), "2000-01-01"},
        {"date -1", kDate, le(int32_t(-1)), "1999-12-31"},
        {"date leap day", kDate, le(int32_t(8825)), "2024-02-29"},
        {"date 0001-01-01", kDate, le(int32_t(-730119)), "0001-01-01"},
        {"date year 0 is 1 BC", kDate, le(int32_t(-730120)), "0001-12-31 BC"},
        {"date 44 BC", kDate, le(int32_t(-746117)), "0044-03-15 BC"},
        {"date Julian day 0", kDate, le(int32_t(-2451545)), "4714-11-24 BC"},
        {"date largest", kDate, le(int32_t(2145031948)), "5874897-12-31"},
        {"date infinity", kDate, le(int32_t(INT32_MAX)), "infinity"},
        {"date -infinity", kDate, le(int32_t(INT32_MIN)), "-infinity"},
        {"date before Julian day 0", kDate, le(int32_t(-2451546)), kRefused},
        {"date whose Julian day overflows", kDate, le(int32_t(INT32_MAX - 1)), kRefused},
        {"date short", kDate, bytes({0, 0}), kRefused},
        {"time 0", kTime, le(int64_t(0)), "00:00:00"},
        {"time 24:00:00", kTime, le(kDay), "24:00:00"},
        {"time last microsecond", kTime, le(kDay - 1), "23:59:59.999999"},
        {"time 120 us", kTime, le(int64_t(3723 * kSecond + 120)), "01:02:03.00012"},
        {"time half a second", kTime, le(int64_t(kSecond / 2)), "00:00:00.5"},
        {"time past 24:00:00", kTime, le(kDay + 1), kRefused},
        {"time negative", kTime, le(int64_t(-1)), kRefused},
        {"timetz +05:30", kTimeTz, timeTz(12 * kHour, -19800), "12:00:00+05:30"},
        {"timetz -08", kTimeTz, timeTz(12 * kHour, 28800), "12:00:00-08"},
        {"timetz +00", kTimeTz, timeTz(0, 0), "00:00:00+00"},
        {"timetz seconds in the offset", kTimeTz, timeTz(12 * kHour, -3723), "12:00:00+01:02:03"},
        {"timetz 30 s west", kTimeTz, timeTz(12 * kHour, 30), "12:00:00-00:00:30"},
        {"timetz widest zone", kTimeTz, timeTz(kDay - 1, 57599), "23:59:59.999999-15:59:59"},
        {"timetz zone out of range", kTimeTz, timeTz(0, 57600), kRefused},
        {"timetz time out of range", kTimeTz, timeTz(kDay + 1, 0), kRefused},
        {"timetz without zone", kTimeTz, le(int64_t(0)), kRefused},
        {"timestamp 0", kTimestamp, le(int64_t(0)), "2000-01-01 00:00:00"},
        {"timestamp -1 us", kTimestamp, le(int64_t(-1)), "1999-12-31 23:59:59.999999"},
        {"timestamp 1 BC", kTimestamp, le(int64_t(-63113904000000000)), "0001-01-01 00:00:00 BC"},
        {"timestamp 44 BC", kTimestamp, le(int64_t(-746117 * kDay + 12 * kHour)),
         "0044-03-15 12:00:00 BC"},
        {"timestamp six-digit year", kTimestamp, le(int64_t(9223371331199999999)),
         "294276-12-31 23:59:59.999999"},
        {"timestamp infinity", kTimestamp, le(int64_t(INT64_MAX)), "infinity"},
        {"timestamp -infinity", kTimestamp, le(int64_t(INT64_MIN)), "-infinity"},
        {"timestamp before Julian day 0", kTimestamp, le(int64_t(-2451545 * kDay - 1)), kRefused},
        {"timestamp lowest", kTimestamp, le(int64_t(-2451545 * kDay)), "4714-11-24 00:00:00 BC"},
        {"timestamp short", kTimestamp, le(int32_t(0)), kRefused},
        {"timestamptz 0", kTimestampTz, le(int64_t(0)), "2000-01-01 00:00:00+00"},
        {"timestamptz fraction before zone", kTimestampTz, le(int64_t(kSecond / 2)),
         "2000-01-01 00:00:00.5+00"},
        {"timestamptz BC after zone", kTimestampTz, le(int64_t(-746117 * kDay + 12 * kHour)),
         "0044-03-15 12:00:00+00 BC"},
        {"timestamptz -infinity", kTimestampTz, le(int64_t(INT64_MIN)), "-infinity"},
    });
}

// datetime (9876): year * 13 + month from bit 46, day 41, hour 36, minute 30, second 24.
int64_t packedDatetime(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                       int64_t second, int64_t usecs) {
    return (year * 13 + month) << 46 | day << 41 | hour << 36 | minute << 30 | second << 24 | usecs;
}

TEST_F(ValueText, Datetime) {
    const int64_t leap = packedDatetime(2024, 2, 29, 13, 14, 15, 123);
    check({
        {"datetime", kDatetime, le(leap), "2024-02-29 13:14:15.000123"},
        {"datetime BC", kDatetime, le(-packedDatetime(44, 3, 15, 0, 0, 0, 0)),
         "0044-03-15 00:00:00.000000 BC"},
        {"datetime all bits", kDatetime, le(int64_t(INT64_MIN)), "10082-06-00 00:00:00.000000 BC"},
        {"datetime short", kDatetime, le(int32_t(0)), kRefused},
    });
}

TEST_F(ValueText, IntervalsInPostgresStyle) {
    serverVersion.major = 17;
    const int64_t hms = (4 * 3600 + 5 * 60 + 6) * kSecond + 789000;
    check({
        {"zero", kInterval, interval(0, 0, 0), "00:00:00"},
        {"one month", kInterval, interval(0, 0, 1), "1 mon"},
        {"14 months 3 days", kInterval, interval(0, 3, 14), "1 year 2 mons 3 days"},
        {"with time", kInterval, interval(hms - 789000, 3, 14), "1 year 2 mons 3 days 04:05:06"},
        {"-1 day +1 hour", kInterval, interval(kHour, -1, 0), "-1 days +01:00:00"},
        {"1 mon -1 days", kInterval, interval(0, -1, 1), "1 mon -1 days"},
        {"-1 years +1 day", kInterval, interval(0, 1, -12), "-1 years +1 day"},
        {"all negative but days", kInterval, interval(-hms, 3, -14),
         "-1 years -2 mons +3 days -04:05:06.789"},
        {"-1 second", kInterval, interval(-kSecond, 0, 0), "-00:00:01"},
        {"-1 microsecond", kInterval, interval(-1, 0, 0), "-00:00:00.000001"},
        {"1 day -1 second", kInterval, interval(-kSecond, 1, 0), "1 day -00:00:01"},
        {"-1 mons +1 day", kInterval, interval(0, 1, -1), "-1 mons +1 day"},
        {"hours beyond two digits", kInterval, interval(100 * kHour + kSecond / 2, 0, 0),
         "100:00:00.5"},
        {"largest time", kInterval, interval(INT64_MAX, 0, 0), "2562047788:00:54.775807"},
        {"smallest time", kInterval, interval(INT64_MIN, 0, 0), "-2562047788:00:54.775808"},
        {"smallest months", kInterval, interval(0, 0, INT32_MIN), "-178956970 years -8 mons"},
        {"infinity", kInterval, interval(INT64_MAX, INT32_MAX, INT32_MAX), "infinity"},
        {"-infinity", kInterval, interval(INT64_MIN, INT32_MIN, INT32_MIN), "-infinity"},
        {"short", kInterval, le(int64_t(0)) + le(int32_t(0)), kRefused},
    });
    // Before 17 the same bits are an ordinary interval.
    serverVersion.major = 16;
    EXPECT_EQ(render(kInterval, interval(INT64_MAX, INT32_MAX, INT32_MAX)),
              "178956970 years 7 mons 2147483647 days 2562047788:00:54.775807");
}

// Damaged bytes of every length up to 40, for every output: under AddressSanitizer a read
// past the value or a write past the room an output asked for fails here; render() checks
// that a refusal leaves nothing behind.
TEST_F(ValueText, RandomBytesStayInsideTheValue) {
    std::mt19937 random(20240229);
    for (uint32_t type : {kBool,   kBytea,   kChar,      kName,        kInt8,     kInt2,   kInt4,
                          kText,   kOid,     kXid,       kXid32,       kFloat4,   kFloat8, kMoney,
                          kDate,   kTime,    kTimestamp, kTimestampTz, kInterval, kTimeTz, kBit,
                          kVarbit, kNumeric, kTinyint,   kDatetime,    kBlob}) {
        for (int round = 0; round < 400; ++round) {
            serverVersion.major = static_cast<int16_t>(10 + round % 9);
            std::string stored(random() % 41, '\0');
            for (char& c : stored)
                c = static_cast<char>(random());
            // Long-form numerics with valid digit groups and weights and scales up to 255,
            // and small bit counts, to get past the checks to the writing.
            if (round % 2 == 0 && stored.size() >= 4) {
                if (type == kNumeric) {
                    stored[1] = stored[3] = 0;
                    for (size_t at = 4; at + 1 < stored.size(); at += 2) {
                        const auto group = static_cast<int16_t>(random() % 10000);
                        std::memcpy(&stored[at], &group, 2);
                    }
                } else if (type == kVarbit) {
                    stored[1] = stored[2] = stored[3] = 0;
                }
            }
            render(type, stored);
        }
    }
}

TEST(ValueTextDispatch, TypesWithoutTextOutputGetNone) {
    // jsonb is stored in its binary form; the rest have no decoder.
    for (uint32_t type :
         {kJsonb, kNvarchar2, uint32_t(2950) /* uuid */, uint32_t(869) /* inet */,
          uint32_t(1007) /* int4[] */, uint32_t(16435) /* an enum */, uint32_t(0) /* dropped */}) {
        ColumnDef column;
        column.atttypid = type;
        EXPECT_EQ(textOutputFor(column), nullptr) << type;
    }
}

TEST(ValueTextFormat, DigitHelpers) {
    char out[32];
    for (uint32_t v : {0u, 7u, 42u, 100u, 9999u, 123456789u, 4294967295u}) {
        const size_t n = formatUInt32(v, out);
        EXPECT_EQ(std::string(out, n), std::to_string(v));
    }
    struct Padded {
        uint64_t value;
        int width;
        const char* want;
    };
    for (const Padded& c : {Padded{0, 2, "00"}, Padded{5, 2, "05"}, Padded{123, 2, "123"},
                            Padded{44, 4, "0044"}, Padded{294276, 4, "294276"}, Padded{0, 0, "0"},
                            Padded{18446744073709551615ull, 1, "18446744073709551615"}}) {
        EXPECT_EQ(std::string(out, formatZeroPadded(out, c.value, c.width)), c.want) << c.value;
    }
}

TEST(ValueTextFormat, DateTimeWithFieldsOutOfRangeStaysInItsRoom) {
    char out[kDateTimeTextMax + 1];
    out[kDateTimeTextMax] = '#';
    BrokenDownTime tm{INT32_MIN, -1, 100, INT32_MAX, 1000, -5};
    char* end = formatDateTime(tm, 999999, true, INT32_MIN, out);
    EXPECT_LE(end - out, static_cast<ptrdiff_t>(kDateTimeTextMax));
    EXPECT_EQ(out[kDateTimeTextMax], '#');
    tm = BrokenDownTime{2024, 6, 1, 6, 30, 0};
    EXPECT_EQ(std::string(out, formatDateTime(tm, 120, true, -19800, out)),
              "2024-06-01 06:30:00.00012+05:30");
}

}  // namespace
}  // namespace vorn::test
