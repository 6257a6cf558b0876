// Every output of one report, fixed at compile time and called by name from here. Each
// output is a record with the same calls, named after it:
//   open_X      before anything is read: 0, or the exit status 2 of a name that can never
//               be written (said on standard error)
//   X_row       a row of the window, with its events (classified once, by the pipeline)
//   X_silence   no row for a while, or rows again (the watch)
//   finish_X    at the end of the input: 0, or the exit status of what failed
// The day log is the one output that takes every line, in the window or not.
#pragma once

#include <cstdint>
#include <string_view>

#include "report/events/classified_row.h"
#include "report/events/row_events.h"
#include "report/fold/report_figures.h"
#include "report/input/input_stage.h"
#include "report/input/log_reader.h"
#include "report/options/report_options.h"
#include "report/outputs/csv.h"
#include "report/outputs/day_log.h"
#include "report/outputs/event_lines.h"
#include "report/outputs/prom_file.h"

struct outputs {
    const report_options* o;
    const log_facts* facts;  // where each line is: set before the first line is read
    csv_output csv;
    event_lines events;
    day_log days;
    prom_file prom;
    int64_t prom_written_ms;  // monotonic time of the last rewrite of the metrics file
    bool output_gone;         // standard output cannot be written: the report stops
    int output_error;         // errno of that write
};

int open_outputs(outputs* out, const report_options& o);

// A line the monitor wrote, in the window or not: the day log copies it.
void outputs_line(outputs* out, log_line_kind kind, std::string_view text, const report_row* row);

// A row of the window with its events; `fold` has taken it in. With `more_waiting` (the
// input already holds the next line) the metrics file waits for a pause in the rows.
void outputs_row(outputs* out, const classified_row& row, const run_fold* fold);
// Whether the row just read is live (its time is the watch's clock's): the event lines'
// note of a silence says so.
void outputs_row_live(outputs* out, bool live);
// Whether standard output is gone: the report stops, and output_failed() says how.
bool outputs_gone(const outputs* out, int* error);

// No row for `silent_ms` since the row of `last_ms` at `line` (0: none yet), with its
// cause so far; or, with `again`, the row at `line` ends such a silence.
void outputs_silence(outputs* out, bool again, int64_t silent_ms, int64_t ms, long line,
                     cause_kind cause, const cause_figures& figures);

// Standard output failed with `error`: a reader that has gone ends the report quietly, as
// it ends any filter; anything else (a full disk) is said, and the status is 1.
int output_failed(int error);

// Closes the files, prints the summary, the page and the picture; returns the exit status.
int finish_outputs(outputs* out, const report_figures& figures);
// Stops what still serves after a report that ended early (the metrics over HTTP).
void close_outputs(outputs* out);
