#include "report/outputs/outputs.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "report/input/input_list.h"
#include "report/os/clocks.h"
#include "report/os/files.h"
#include "report/os/plotting.h"
#include "report/os/signals.h"
#include "report/outputs/gnuplot.h"
#include "report/outputs/html_page.h"
#include "report/outputs/metrics_server.h"
#include "report/outputs/summary.h"
#include "report/util/complain.h"
#include "report/util/report_time.h"

int open_outputs(outputs* out, const report_options& o) {
    out->o = &o;
    open_csv(&out->csv, o.kind == output_kind::csv ? o.out : nullptr, several_inputs(o.inputs));
    open_event_lines(&out->events, o.follow ? o.out : nullptr, o.kind == output_kind::json);
    char reason[160] = "";
    long held_by = -1;
    if (o.log_pattern != nullptr && !start_day_log(&out->days, o.log_pattern, o.keep_days, o.gzip,
                                                   reason, sizeof reason, &held_by)) {
        const std::string folder(o.log_pattern, file_name_start(o.log_pattern));
        if (held_by >= 0) {
            // Not a usage error: the folder is taken, and the caller can wait or stop it.
            char who[48] = "";
            if (held_by > 0) {
                snprintf(who, sizeof who, " (process %ld)", held_by);
            }
            complain(
                "another watch%s keeps its day files in %s; stop it first, or give --log "
                "another folder",
                who, folder.empty() ? "this folder" : folder.c_str());
            return 1;
        }
        complain("cannot write the log %s: %s", o.log_pattern, reason);
        return 2;
    }
    // A picture or page that can never be written is said now, before the log is read.
    for (const char* path : {o.plot_path, o.html_path}) {
        if (path != nullptr && !file_name_writable(path, reason, sizeof reason)) {
            complain_cannot_write(path, reason);
            return 2;
        }
    }
    if (o.prom_path != nullptr && is_folder(o.prom_path)) {
        complain_cannot_write(o.prom_path, "it is a folder, not a file");
        return 2;
    }
    // A metrics folder that is missing or cannot be written now is only reported: the
    // file is tried again with every row.
    // A port that cannot be listened on ends the watch before it reads anything: what
    // scrapes it would find nothing, and say so only as a target that is down.
    if (o.listen != nullptr) {
        out->prom.server = start_metrics_server(o.listen, reason, sizeof reason);
        if (out->prom.server == nullptr) {
            complain("cannot listen on %s: %s", o.listen, reason);
            return 1;
        }
        tell("the metrics are served at %s", metrics_server_url(out->prom.server));
    }
    if (o.prom_path != nullptr &&
        !start_prom_file(&out->prom, o.prom_path, reason, sizeof reason)) {
        complain("cannot write %s now (%s); the watch goes on and tries again with every row",
                 o.prom_path, reason);
        out->prom.failing = true;
    }
    return 0;
}

void outputs_line(outputs* out, log_line_kind kind, std::string_view text, const report_row* row) {
    switch (kind) {
        case log_line_kind::preamble:
            log_preamble(&out->days, text);
            break;
        case log_line_kind::header:
            log_header(&out->days);
            break;
        case log_line_kind::row:
            log_row(&out->days, text, *row);
            break;
        case log_line_kind::bad:
            break;
    }
}

void outputs_row_live(outputs* out, bool live) {
    out->events.row_live = live;
}

bool outputs_gone(const outputs* out, int* error) {
    *error = out->output_error;
    return out->output_gone;
}

void outputs_row(outputs* out, const classified_row& row, const run_fold* fold) {
    const window_row& in = row.in;
    const row_events& events = row.events;
    const cause_figures& figures = row.figures;
    const bool more_waiting = row.more_waiting;
    // Standard output takes a row only as CSV or as an event line: only then is it checked.
    const bool writes =
        out->csv.out != nullptr || (out->events.out != nullptr && any_event(events));
    errno = 0;
    if (out->csv.out != nullptr) {
        csv_row(
            &out->csv, *in.row,
            out->facts != nullptr ? place_of(*out->facts, in.line) : line_place{nullptr, in.line},
            in.run);
    }
    event_lines_row(&out->events, *in.row, in.line, events, figures);
    // Standard output's error, taken before the causes file's own writes.
    const int error = errno;
    const bool failed = writes && ferror(out->o->out);
    if (figures.have != 0 && (events.stall || events.negative_gaps > 0)) {
        log_cause(&out->days, *in.row, events, figures);
    }
    if (failed) {
        out->output_gone = true;
        out->output_error = error;
        return;
    }
    fold_prom(&out->prom, *in.row, events);
    // Rewritten when the input has caught up, or once a second while rows pour in.
    if (out->prom.path != nullptr) {
        const int64_t now = monotonic_ms();
        if (!more_waiting || now - out->prom_written_ms >= 1000) {
            write_prom(&out->prom, fold);
            out->prom_written_ms = now;
        }
    }
}

void outputs_silence(outputs* out, bool again, int64_t silent_ms, int64_t ms, long line,
                     cause_kind cause, const cause_figures& figures) {
    if (again) {
        event_lines_rows_again(&out->events, silent_ms, ms, line);
    } else {
        event_lines_silence(&out->events, silent_ms, ms, line, cause, figures);
    }
}

namespace {

// The summary, or the JSON document (one line after a watch's JSON Lines).
void print_end(const report_options& o, const report_figures& figures) {
    if (o.kind == output_kind::summary) {
        if (o.follow) {
            printf("\n");
        }
        text_out out = to_file(o.out);
        print_summary(&out, figures);
    } else if (o.kind == output_kind::json) {
        print_json(o.out, figures, !o.follow);
    }
}

// Draws the picture after the summary; returns the exit status.
int finish_picture(const report_options& o, const report_figures& figures) {
    const stall_figures& stalls = *read_fold(figures.fold, figures.rule).stalls;
    switch (plot_heat_map(figures.grid, o.plot_path, stalls.threshold_ns)) {
        case plot_result::drawn:
            if (o.kind == output_kind::summary) {
                printf("\nPicture: %s\n", o.plot_path);
            }
            return 0;
        case plot_result::no_gnuplot:
            complain(
                "gnuplot is not installed, so there is no picture; install it (%s) and "
                "run again",
                gnuplot_install_hint());
            return 3;
        case plot_result::too_few_rows:
            complain("too few rows for a picture (%" PRIu64 " in the window; it takes 2 or more)",
                     figures.grid->rows);
            return 3;
        case plot_result::failed:
            break;
    }
    complain("gnuplot could not draw %s; a picture there before stays as it was", o.plot_path);
    return 3;
}

}  // namespace

void close_outputs(outputs* out) {
    stop_metrics_server(out->prom.server);
    out->prom.server = nullptr;
}

int output_failed(int error) {
    if (error == EPIPE) {
        end_for_broken_pipe();
    }
    complain("standard output could not be written (%s)", strerror(error));
    return 1;
}

int finish_outputs(outputs* out, const report_figures& figures) {
    const report_options& o = *out->o;
    const log_facts& facts = *figures.facts;
    write_prom(&out->prom, figures.fold);
    close_outputs(out);
    // The metrics file holds totals, so one written after a failure has lost nothing;
    // a day log that failed has lost lines.
    const bool logs_whole = finish_day_log(&out->days) && !out->prom.failing;
    finish_event_lines(&out->events, facts.ended);
    errno = 0;
    print_end(o, figures);
    if (fflush(o.out) != 0 || ferror(o.out)) {
        return output_failed(errno);
    }
    if (o.html_path != nullptr) {
        char reason[160] = "";
        if (!write_html_page(o.html_path, figures, reason, sizeof reason)) {
            complain_cannot_write(o.html_path, reason);
            return 1;
        }
        if (o.kind == output_kind::summary) {
            fprintf(o.out, "\nPage: %s\n", o.html_path);
        }
    }
    if (o.plot_path != nullptr) {
        if (const int status = finish_picture(o, figures); status != 0) {
            return status;
        }
    }
    if (figures.fold->totals.rows == 0 && facts.input->rows_outside == 0 &&
        (facts.skipped_lines > 0 || facts.fragment_first)) {
        complain("%s holds no row of clockgap's: not a clockgap log", facts.name);
        return 1;
    }
    if (!logs_whole) {
        complain("some lines or figures could not be written (see above)");
        return 1;
    }
    if (fflush(o.out) != 0 || ferror(o.out)) {
        return output_failed(errno);
    }
    return 0;
}
