#include "report/input_stage.h"

#include <algorithm>
#include <cstring>

#include "report/report_time.h"

void start_input(input_stage* in, int64_t from_ms, int64_t to_ms) {
    *in = input_stage{};
    in->from_ms = from_ms;
    in->to_ms = to_ms;
    in->run = 1;
}

void input_run_line(input_stage* in, std::string_view text, bool header) {
    const bool start = !header && text.starts_with("Starting at ");
    const bool repeats = start && in->start_line[0] != '\0' && text == in->start_line;
    // Only rows make a run: the start line and header before them are one start.
    if (in->run_first_line != 0 && !in->boundary) {
        in->boundary = true;
        in->same_start = repeats;
    } else if (in->boundary && !header) {
        // Another line before the header: the same start only if it is the start line
        // again and nothing else came.
        in->same_start = repeats && in->same_start;
    }
    if (start && !repeats) {
        const size_t length = std::min(text.size(), sizeof in->start_line - 1);
        memcpy(in->start_line, text.data(), length);
        in->start_line[length] = '\0';
    }
    in->any_line_of_run = true;
}

bool input_row(input_stage* in, const report_row& row, long line, window_row* out) {
    const int64_t ms = unix_ms(row.timestamp);
    if (in->boundary && in->same_start && ms >= in->last_ms) {
        in->boundary = false;  // the next day's file of the same run goes on with it
    } else if (in->boundary) {
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
    in->last_ms = ms;
    // Half-open, so that adjacent windows split a log with no row in both.
    if (ms < in->from_ms || ms >= in->to_ms) {
        ++in->rows_outside;
        return false;
    }
    *out = window_row{&row, ms, line, in->run, in->run_has_start, in->run_first_line};
    return true;
}
