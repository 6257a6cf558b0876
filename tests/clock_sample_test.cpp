#include "clock/clock_sample.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

namespace {

FILETIME from_ticks(uint64_t ticks) {
    return FILETIME{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}

uint64_t ticks_of(const FILETIME& t) {
    return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

constexpr uint64_t ticks_per_second = 10'000'000;
constexpr uint64_t unix_epoch_ticks = 11'644'473'600ULL * ticks_per_second;

TEST(FiletimeDiffInNsec, Table) {
    struct Case {
        const char* name;
        FILETIME from;
        FILETIME to;
        int64_t expected;
    };
    const Case cases[] = {
        {"equal samples", {5, 7}, {5, 7}, 0},
        {"one tick earlier", {5, 7}, {4, 7}, -100},
        {"one tick later", {4, 7}, {5, 7}, 100},
        {"borrow across the halves", {0xFFFFFFFFu, 0}, {0, 1}, 100},
        {"borrow across the halves, backwards", {0, 1}, {0xFFFFFFFFu, 0}, -100},
        {"high halves one apart", {123, 9}, {123, 10}, 429'496'729'600},
        {"one hour", from_ticks(unix_epoch_ticks), from_ticks(unix_epoch_ticks + 36'000'000'000),
         3'600'000'000'000},
        // 2^63 - 1 ns is about 292 years: the largest exact span.
        {"largest exact span", from_ticks(0), from_ticks(92'233'720'368'547'758),
         9'223'372'036'854'775'800},
        {"largest exact span backwards", from_ticks(92'233'720'368'547'758), from_ticks(0),
         -9'223'372'036'854'775'800},
        // Beyond it the difference stops at the largest value of its sign.
        {"one tick past the largest span", from_ticks(0), from_ticks(92'233'720'368'547'759),
         INT64_MAX},
        {"one tick past it backwards", from_ticks(92'233'720'368'547'759), from_ticks(0),
         INT64_MIN},
        {"300 years forward", from_ticks(unix_epoch_ticks - 94'670'208'000'000'000),
         from_ticks(unix_epoch_ticks), INT64_MAX},
        {"300 years back", from_ticks(unix_epoch_ticks),
         from_ticks(unix_epoch_ticks - 94'670'208'000'000'000), INT64_MIN},
        {"whole range forward", from_ticks(0), from_ticks(UINT64_MAX), INT64_MAX},
        {"whole range back", from_ticks(UINT64_MAX), from_ticks(0), INT64_MIN},
        {"2^63 ticks", from_ticks(0), from_ticks(uint64_t{1} << 63), INT64_MAX},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(filetime_diff_in_nsec(&c.from, &c.to), c.expected) << c.name;
    }
}

TEST(CopyFileTime, CopiesBothHalvesAndLeavesSource) {
    const FILETIME source{0xDEADBEEFu, 0x01D9ABCDu};
    FILETIME destination{1, 2};
    CopyFileTime(&source, &destination);
    EXPECT_EQ(destination.dwLowDateTime, 0xDEADBEEFu);
    EXPECT_EQ(destination.dwHighDateTime, 0x01D9ABCDu);
    EXPECT_EQ(source.dwLowDateTime, 0xDEADBEEFu);
    EXPECT_EQ(source.dwHighDateTime, 0x01D9ABCDu);
}

struct Calendar {
    int year, month, day, hour, minute, second, millisecond, weekday;
};

void expect_fields(const SYSTEMTIME& f, const Calendar& c, const char* name) {
    EXPECT_EQ(f.wYear, c.year) << name;
    EXPECT_EQ(f.wMonth, c.month) << name;
    EXPECT_EQ(f.wDay, c.day) << name;
    EXPECT_EQ(f.wHour, c.hour) << name;
    EXPECT_EQ(f.wMinute, c.minute) << name;
    EXPECT_EQ(f.wSecond, c.second) << name;
    EXPECT_EQ(f.wMilliseconds, c.millisecond) << name;
    EXPECT_EQ(f.wDayOfWeek, c.weekday) << name;
}

TEST(FileTimeToSystemTime, KnownDates) {
    struct Case {
        const char* name;
        uint64_t ticks;
        Calendar expected;
    };
    const Case cases[] = {
        {"the epoch", 0, {1601, 1, 1, 0, 0, 0, 0, 1}},
        {"last tick of 1601-01-01", 863'999'999'999, {1601, 1, 1, 23, 59, 59, 999, 1}},
        {"1900-02-28, not a leap year", 94'404'960'000'000'000, {1900, 2, 28, 0, 0, 0, 0, 3}},
        {"1900-03-01 follows 02-28", 94'405'824'000'000'000, {1900, 3, 1, 0, 0, 0, 0, 4}},
        {"1970-01-01", unix_epoch_ticks, {1970, 1, 1, 0, 0, 0, 0, 4}},
        {"2000-02-29, a leap year", 125'962'560'000'000'000, {2000, 2, 29, 0, 0, 0, 0, 2}},
        {"2031-03-04 05:06:07.008", 135'748'407'670'080'000 + 9'999, {2031, 3, 4, 5, 6, 7, 8, 2}},
        {"2100-02-28 23:59:59.999", 157'520'159'999'990'000, {2100, 2, 28, 23, 59, 59, 999, 0}},
        {"2100-03-01, 2100 is no leap year", 157'520'160'000'000'000, {2100, 3, 1, 0, 0, 0, 0, 1}},
        {"the last reading a record holds", 0x7FFFFFFFFFFFFFFF, {30828, 9, 14, 2, 48, 5, 477, 4}},
    };
    for (const Case& c : cases) {
        const FILETIME t = from_ticks(c.ticks);
        SYSTEMTIME f{};
        EXPECT_NE(FileTimeToSystemTime(&t, &f), 0) << c.name;
        expect_fields(f, c.expected, c.name);
    }
}

TEST(FileTimeToSystemTime, ReadingsBeyondTheRecordFail) {
    // Right after the last reading the record holds, in the same second of the clock.
    const FILETIME last = from_ticks(0x7FFFFFFFFFFFFFFF);
    SYSTEMTIME last_fields;
    ASSERT_NE(FileTimeToSystemTime(&last, &last_fields), 0);
    for (const uint64_t ticks : {uint64_t{1} << 63, (uint64_t{1} << 63) + 1, UINT64_MAX}) {
        const FILETIME t = from_ticks(ticks);
        SYSTEMTIME f;
        f.wYear = 77;
        EXPECT_EQ(FileTimeToSystemTime(&t, &f), 0) << ticks;
#ifndef _WIN32
        // Elsewhere the fields are zeroed, so that nothing undefined is ever printed.
        EXPECT_EQ(f.wYear, 0) << ticks;
#endif
    }
}

// gmtime on both platforms, for readings from 1970 on.
bool utc_breakdown(int64_t seconds, std::tm* out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
#ifdef _WIN32
    return gmtime_s(out, &t) == 0;
#else
    return gmtime_r(&t, out) != nullptr;
#endif
}

TEST(FileTimeToSystemTime, AgreesWithGmtimeOverASweep) {
    // About 1970 to 2970 in uneven steps, so that every month, weekday and time of day,
    // and many leap days, are crossed; the sub-second part steps independently.
    uint64_t sub = 0;
    for (int64_t seconds = 0; seconds < 31'556'952'000; seconds += 86'400 * 7 + 3'607) {
        std::tm expected{};
        ASSERT_TRUE(utc_breakdown(seconds, &expected));
        sub = (sub + 1'234'567) % ticks_per_second;
        const FILETIME t =
            from_ticks(unix_epoch_ticks + static_cast<uint64_t>(seconds) * ticks_per_second + sub);
        SYSTEMTIME f{};
        FileTimeToSystemTime(&t, &f);
        const Calendar want{expected.tm_year + 1900,
                            expected.tm_mon + 1,
                            expected.tm_mday,
                            expected.tm_hour,
                            expected.tm_min,
                            expected.tm_sec,
                            static_cast<int>(sub / 10'000),
                            expected.tm_wday};
        expect_fields(f, want, "sweep");
        if (HasFailure()) {
            FAIL() << "first mismatch at " << seconds << " s after 1970";
        }
    }
}

TEST(FileTimeToSystemTime, ReadingsInSequenceWithinAndAcrossSeconds) {
    // Consecutive readings as a loop takes them, including steps back and jumps of whole
    // days, which land on the same time of day in another second.
    const uint64_t base = unix_epoch_ticks + 1'700'000'000ULL * ticks_per_second;
    const uint64_t day = 864'000'000'000;
    const uint64_t readings[] = {
        base,
        base + 1,
        base + 9'999'999,  // to the last tick of a second
        base + 10'000'000,
        base + 9'999'999,
        base,  // into the next, and back twice
        base + day,
        base + day - 366 * day,  // same time of day, other days
        base + 5'000,
        base + 10'000,
        base + 9'990'000,   // milliseconds 0, 1, 999
        base + 10'000'005,  // the next second again
        0,
        9'999'999,
        10'000'000,  // the first ticks of 1601
    };
    for (const uint64_t ticks : readings) {
        const FILETIME t = from_ticks(ticks);
        SYSTEMTIME f{};
        ASSERT_NE(FileTimeToSystemTime(&t, &f), 0);
        const int64_t seconds = static_cast<int64_t>(ticks / ticks_per_second) - 11'644'473'600;
        const int millisecond = static_cast<int>(ticks % ticks_per_second / 10'000);
        if (seconds >= 0) {
            std::tm expected{};
            ASSERT_TRUE(utc_breakdown(seconds, &expected));
            const Calendar want{
                expected.tm_year + 1900, expected.tm_mon + 1, expected.tm_mday, expected.tm_hour,
                expected.tm_min,         expected.tm_sec,     millisecond,      expected.tm_wday};
            expect_fields(f, want, "sequence");
        } else {
            const Calendar want{1601,        1, 1, 0, 0, static_cast<int>(seconds + 11'644'473'600),
                                millisecond, 1};
            expect_fields(f, want, "sequence in 1601");
        }
    }
}

TEST(TicksSince1601, ClampsExactlyAtBothEndsOfTheRecord) {
    constexpr uint64_t last = 0x7FFFFFFFFFFFFFFF;
    constexpr int64_t first_second = -11'644'473'600;  // 1601-01-01 00:00:00
    constexpr int64_t last_second = 910'692'730'085;   // 30828-09-14 02:48:05
    const struct {
        int64_t seconds, nanoseconds;
        uint64_t ticks;
    } cases[] = {
        {INT64_MIN, 0, 0},
        {first_second - 1, 999'999'999, 0},
        {first_second, 0, 0},
        {first_second, 99, 0},
        {first_second, 100, 1},
        {0, 0, 116'444'736'000'000'000},
        {last_second, 0, 9'223'372'036'850'000'000},
        {last_second, 100'000'000, 9'223'372'036'851'000'000},
        {last_second, 477'580'600, last - 1},
        {last_second, 477'580'799, last},
        {last_second, 477'580'800, last},
        {last_second, 999'999'999, last},
        {last_second + 1, 0, last},
        {INT64_MAX, 999'999'999, last},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ticks_since_1601(c.seconds, c.nanoseconds), c.ticks)
            << c.seconds << " s " << c.nanoseconds << " ns";
    }
}

TEST(GetSystemTimeAsFileTime, ReadsTheWallClockInTicksSince1601) {
    FILETIME before;
    FILETIME after;
    GetSystemTimeAsFileTime(&before);
    const std::time_t now = std::time(nullptr);
    GetSystemTimeAsFileTime(&after);
    const int64_t seconds =
        static_cast<int64_t>((ticks_of(before) - unix_epoch_ticks) / ticks_per_second);
    EXPECT_LE(seconds, static_cast<int64_t>(now));
    EXPECT_GE(seconds + 2, static_cast<int64_t>(now));
    EXPECT_GE(filetime_diff_in_nsec(&before, &after), 0);
}

}  // namespace
