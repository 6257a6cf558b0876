// UTC calendar fields of a reading, for platforms without the Windows kernel.
// Pure arithmetic on the C++20 calendar: no time zone, no lock, no allocation.
#include <chrono>

#include "clock/clock_sample.h"

namespace {

using ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;

constexpr uint64_t ticks_per_day = 864'000'000'000;
// 1601-01-01 lies 134,774 days before 1970-01-01, the epoch of sys_days.
constexpr int64_t days_1601_to_1970 = 134'774;

constexpr uint64_t ticks_per_second = 10'000'000;
constexpr uint64_t ticks_per_ms = 10'000;

// The fields of the second the last reading fell in. Consecutive readings almost always
// share their second, so only the milliseconds need working out; one cache per thread
// keeps the function free of locks. It starts as the first second of 1601 (a Monday).
struct second_cache {
    uint64_t first_tick;
    SYSTEMTIME fields;
};
thread_local second_cache cached{0, SYSTEMTIME{1601, 1, 1, 1, 0, 0, 0, 0}};

}  // namespace

int FileTimeToSystemTime(const FILETIME* sample, SYSTEMTIME* fields) {
    const uint64_t all = (uint64_t{sample->dwHighDateTime} << 32) | sample->dwLowDateTime;
    // Unsigned: a reading before the cached second wraps to a large value and misses.
    const uint64_t into_second = all - cached.first_tick;
    if (into_second < ticks_per_second) {
        *fields = cached.fields;
        fields->wMilliseconds = static_cast<uint16_t>(into_second / ticks_per_ms);
        return 1;
    }
    if (all >> 63 != 0) {
        // Past 30828-09-14: beyond the calendar record, as on Windows.
        *fields = SYSTEMTIME{};
        return 0;
    }
    const auto day = std::chrono::sys_days{
        std::chrono::days{static_cast<int64_t>(all / ticks_per_day) - days_1601_to_1970}};
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss<ticks> time{ticks{static_cast<int64_t>(all % ticks_per_day)}};

    fields->wYear = static_cast<uint16_t>(static_cast<int>(date.year()));
    fields->wMonth = static_cast<uint16_t>(static_cast<unsigned>(date.month()));
    fields->wDayOfWeek = static_cast<uint16_t>(std::chrono::weekday{day}.c_encoding());
    fields->wDay = static_cast<uint16_t>(static_cast<unsigned>(date.day()));
    fields->wHour = static_cast<uint16_t>(time.hours().count());
    fields->wMinute = static_cast<uint16_t>(time.minutes().count());
    fields->wSecond = static_cast<uint16_t>(time.seconds().count());
    fields->wMilliseconds = static_cast<uint16_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(time.subseconds()).count());
    // The record's last second is cut short at 2^63 ticks: it is never cached, so that
    // a hit always lies within what the record can hold.
    const uint64_t first_tick = all - all % ticks_per_second;
    if (first_tick + ticks_per_second <= uint64_t{1} << 63) {
        cached.first_tick = first_tick;
        cached.fields = *fields;
    }
    return 1;
}
