// Clock samples: wall-clock readings as 100-ns ticks since 1601-01-01 00:00:00 UTC,
// their UTC calendar fields, the signed nanosecond difference between two readings,
// and the pause between readings.
//
// This header is the only place that differs by platform. On Windows the records and
// the three platform operations come from <windows.h>; elsewhere the same records are
// declared here (same field names, widths and order) and clock_posix.cpp and
// clock_calendar.cpp provide the operations under the same names.
#pragma once

#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
// One reading: dwHighDateTime * 2^32 + dwLowDateTime ticks of 100 ns since 1601.
struct FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
};

// UTC calendar fields of a reading; wMilliseconds is whole ms within the second.
struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

// Fills `sample` with the current wall-clock time (UTC).
void GetSystemTimeAsFileTime(FILETIME* sample);
// Fills `fields` with the UTC breakdown of `sample`. Returns 0 (and zeroes `fields`)
// for readings of 2^63 ticks or more, which no calendar record can hold.
int FileTimeToSystemTime(const FILETIME* sample, SYSTEMTIME* fields);
// Suspends the calling thread for `milliseconds`; 0 gives up the rest of the time slice.
void Sleep(uint32_t milliseconds);
#endif

// Nanoseconds from `from` to `to` (negative when `to` is earlier): exact for differences
// of up to about 292 years either way, and the largest value of its sign beyond that.
int64_t filetime_diff_in_nsec(const FILETIME* from, const FILETIME* to);

// Ticks since 1601 of a time given as seconds and nanoseconds since 1970 (UTC), finer
// digits than 100 ns cut; a time before 1601 gives 0, one past the last tick a record
// holds (2^63 - 1, in 30828-09-14 02:48:05.4775807) gives that tick.
uint64_t ticks_since_1601(int64_t unix_seconds, int64_t nanoseconds);

// Copies both halves of `source` into `destination`.
void CopyFileTime(const FILETIME* source, FILETIME* destination);
