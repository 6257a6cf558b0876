// The two clocks the report reads. One file a platform: clocks_posix.cpp,
// clocks_windows.cpp.
#pragma once

#include <cstdint>

// Nanoseconds of a clock that only moves forward, whatever happens to the wall clock, and
// the same clock in milliseconds: the watch's timers and its figures read one clock.
int64_t monotonic_ns();
inline int64_t monotonic_ms() {
    return monotonic_ns() / 1'000'000;
}

// Nanoseconds since 1970 of the wall clock, held at the largest value of its sign for a
// clock set beyond what 64 bits hold (about 292 years from 1970).
int64_t wall_clock_ns();
