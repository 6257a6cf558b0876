#include "report/outputs/event_lines.h"

#include "report/input/log_facts.h"
#include "report/util/json_writer.h"
#include "report/util/report_time.h"
#include "report/util/text_out.h"

namespace {

// The start of one event's JSON object: its name, and the row or moment it belongs to.
json_writer open_event(FILE* out, const char* name, int64_t ms, long line) {
    json_writer w = json_start(out, false);
    json_open_object(&w, nullptr);
    json_string(&w, "event", name);
    if (line > 0) {
        json_time(&w, "time", ms);
        json_int(&w, "line", line);
    }
    return w;
}

// The cause in words, after the events it explains: "; cause: KIND, words".
void write_cause_text(text_out* out, cause_kind cause, const cause_figures& f, int64_t gap_ns,
                      const culprit_list* who) {
    outf(out, "; cause: %s, ", cause_name(cause));
    write_cause_words(out, cause, f, gap_ns, who);
}

void write_row_json(FILE* out, int64_t ms, long line, const row_events& e, const cause_figures& f) {
    if (e.negative_gaps > 0) {
        json_writer w = open_event(out, "clock_set_back", ms, line);
        json_int(&w, "step_ns", e.step_back_ns);
        json_uint(&w, "negative_gaps", e.negative_gaps);
        write_cause_json(&w, e.cause, f, &e.culprits);
        json_close(&w);
    }
    if (e.gaps_above_5s > 0) {
        json_writer w = open_event(out, "gap_above_5s", ms, line);
        json_int(&w, "gap_ns", e.largest_gap_ns);
        json_uint(&w, "gaps_above_5s", e.gaps_above_5s);
        write_cause_json(&w, e.cause, f, &e.culprits);
        json_close(&w);
    }
    if (e.stall) {
        json_writer w = open_event(out, "stall", ms, line);
        json_int(&w, "gap_ns", e.largest_gap_ns);
        json_int(&w, "threshold_ns", e.stall_ns);
        write_cause_json(&w, e.cause, f, &e.culprits);
        json_close(&w);
    }
    if (e.without_row_ns > 0) {
        json_writer w = open_event(out, "without_rows", ms, line);
        json_int(&w, "diff_report_ns", e.without_row_ns);
        json_close(&w);
    }
    if (e.slow_write_ns > 0) {
        json_writer w = open_event(out, "slow_write", ms, line);
        json_int(&w, "printf_latency_ns", e.slow_write_ns);
        json_close(&w);
    }
}

void write_row_text(FILE* file, int64_t ms, long line, const row_events& e,
                    const cause_figures& f) {
    char when[40], a[48], b[48];
    text_out out = to_file(file);
    format_utc(ms, false, when, sizeof when);
    outf(&out, "%s (line %ld): ", when, line);
    write_clock_words(&out, e);
    const char* separator = e.negative_gaps > 0 || e.gaps_above_5s > 0 ? "; " : "";
    if (e.stall) {
        outf(&out, "%sstall: a gap of %s (threshold %s)", separator,
             format_duration(e.largest_gap_ns, a, sizeof a),
             format_duration(e.stall_ns, b, sizeof b));
        separator = "; ";
    }
    if (e.without_row_ns > 0) {
        outf(&out, "%s%s without a row", separator, format_duration(e.without_row_ns, a, sizeof a));
        separator = "; ";
    }
    if (e.slow_write_ns > 0) {
        outf(&out, "%sthe row before took %s to write", separator,
             format_duration(e.slow_write_ns, a, sizeof a));
    }
    if (e.negative_gaps > 0 || e.gaps_above_5s > 0 || e.stall) {
        write_cause_text(&out, e.cause, f, e.largest_gap_ns, &e.culprits);
    }
    fputc('\n', file);
}

}  // namespace

void open_event_lines(event_lines* lines, FILE* out, bool json) {
    *lines = event_lines{out, json, true};
}

void event_lines_row(event_lines* lines, const report_row& row, long line, const row_events& e,
                     const cause_figures& f) {
    if (lines->out == nullptr || !any_event(e)) {
        return;
    }
    const int64_t ms = unix_ms(row.timestamp);
    if (lines->json) {
        write_row_json(lines->out, ms, line, e, f);
    } else {
        write_row_text(lines->out, ms, line, e, f);
    }
    fflush(lines->out);
}

void event_lines_silence(event_lines* lines, int64_t silent_ms, int64_t last_ms, long line,
                         cause_kind cause, const cause_figures& f) {
    char a[48], when[40];
    if (lines->out == nullptr) {
        return;
    }
    if (lines->json) {
        json_writer w = open_event(lines->out, "no_row", last_ms, line);
        json_int(&w, "silent_ms", silent_ms);
        json_bool(&w, "row_live", lines->row_live || line == 0);
        write_cause_json(&w, cause, f, nullptr);
        json_close(&w);
        fflush(lines->out);
        return;
    }
    text_out out = to_file(lines->out);
    if (line > 0) {
        format_utc(last_ms, false, when, sizeof when);
        outf(&out,
             lines->row_live ? "%s (line %ld): no row for %s since this row's time, and still none"
                             : "%s (line %ld): no new row for %s since the watch read this one, "
                               "and still none",
             when, line, format_duration(ms_as_ns(silent_ms), a, sizeof a));
    } else {
        outf(&out, "no row for %s since the watch started, and still none",
             format_duration(ms_as_ns(silent_ms), a, sizeof a));
    }
    write_cause_text(&out, cause, f, ms_as_ns(silent_ms), nullptr);
    fputc('\n', lines->out);
    fflush(lines->out);
}

void event_lines_rows_again(event_lines* lines, int64_t silent_ms, int64_t row_ms, long line) {
    char a[48], when[40];
    if (lines->out == nullptr) {
        return;
    }
    if (lines->json) {
        json_writer w = open_event(lines->out, "rows_again", row_ms, line);
        json_int(&w, "silent_ms", silent_ms);
        json_close(&w);
    } else {
        format_utc(row_ms, false, when, sizeof when);
        fprintf(lines->out, "%s (line %ld): rows again, after %s without one\n", when, line,
                format_duration(ms_as_ns(silent_ms), a, sizeof a));
    }
    fflush(lines->out);
}

void finish_event_lines(event_lines* lines, input_end ended) {
    if (lines->out == nullptr) {
        return;
    }
    if (lines->json) {
        json_writer w = open_event(lines->out, "input_ended", 0, 0);
        json_string(&w, "ended_by", end_words(ended));
        json_close(&w);
    } else if (ended == input_end::ctrl_c || ended == input_end::sigterm) {
        fprintf(lines->out, "the watch was ended by %s\n", end_words(ended));
    } else {
        fprintf(lines->out, "the input ended: the monitor stopped, or its log was closed\n");
    }
    fflush(lines->out);
}
