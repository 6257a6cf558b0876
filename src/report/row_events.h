// What happened, for a watch that reports it as it happens: the events of a row (the
// clock set back, a gap above 5 s, a gap at or above the stall threshold, a stretch
// without rows, the monitor slow to write), and the watch's own: no row for a while,
// rows again, the end of the input. They are worked out here, once, and written as one
// line of text each, or as one JSON object an event (JSON Lines).
#pragma once

#include <cstdint>
#include <cstdio>

#include "monitor/report_format.h"
#include "report/report_os.h"

inline constexpr int64_t slow_write_ns = 100'000'000;  // printf_latency above it

struct row_events {
    uint32_t negative_gaps = 0;  // the clock was set back: 0, or how many readings went back
    int64_t step_back_ns = 0;    // the largest step back
    uint32_t gaps_above_5s = 0;  // the clock set forward, or the process held up
    bool stall = false;          // the largest gap reached the threshold (and is not above 5 s)
    int64_t largest_gap_ns = 0;
    int64_t stall_ns = 0;        // the threshold in force
    int64_t without_row_ns = 0;  // diff_report when it is a stretch without rows, else 0
    int64_t slow_write_ns = 0;   // the row before took this long to write; 0 if not slow
};

row_events find_row_events(const report_row& row, int64_t stall_ns);
bool any_event(const row_events& events);

// The clock's events of a row in words, as the watch and the summary both give them:
// "clock set back by 2.000 s (1 negative gap)", "clock set forward or process held up:
// a gap of 6.500 s (1 above 5 s)", or both, joined by "; ". Writes nothing if neither.
void write_clock_words(FILE* out, const row_events& e);

// Where event lines go: text for a person, or JSON Lines for a script.
struct event_out {
    FILE* out;
    bool json;
};

// Writes `row`'s events, if any, and flushes: "TIME (line N): event; event", or a JSON
// object an event.
void write_row_events(event_out out, const report_row& row, long line, const row_events& e);

// No row has come for `silent_ms` (by the watch's own clock) since the row of `last_ms`
// at `line`; line 0: no row yet, since the watch started.
void write_silence(event_out out, int64_t silent_ms, int64_t last_ms, long line);
// Rows come again, `silent_ms` after the last one.
void write_rows_again(event_out out, int64_t silent_ms, int64_t row_ms, long line);
// The input ended, or was ended by a signal.
void write_input_end(event_out out, input_end ended);
