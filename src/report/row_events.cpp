#include "report/row_events.h"

#include <cinttypes>

#include "report/json_writer.h"
#include "report/report_time.h"
#include "report/run_fold.h"
#include "report/summary_print.h"

row_events find_row_events(const report_row& row, int64_t stall_ns) {
    row_events e{};
    e.negative_gaps = row.neg;
    if (row.neg > 0) {
        // The most negative gap is the row's smallest; its size is the step back.
        e.step_back_ns = row.min_diff_this_rep == INT64_MIN ? INT64_MAX : -row.min_diff_this_rep;
    }
    e.gaps_above_5s = row.out_to_lunch;
    e.largest_gap_ns = row.max_diff_this_rep;
    e.stall_ns = stall_ns;
    e.stall = row.out_to_lunch == 0 && row.max_diff_this_rep >= stall_ns;
    e.without_row_ns = row.diff_report > long_wait_ns ? row.diff_report : 0;
    e.slow_write_ns = row.printf_latency > slow_write_ns ? row.printf_latency : 0;
    return e;
}

bool any_event(const row_events& e) {
    return e.negative_gaps > 0 || e.gaps_above_5s > 0 || e.stall || e.without_row_ns > 0 ||
           e.slow_write_ns > 0;
}

namespace {

// The start of one event's JSON object: its name, and the row or moment it belongs to.
json_writer open_event(event_out out, const char* name, int64_t ms, long line) {
    json_writer w = json_start(out.out, false);
    json_open_object(&w, nullptr);
    json_string(&w, "event", name);
    if (line > 0) {
        json_time(&w, "time", ms);
        json_int(&w, "line", line);
    }
    return w;
}

void write_row_json(event_out out, int64_t ms, long line, const row_events& e) {
    if (e.negative_gaps > 0) {
        json_writer w = open_event(out, "clock_set_back", ms, line);
        json_int(&w, "step_ns", e.step_back_ns);
        json_uint(&w, "negative_gaps", e.negative_gaps);
        json_close(&w, '}');
    }
    if (e.gaps_above_5s > 0) {
        json_writer w = open_event(out, "gap_above_5s", ms, line);
        json_int(&w, "gap_ns", e.largest_gap_ns);
        json_uint(&w, "gaps_above_5s", e.gaps_above_5s);
        json_close(&w, '}');
    } else if (e.stall) {
        json_writer w = open_event(out, "stall", ms, line);
        json_int(&w, "gap_ns", e.largest_gap_ns);
        json_int(&w, "threshold_ns", e.stall_ns);
        json_close(&w, '}');
    }
    if (e.without_row_ns > 0) {
        json_writer w = open_event(out, "without_rows", ms, line);
        json_int(&w, "diff_report_ns", e.without_row_ns);
        json_close(&w, '}');
    }
    if (e.slow_write_ns > 0) {
        json_writer w = open_event(out, "slow_write", ms, line);
        json_int(&w, "printf_latency_ns", e.slow_write_ns);
        json_close(&w, '}');
    }
}

void write_row_text(event_out out, int64_t ms, long line, const row_events& e) {
    char when[40], a[48], b[48];
    format_utc(ms, false, when, sizeof when);
    fprintf(out.out, "%s (line %ld): ", when, line);
    write_clock_words(out.out, e);
    const char* separator = e.negative_gaps > 0 || e.gaps_above_5s > 0 ? "; " : "";
    if (e.gaps_above_5s == 0 && e.stall) {
        fprintf(out.out, "%sstall: a gap of %s (threshold %s)", separator,
                format_duration(e.largest_gap_ns, a, sizeof a),
                format_duration(e.stall_ns, b, sizeof b));
        separator = "; ";
    }
    if (e.without_row_ns > 0) {
        fprintf(out.out, "%s%s without a row", separator,
                format_duration(e.without_row_ns, a, sizeof a));
        separator = "; ";
    }
    if (e.slow_write_ns > 0) {
        fprintf(out.out, "%sthe row before took %s to write", separator,
                format_duration(e.slow_write_ns, a, sizeof a));
    }
    fputc('\n', out.out);
}

}  // namespace

void write_clock_words(FILE* out, const row_events& e) {
    char a[48];
    if (e.negative_gaps > 0) {
        fprintf(out, "clock set back by %s (%" PRIu32 " negative gap%s)",
                format_duration(e.step_back_ns, a, sizeof a), e.negative_gaps,
                e.negative_gaps == 1 ? "" : "s");
    }
    if (e.gaps_above_5s > 0) {
        fprintf(out, "%sclock set forward or process held up: a gap of %s (%" PRIu32 " above 5 s)",
                e.negative_gaps > 0 ? "; " : "", format_duration(e.largest_gap_ns, a, sizeof a),
                e.gaps_above_5s);
    }
}

void write_row_events(event_out out, const report_row& row, long line, const row_events& e) {
    if (!any_event(e)) {
        return;
    }
    const int64_t ms = unix_ms(row.timestamp);
    if (out.json) {
        write_row_json(out, ms, line, e);
    } else {
        write_row_text(out, ms, line, e);
    }
    fflush(out.out);
}

void write_silence(event_out out, int64_t silent_ms, int64_t last_ms, long line) {
    char a[48], when[40];
    if (out.json) {
        json_writer w = open_event(out, "no_row", last_ms, line);
        json_int(&w, "silent_ms", silent_ms);
        json_close(&w, '}');
    } else if (line > 0) {
        format_utc(last_ms, false, when, sizeof when);
        fprintf(out.out, "%s (line %ld): no row for %s since this row's time, and still none\n",
                when, line, format_duration(ms_as_ns(silent_ms), a, sizeof a));
    } else {
        fprintf(out.out, "no row for %s since the watch started, and still none\n",
                format_duration(ms_as_ns(silent_ms), a, sizeof a));
    }
    fflush(out.out);
}

void write_rows_again(event_out out, int64_t silent_ms, int64_t row_ms, long line) {
    char a[48], when[40];
    if (out.json) {
        json_writer w = open_event(out, "rows_again", row_ms, line);
        json_int(&w, "silent_ms", silent_ms);
        json_close(&w, '}');
    } else {
        format_utc(row_ms, false, when, sizeof when);
        fprintf(out.out, "%s (line %ld): rows again, after %s without one\n", when, line,
                format_duration(ms_as_ns(silent_ms), a, sizeof a));
    }
    fflush(out.out);
}

void write_input_end(event_out out, input_end ended) {
    if (out.json) {
        json_writer w = open_event(out, "input_ended", 0, 0);
        json_string(&w, "ended_by", end_words(ended));
        json_close(&w, '}');
    } else if (ended == input_end::ctrl_c || ended == input_end::sigterm) {
        fprintf(out.out, "the watch was ended by %s\n", end_words(ended));
    } else {
        fprintf(out.out, "the input ended: the monitor stopped, or its log was closed\n");
    }
    fflush(out.out);
}
