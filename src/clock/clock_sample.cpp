#include "clock/clock_sample.h"

#include <limits>

int64_t filetime_diff_in_nsec(const FILETIME* from, const FILETIME* to) {
    const uint64_t from_ticks = (uint64_t{from->dwHighDateTime} << 32) | from->dwLowDateTime;
    const uint64_t to_ticks = (uint64_t{to->dwHighDateTime} << 32) | to->dwLowDateTime;
    // The halves are joined before subtracting, so a borrow between them is handled.
    // Beyond about 292 years either way the nanoseconds no longer fit in 64 bits: the
    // difference then stops at the largest value of its sign, so that a jump forward is
    // never shown as one backward, or the other way round.
    constexpr uint64_t max_ticks = std::numeric_limits<int64_t>::max() / 100;
    if (to_ticks >= from_ticks) {
        const uint64_t ticks = to_ticks - from_ticks;
        return ticks <= max_ticks ? static_cast<int64_t>(ticks * 100)
                                  : std::numeric_limits<int64_t>::max();
    }
    const uint64_t ticks = from_ticks - to_ticks;
    return ticks <= max_ticks ? -static_cast<int64_t>(ticks * 100)
                              : std::numeric_limits<int64_t>::min();
}

void CopyFileTime(const FILETIME* source, FILETIME* destination) {
    destination->dwLowDateTime = source->dwLowDateTime;
    destination->dwHighDateTime = source->dwHighDateTime;
}

uint64_t ticks_since_1601(int64_t unix_seconds, int64_t nanoseconds) {
    constexpr int64_t seconds_1601_to_1970 = 11'644'473'600;
    constexpr uint64_t ticks_per_second = 10'000'000;
    constexpr uint64_t last_tick = std::numeric_limits<int64_t>::max();
    // The last second that begins within the record's range; its end lies past it.
    constexpr int64_t last_second =
        static_cast<int64_t>(last_tick / ticks_per_second) - seconds_1601_to_1970;
    if (unix_seconds < -seconds_1601_to_1970) {
        return 0;
    }
    if (unix_seconds > last_second) {
        return last_tick;
    }
    const uint64_t ticks =
        static_cast<uint64_t>(unix_seconds + seconds_1601_to_1970) * ticks_per_second +
        static_cast<uint64_t>(nanoseconds / 100);
    return ticks < last_tick ? ticks : last_tick;
}
