// The first stage of the report: lines become rows. It numbers the runs (a start line
// or header after rows begins a new one; rows before any start line mean that the log's
// start is missing) and applies the window (--from, --to), so that every later stage
// sees only the rows inside it, each with its line and its run. Day files of one run
// joined together are one run: a start that repeats the run's own (its argument line and
// start line, which each day file begins with), followed by a row that follows the last
// one in time, continues the run.
#pragma once

#include <cstdint>
#include <string_view>

#include "monitor/report_format.h"

struct input_stage {
    int64_t from_ms, to_ms;  // the window: rows from `from_ms` up to, not including, `to_ms`
    int32_t run;             // the run rows now belong to, from 1
    bool boundary;           // a start line or header came after rows: a new run begins
    bool any_line_of_run;    // the current run had a start line, header or row
    bool start_missing;      // the log begins with rows: its start was cut off
    bool run_has_start;      // the current run began with the monitor's start line or header
    long run_first_line;     // the line of its first row, in the window or not; 0: none yet
    uint64_t rows_outside;   // rows outside the window
    // The lines before the header of the current run (argument line, start line), each
    // ended by a line end, and those of a start that came after its rows.
    char start[192];
    char next_start[192];
    bool start_line_seen;  // the current run's start holds a start line
    int32_t pause_ms;      // the sleep period the run's argument line gives; -1 if none
    int64_t last_ms;       // the time of the last row, in the window or not
    // The last row's date and its midnight (Unix ms): the rows of a day share it.
    uint32_t day_key;
    int64_t day_ms;
};

// A row inside the window, as the later stages take it.
struct window_row {
    const report_row* row;
    int64_t ms;  // its time, Unix ms
    long line;
    int32_t run;
    bool run_has_start;
    long run_first_line;
};

void start_input(input_stage* in, int64_t from_ms, int64_t to_ms);

// A line before the header (a start line or an argument line), or the header itself:
// after rows, it begins a new run, unless it repeats the run's start (see above).
void input_run_line(input_stage* in, std::string_view text, bool header);

// The sleep period that an argument line gives ("Sleep period adjusted to N ms"), or -1.
int32_t pause_of(std::string_view text);

// The row at `line`. Returns true with `out` filled when it lies in the window.
bool input_row(input_stage* in, const report_row& row, long line, window_row* out);
