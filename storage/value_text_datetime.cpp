// date, time, timetz, timestamp, timestamptz and datetime (9876), in the server's ISO style
// (DateStyle ISO, TimeZone UTC for timestamptz).

#include <climits>
#include <cstring>

#include "storage/byte_reader.h"
#include "storage/value_text.h"
#include "storage/value_text_digits.h"

namespace vorn {

namespace {

constexpr int64_t kEpochJulianDay = 2451545;  // 2000-01-01, the server's day 0
constexpr int64_t kUsecsPerSecond = 1000000;
constexpr int64_t kUsecsPerMinute = 60 * kUsecsPerSecond;
constexpr int64_t kUsecsPerHour = 60 * kUsecsPerMinute;
constexpr int64_t kUsecsPerDay = 24 * kUsecsPerHour;
// Zone offsets the server accepts lie strictly inside +-16 hours.
constexpr int32_t kZoneLimitSeconds = 16 * 3600;

constexpr size_t kTimeTextMax = 32;  // "24:00:00.999999-15:59:59"

// PostgreSQL's j2date: the proleptic Gregorian date of a Julian day (0 .. INT32_MAX), in
// unsigned arithmetic as the server does it. Year 0 is 1 BC.
void julianToDate(uint32_t julianDay, BrokenDownTime& tm) {
    uint32_t julian = julianDay + 32044;
    uint32_t quad = julian / 146097;
    const uint32_t extra = (julian - quad * 146097) * 4 + 3;
    julian += 60 + quad * 3 + extra / 146097;
    quad = julian / 1461;
    julian -= quad * 1461;
    int32_t y = static_cast<int32_t>(julian * 4 / 1461);
    julian = ((y != 0) ? ((julian + 305) % 365) : ((julian + 306) % 366)) + 123;
    y += static_cast<int32_t>(quad * 4);
    tm.year = y - 4800;
    quad = julian * 2141 / 65536;
    tm.day = static_cast<int32_t>(julian - 7834 * quad / 256);
    tm.month = static_cast<int32_t>((quad + 10) % 12 + 1);
}

// The Julian day of server day `days`, or false outside 0 .. INT32_MAX.
bool toJulian(int64_t days, uint32_t& julian) {
    const int64_t jd = days + kEpochJulianDay;
    if (jd < 0 || jd > INT32_MAX)
        return false;
    julian = static_cast<uint32_t>(jd);
    return true;
}

// A two-digit field; one out of its range (only from a caller of formatDateTime, never from
// the calendar arithmetic here) prints all its digits rather than read past the pair table.
char* putField(char* p, int32_t value) {
    if (static_cast<uint32_t>(value) < 100)
        return digits::put2(p, static_cast<uint32_t>(value));
    return formatZeroPadded(p, static_cast<uint32_t>(value), 2);
}

char* putYearMonthDay(char* p, const BrokenDownTime& tm) {
    const int64_t year = tm.year > 0 ? tm.year : 1 - int64_t(tm.year);
    p = formatZeroPadded(p, static_cast<uint64_t>(year), 4);
    *p++ = '-';
    p = putField(p, tm.month);
    *p++ = '-';
    return putField(p, tm.day);
}

// HH:MM:SS and the fraction of a time of day (0 .. 24:00:00 in microseconds).
char* putTimeOfDay(char* p, int64_t usecs) {
    p = formatZeroPadded(p, uint64_t(usecs / kUsecsPerHour), 2);
    *p++ = ':';
    p = digits::put2(p, uint32_t(usecs / kUsecsPerMinute % 60));
    *p++ = ':';
    p = digits::put2(p, uint32_t(usecs / kUsecsPerSecond % 60));
    return digits::putFraction(p, uint32_t(usecs % kUsecsPerSecond));
}

// The zone of an offset in seconds west of UTC: "+05:30", "-08", "+00", "+01:02:03".
char* putZone(char* p, int32_t zoneSeconds) {
    const uint32_t magnitude =
        zoneSeconds < 0 ? 0u - static_cast<uint32_t>(zoneSeconds) : uint32_t(zoneSeconds);
    const uint32_t seconds = magnitude % 60, minutes = magnitude / 60 % 60;
    *p++ = zoneSeconds > 0 ? '-' : '+';
    p = formatZeroPadded(p, magnitude / 3600, 2);
    if (minutes != 0 || seconds != 0) {
        *p++ = ':';
        p = digits::put2(p, minutes);
    }
    if (seconds != 0) {
        *p++ = ':';
        p = digits::put2(p, seconds);
    }
    return p;
}

// The last day a timestamp output converted, and its "YYYY-MM-DD" when the year has four
// digits and is AD.
struct DayCache {
    int64_t days = INT64_MIN;
    BrokenDownTime tm;
    bool fourDigitYear = false;
    char text[16] = {};
};

bool appendTimestamp(const uint8_t* value, uint32_t length, bool withZone, TextBuffer& out) {
    if (length < 8)
        return false;
    const int64_t t = loadLE<int64_t>(value);
    if (t == INT64_MAX) {
        out.append("infinity", 8);
        return true;
    }
    if (t == INT64_MIN) {
        out.append("-infinity", 9);
        return true;
    }
    int64_t days = t / kUsecsPerDay;
    int64_t usecs = t % kUsecsPerDay;
    if (usecs < 0) {
        usecs += kUsecsPerDay;
        --days;
    }
    // The values of a column often share their day: its date is converted once.
    thread_local DayCache cache;
    if (days != cache.days) {
        uint32_t julian;
        if (!toJulian(days, julian))
            return false;
        julianToDate(julian, cache.tm);
        cache.days = days;
        cache.fourDigitYear = cache.tm.year >= 1 && cache.tm.year <= 9999;
        if (cache.fourDigitYear)
            putYearMonthDay(cache.text, cache.tm);
    }
    if (cache.fourDigitYear) {
        // "YYYY-MM-DD HH:MM:SS[.ffffff][+00]", the zone of UTC.
        char* p = out.ensure(kDateTimeTextMax);
        std::memcpy(p, cache.text, 10);
        p[10] = ' ';
        const auto seconds = static_cast<uint32_t>(usecs / kUsecsPerSecond);
        digits::put2(p + 11, seconds / 3600);
        p[13] = ':';
        digits::put2(p + 14, seconds / 60 % 60);
        p[16] = ':';
        digits::put2(p + 17, seconds % 60);
        p = digits::putFraction(p + 19, uint32_t(usecs % kUsecsPerSecond));
        if (withZone) {
            std::memcpy(p, "+00", 3);
            p += 3;
        }
        out.advanceTo(p);
        return true;
    }
    BrokenDownTime tm = cache.tm;
    tm.hour = int32_t(usecs / kUsecsPerHour);
    tm.minute = int32_t(usecs / kUsecsPerMinute % 60);
    tm.second = int32_t(usecs / kUsecsPerSecond % 60);
    char* at = out.ensure(kDateTimeTextMax);
    out.advanceTo(formatDateTime(tm, uint32_t(usecs % kUsecsPerSecond), withZone, 0, at));
    return true;
}

}  // namespace

char* formatDateTime(const BrokenDownTime& tm, uint32_t microseconds, bool printZone,
                     int32_t zoneSeconds, char* p) {
    p = putYearMonthDay(p, tm);
    *p++ = ' ';
    p = putField(p, tm.hour);
    *p++ = ':';
    p = putField(p, tm.minute);
    *p++ = ':';
    p = putField(p, tm.second);
    p = digits::putFraction(p, microseconds % uint32_t(kUsecsPerSecond));
    if (printZone)
        p = putZone(p, zoneSeconds);
    if (tm.year <= 0) {
        std::memcpy(p, " BC", 3);
        p += 3;
    }
    return p;
}

bool outputDate(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < 4)
        return false;
    const int32_t days = loadLE<int32_t>(value);
    if (days == INT32_MAX) {
        out.append("infinity", 8);
        return true;
    }
    if (days == INT32_MIN) {
        out.append("-infinity", 9);
        return true;
    }
    uint32_t julian;
    if (!toJulian(days, julian))
        return false;
    BrokenDownTime tm;
    julianToDate(julian, tm);
    char* at = out.ensure(kDateTimeTextMax);
    char* p = putYearMonthDay(at, tm);
    if (tm.year <= 0) {
        std::memcpy(p, " BC", 3);
        p += 3;
    }
    out.advanceTo(p);
    return true;
}

bool outputTime(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < 8)
        return false;
    const int64_t usecs = loadLE<int64_t>(value);
    if (usecs < 0 || usecs > kUsecsPerDay)
        return false;
    out.advanceTo(putTimeOfDay(out.ensure(kTimeTextMax), usecs));
    return true;
}

bool outputTimeTz(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < 8 + 4)
        return false;
    const int64_t usecs = loadLE<int64_t>(value);
    const int32_t zone = loadLE<int32_t>(value + 8);
    if (usecs < 0 || usecs > kUsecsPerDay || zone <= -kZoneLimitSeconds ||
        zone >= kZoneLimitSeconds)
        return false;
    out.advanceTo(putZone(putTimeOfDay(out.ensure(kTimeTextMax), usecs), zone));
    return true;
}

bool outputTimestamp(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    return appendTimestamp(value, length, false, out);
}

bool outputTimestampTz(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    return appendTimestamp(value, length, true, out);
}

// The packed int64 of type 9876; every field is taken from its bits as they are, so even a
// damaged value prints within bounds (a field wider than its digits prints more of them).
bool outputDatetime(const uint8_t* value, uint32_t length, const ColumnDef&, TextBuffer& out) {
    if (length < 8)
        return false;
    const int64_t packed = loadLE<int64_t>(value);
    const uint64_t magnitude = packed < 0 ? 0 - static_cast<uint64_t>(packed) : packed;
    const uint64_t yearMonth = magnitude >> 46;
    char* at = out.ensure(kDateTimeTextMax);
    char* p = formatZeroPadded(at, yearMonth / 13, 4);
    *p++ = '-';
    p = digits::put2(p, uint32_t(yearMonth % 13));
    *p++ = '-';
    p = digits::put2(p, uint32_t(magnitude >> 41 & 0x1F));
    *p++ = ' ';
    p = digits::put2(p, uint32_t(magnitude >> 36 & 0x1F));
    *p++ = ':';
    p = digits::put2(p, uint32_t(magnitude >> 30 & 0x3F));
    *p++ = ':';
    p = digits::put2(p, uint32_t(magnitude >> 24 & 0x3F));
    *p++ = '.';
    p = formatZeroPadded(p, magnitude & 0xFFFFFF, 6);
    if (packed < 0) {
        std::memcpy(p, " BC", 3);
        p += 3;
    }
    out.advanceTo(p);
    return true;
}

}  // namespace vorn
