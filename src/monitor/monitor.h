// The sampling loop: reads the clock endlessly, counts every gap, and writes one row
// just after the start of each second of the clock.
#pragma once

#include <cstdint>

#include "clock/clock_sample.h"

// How long the last row took to write, ns; shown on the next row (0 before any).
extern int64_t previous_printf_diff;

// The report schedule. For a reading whose millisecond field is `milliseconds`, taken
// `diff_report` ns after the last row's reading, says whether it writes a row, and keeps
// `resync_pending`: set by a late row in the second half of a second, it makes the next
// reading in a first half write a row at once.
bool report_is_due(uint16_t milliseconds, int64_t diff_report, bool* resync_pending);

// Runs the loop from the start reading, pausing `sleep_period` ms (a negative period as
// 0) after every pass. Never returns.
[[noreturn]] void run_monitor(int32_t sleep_period, FILETIME start_reading);
