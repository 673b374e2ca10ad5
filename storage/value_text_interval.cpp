// interval in IntervalStyle postgres, as the server's EncodeInterval writes it:
//
//   [years] [mons] [days] [time]     e.g. "1 year 2 mons 3 days 04:05:06",
//                                         "-1 days +01:00:00", "-00:00:01", "00:00:00"
//
// Each non-zero part of years, months and days is written with its unit ("s" unless the
// value is 1); a part after a negative one carries an explicit "+" when positive. The time
// follows when nothing was written or when it is not zero: "-" when any of its fields is
// negative, hours as many digits as they need.

#include <charconv>
#include <climits>

#include "storage/byte_reader.h"
#include "storage/storage_settings.h"
#include "storage/value_text.h"
#include "storage/value_text_digits.h"

namespace vorn {

namespace {

// Infinite intervals (all three fields at their minimum or maximum) exist from this version.
constexpr int16_t kIntervalInfinityFromMajor = 17;

constexpr int64_t kUsecsPerSecond = 1000000;
constexpr int64_t kUsecsPerMinute = 60 * kUsecsPerSecond;
constexpr int64_t kUsecsPerHour = 60 * kUsecsPerMinute;

// "-178956970 years +11 mons -2147483648 days -2562047788:00:54.775808" and more is shorter.
constexpr size_t kIntervalTextMax = 128;

struct PartState {
    bool nothingYet = true;      // no part written so far
    bool afterNegative = false;  // the part just written was negative
};

char* putPart(char* p, int64_t value, const char* unit, size_t unitLength, PartState& state) {
    if (value == 0)
        return p;
    if (!state.nothingYet)
        *p++ = ' ';
    if (state.afterNegative && value > 0)
        *p++ = '+';
    p = std::to_chars(p, p + 24, value).ptr;
    *p++ = ' ';
    std::memcpy(p, unit, unitLength);
    p += unitLength;
    if (value != 1)
        *p++ = 's';
    state.afterNegative = value < 0;
    state.nothingYet = false;
    return p;
}

uint64_t magnitude(int64_t v) {
    return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

}  // namespace

bool outputInterval(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < 8 + 4 + 4)
        return false;
    const int64_t time = loadLE<int64_t>(value);
    const int32_t days = loadLE<int32_t>(value + 8);
    const int32_t months = loadLE<int32_t>(value + 12);
    if (serverVersion.major >= kIntervalInfinityFromMajor) {
        if (time == INT64_MIN && days == INT32_MIN && months == INT32_MIN) {
            out.append("-infinity", 9);
            return true;
        }
        if (time == INT64_MAX && days == INT32_MAX && months == INT32_MAX) {
            out.append("infinity", 8);
            return true;
        }
    }

    // All truncating, as the server splits them: every field keeps the sign of its source.
    const int64_t hours = time / kUsecsPerHour;
    const int64_t minutes = time / kUsecsPerMinute % 60;
    const int64_t seconds = time / kUsecsPerSecond % 60;
    const int64_t usecs = time % kUsecsPerSecond;

    char* const start = out.ensure(kIntervalTextMax);
    char* p = start;
    PartState state;
    p = putPart(p, months / 12, "year", 4, state);
    p = putPart(p, months % 12, "mon", 3, state);
    p = putPart(p, days, "day", 3, state);
    if (state.nothingYet || time != 0) {
        if (!state.nothingYet)
            *p++ = ' ';
        if (time < 0)
            *p++ = '-';
        else if (state.afterNegative)
            *p++ = '+';
        p = formatZeroPadded(p, magnitude(hours), 2);
        *p++ = ':';
        p = digits::put2(p, uint32_t(magnitude(minutes)));
        *p++ = ':';
        p = digits::put2(p, uint32_t(magnitude(seconds)));
        p = digits::putFraction(p, uint32_t(magnitude(usecs)));
    }
    out.advanceTo(p);
    return true;
}

}  // namespace vorn
