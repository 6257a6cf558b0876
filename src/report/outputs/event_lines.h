// The watch's event lines (--follow): a row's events as it arrives, the watch's own
// silence notes while no row comes, and the end of the input. Each is one line of text,
// "TIME (line N): event; event", or one JSON object an event (JSON Lines), flushed at once.
#pragma once

#include <cstdint>
#include <cstdio>

#include "monitor/report_format.h"
#include "report/events/row_events.h"
#include "report/os/input.h"

struct event_lines {
    FILE* out;  // nullptr: off
    bool json;
    // The last row was live (its time the watch's clock's): a silence is counted from
    // its time; else (a replayed file) from when the watch read it.
    bool row_live;
};

void open_event_lines(event_lines* lines, FILE* out, bool json);

// Writes `row`'s events, if any; its clock events and stall with their cause, named from
// the figures `f`.
void event_lines_row(event_lines* lines, const report_row& row, long line, const row_events& e,
                     const cause_figures& f);

// No row has come for `silent_ms` (by the watch's own clock) since the row of `last_ms`
// at `line`; line 0: no row yet, since the watch started. `cause`: why, so far.
void event_lines_silence(event_lines* lines, int64_t silent_ms, int64_t last_ms, long line,
                         cause_kind cause, const cause_figures& f);
// Rows come again, `silent_ms` after the last one.
void event_lines_rows_again(event_lines* lines, int64_t silent_ms, int64_t row_ms, long line);
// The input ended, or was ended by a signal.
void finish_event_lines(event_lines* lines, input_end ended);
