// Times in the report tool: signed 64-bit milliseconds since 1970-01-01 00:00:00 UTC
// ("Unix ms"), exact for every reading a log can hold (years 1601 to 30828). No time
// zone is applied anywhere: the monitor writes UTC and so does the report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "clock/clock_sample.h"

inline constexpr int64_t ms_per_second = 1'000;
inline constexpr int64_t ms_per_hour = 3'600'000;
inline constexpr int64_t ms_per_day = 86'400'000;

// Unix ms of a row's calendar fields (wDayOfWeek is ignored).
int64_t unix_ms(const SYSTEMTIME& fields);
// The same in two parts: Unix ms of the day's midnight, and ms since it.
int64_t unix_day_ms(const SYSTEMTIME& fields);
int64_t ms_of_day(const SYSTEMTIME& fields);

// `a` divided by `b` (> 0), rounded toward minus infinity.
int64_t floor_div(int64_t a, int64_t b);

// Milliseconds as nanoseconds, at the largest value of its sign past about 292 years.
int64_t ms_as_ns(int64_t ms);

// Reads an ISO 8601 date and time: "YYYY-MM-DD", then optionally "T" or a space and
// "HH:MM", ":SS", ".mmm" (1 to 3 digits), and a zone: "Z", or an offset from UTC
// ("+01:00", "-0530", "+01"); without one it is UTC. A date alone is its midnight (UTC,
// or at its offset). Returns false for anything else, or a year outside 1601 to 30828.
bool parse_utc(std::string_view text, int64_t* ms);

// Writes `ms` as "YYYY-MM-DD HH:MM:SS.mmm", or with `iso` as "YYYY-MM-DDTHH:MM:SS.mmmZ".
// `text` needs room for 32 characters.
void format_utc(int64_t ms, bool iso, char* text, size_t size);

// A duration of `ns` nanoseconds in the unit that suits it: "850 ns", "41.4 us",
// "66.48 ms", "6.501 s", "1.5 days". Returns `text`, which needs 32 characters.
const char* format_duration(int64_t ns, char* text, size_t size);

// A stall threshold as text: "10 ms" when it is whole ms, else as format_duration writes
// it. Returns `text`, which needs 32 characters.
const char* threshold_text(int64_t ns, char* text, size_t size);
