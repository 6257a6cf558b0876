// The events of a row as one line, for a watch that reports them as they happen: the
// clock set back, a gap above 5 s (clock set forward or process held up), a gap at or
// above the stall threshold, a stretch without rows, and the monitor slow to write.
#pragma once

#include <cstdint>
#include <cstdio>

#include "monitor/report_format.h"
#include "report/run_fold.h"

inline constexpr int64_t slow_write_ns = 100'000'000;  // printf_latency above it

// Writes "TIME (line N): event; event" for `row` if it has any event, and flushes.
// `stall_ns` is compared with the row's largest gap. Returns whether a line was written.
bool write_row_events(FILE* out, const report_row& row, long line, int64_t stall_ns);
