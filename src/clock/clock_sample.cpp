#include "clock/clock_sample.h"

int64_t filetime_diff_in_nsec(const FILETIME* from, const FILETIME* to) {
    const uint64_t from_ticks = (uint64_t{from->dwHighDateTime} << 32) | from->dwLowDateTime;
    const uint64_t to_ticks = (uint64_t{to->dwHighDateTime} << 32) | to->dwLowDateTime;
    // Unsigned arithmetic wraps modulo 2^64; reading the result as signed is exact
    // two's complement in C++20, so a later reading that is smaller comes out negative.
    return static_cast<int64_t>((to_ticks - from_ticks) * 100u);
}

void CopyFileTime(const FILETIME* source, FILETIME* destination) {
    destination->dwLowDateTime = source->dwLowDateTime;
    destination->dwHighDateTime = source->dwHighDateTime;
}
