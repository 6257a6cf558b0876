#include "report/input_stage.h"

#include "report/report_time.h"

void start_input(input_stage* in, int64_t from_ms, int64_t to_ms) {
    *in = input_stage{};
    in->from_ms = from_ms;
    in->to_ms = to_ms;
    in->run = 1;
}

void input_run_line(input_stage* in) {
    // Only rows make a run: the start line and header before them are one start.
    if (in->run_first_line != 0) {
        in->boundary = true;
    }
    in->any_line_of_run = true;
}

bool input_row(input_stage* in, const report_row& row, long line, window_row* out) {
    if (in->boundary) {
        ++in->run;
        in->boundary = false;
        in->run_has_start = true;
        in->run_first_line = 0;
    } else if (!in->any_line_of_run) {
        // Rows before any start line or header: the log's beginning was cut off.
        in->start_missing = true;
        in->any_line_of_run = true;
        in->run_has_start = false;
    } else if (in->run_first_line == 0) {
        in->run_has_start = true;
    }
    if (in->run_first_line == 0) {
        in->run_first_line = line;
    }
    const int64_t ms = unix_ms(row.timestamp);
    // Half-open, so that adjacent windows split a log with no row in both.
    if (ms < in->from_ms || ms >= in->to_ms) {
        ++in->rows_outside;
        return false;
    }
    *out = window_row{&row, ms, line, in->run, in->run_has_start, in->run_first_line};
    return true;
}
