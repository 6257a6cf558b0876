// clockgap-report: a log written by clockgap as a summary, a JSON document, a clean CSV,
// a picture and a page, or a live watch with event lines, day files and a Prometheus file; all
// from one pass over its rows in memory that does not grow with it.
//
// Exit status: 0 done; 1 the log could not be read or has a line that is not the
// monitor's, or an output could not be written (a day log or the metrics file lost
// something, the page could not be written, or standard output is gone); 2 wrong
// usage, or a --log, --prometheus, --plot or --html name that can never be written;
// 3 the summary was printed but the picture was not drawn.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "report/day_log.h"
#include "report/heat_map.h"
#include "report/html_page.h"
#include "report/line_source.h"
#include "report/log_reader.h"
#include "report/prom_file.h"
#include "report/report_os.h"
#include "report/report_time.h"
#include "report/row_events.h"
#include "report/run_fold.h"
#include "report/summary_print.h"

namespace {

const char usage_text[] =
    "usage: clockgap-report [--json | --csv] [--plot FILE.png|FILE.svg] [--html FILE.html]\n"
    "                       [--from TIME] [--to TIME] [--stall MS] [--strict] [LOG]\n"
    "       clockgap-report --follow [--alert MS] [--log PATTERN] [--prometheus FILE]\n"
    "                       [--json] [LOG]\n"
    "\n"
    "Reads LOG, a log written by clockgap (standard input when LOG is absent or -), and\n"
    "prints a summary of it.\n"
    "\n"
    "  --json        the summary as one JSON document\n"
    "  --csv         the rows as CSV with one clean header and ISO 8601 UTC times\n"
    "  --plot FILE   also draw the log with gnuplot as a heat map (.png or .svg)\n"
    "  --html FILE   also write the whole report as one page (.html): the figures, the\n"
    "                heat map drawn by this program, the summary; nothing else needed\n"
    "  --from TIME   only rows at or after TIME (UTC, e.g. 2026-12-07T08:00 or 2026-12-07)\n"
    "  --to TIME     only rows before TIME (UTC; a date alone is its midnight)\n"
    "  --stall MS    a stall is a gap of MS milliseconds or more (default 10)\n"
    "  --strict      a line that is not clockgap's ends the report with status 1\n"
    "                (without it, such a line is skipped and counted)\n"
    "  --follow      report each row's events as it arrives, and a silence of 2 s or more\n"
    "                while it lasts, then the summary at the end of the input or at\n"
    "                Ctrl-C or SIGTERM; a LOG file is followed as it grows. With --json,\n"
    "                one JSON object a line: each event, then the summary\n"
    "  --alert MS    the same as --stall: the gap that --follow reports (default 10)\n"
    "  --log PATTERN write every line read to PATTERN, a file a UTC day when it holds\n"
    "                strftime fields (run-%Y-%m-%d.log)\n"
    "  --prometheus FILE\n"
    "                keep FILE up to date with the figures in Prometheus' text format,\n"
    "                for node_exporter's textfile collector\n"
    "  --help        this text\n";

int usage(const char* problem) {
    if (problem != nullptr) {
        fprintf(stderr, "clockgap-report: %s\n", problem);
    }
    fputs(usage_text, stderr);
    return 2;
}

enum class output_kind { summary, json, csv };

struct options {
    output_kind kind;
    bool help;
    bool follow;
    const char* log_pattern;
    const char* prom_path;
    const char* plot_path;
    const char* html_path;
    const char* log_path;  // nullptr: standard input
    int64_t from_ms, to_ms;
    int64_t stall_ms;
    bool strict;  // a line that is not the monitor's ends the report
};

enum class option_id {
    help,
    json,
    csv,
    follow,
    log,
    prometheus,
    plot,
    html,
    from,
    to,
    stall,
    strict
};

struct option_entry {
    const char* name;
    option_id id;
    bool takes_value;
};

// Every option; --alert is the watch's name for --stall, and -h for --help.
constexpr option_entry option_table[] = {
    {"--help", option_id::help, false},
    {"-h", option_id::help, false},
    {"--json", option_id::json, false},
    {"--csv", option_id::csv, false},
    {"--follow", option_id::follow, false},
    {"--log", option_id::log, true},
    {"--prometheus", option_id::prometheus, true},
    {"--plot", option_id::plot, true},
    {"--html", option_id::html, true},
    {"--from", option_id::from, true},
    {"--to", option_id::to, true},
    {"--stall", option_id::stall, true},
    {"--alert", option_id::stall, true},
    {"--strict", option_id::strict, false},
};

// Takes one option's value into `o`; returns 0, or the exit status of wrong usage.
int take_option(const option_entry& e, const char* value, options* o) {
    char problem[200];
    switch (e.id) {
        case option_id::help:
            o->help = true;
            return 0;
        case option_id::json:
        case option_id::csv: {
            const output_kind kind = e.id == option_id::json ? output_kind::json : output_kind::csv;
            if (o->kind != output_kind::summary && o->kind != kind) {
                return usage("--json and --csv exclude each other");
            }
            o->kind = kind;
            return 0;
        }
        case option_id::follow:
            o->follow = true;
            return 0;
        case option_id::strict:
            o->strict = true;
            return 0;
        case option_id::log:
        case option_id::prometheus:
            if (value == nullptr || value[0] == '\0') {
                snprintf(problem, sizeof problem, "%s needs a file name", e.name);
                return usage(problem);
            }
            (e.id == option_id::log ? o->log_pattern : o->prom_path) = value;
            return 0;
        case option_id::plot:
        case option_id::html: {
            const bool plot = e.id == option_id::plot;
            const char* const what = plot ? "picture" : "page";
            if (value == nullptr || value[0] == '-') {
                snprintf(problem, sizeof problem, "%s needs the name of a %s file", e.name, what);
                return usage(problem);
            }
            if (!(plot ? picture_name_ok(value) : page_name_ok(value))) {
                snprintf(problem, sizeof problem, "the %s's name must end in %s: %s", what,
                         plot ? ".png or .svg" : ".html or .htm", value);
                return usage(problem);
            }
            (plot ? o->plot_path : o->html_path) = value;
            return 0;
        }
        case option_id::from:
        case option_id::to: {
            int64_t ms = 0;
            if (value == nullptr || !parse_utc(value, &ms)) {
                snprintf(problem, sizeof problem,
                         "%s needs a UTC date and time such as 2026-12-07T08:30:00Z, not '%s'",
                         e.name, value != nullptr ? value : "");
                return usage(problem);
            }
            (e.id == option_id::from ? o->from_ms : o->to_ms) = ms;
            return 0;
        }
        case option_id::stall: {
            char* end = nullptr;
            errno = 0;
            const long long ms = value != nullptr ? strtoll(value, &end, 10) : 0;
            if (value == nullptr || end == value || *end != '\0' || errno != 0 || ms < 1 ||
                ms > 3'600'000) {
                snprintf(problem, sizeof problem,
                         "%s needs a whole number of milliseconds, 1 to 3600000", e.name);
                return usage(problem);
            }
            o->stall_ms = ms;
            return 0;
        }
    }
    return 0;
}

// What the options say together, checked once all are read.
int check_options(const options& o) {
    if (!o.follow && (o.log_pattern != nullptr || o.prom_path != nullptr)) {
        return usage("--log and --prometheus go with --follow");
    }
    if (o.follow && o.strict) {
        return usage("--strict does not go with --follow: a watch skips a bad line");
    }
    if (o.follow && o.kind == output_kind::csv) {
        return usage("--csv does not go with --follow");
    }
    if (o.from_ms >= o.to_ms) {
        return usage("--from is not earlier than --to: the window holds no time");
    }
    if (o.log_path == nullptr && stdin_is_terminal()) {
        return usage(
            "no LOG given, and standard input is a terminal: give a log file, or pipe "
            "one in (clockgap | clockgap-report)");
    }
    return 0;
}

// Reads the command line into `o`; returns 0, or the exit status of wrong usage.
int read_options(int argc, char** argv, options* o) {
    *o = options{};
    o->kind = output_kind::summary;
    o->from_ms = std::numeric_limits<int64_t>::min();
    o->to_ms = std::numeric_limits<int64_t>::max();
    o->stall_ms = 10;
    bool log_given = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const option_entry* entry = nullptr;
        for (const option_entry& e : option_table) {
            entry = strcmp(arg, e.name) == 0 ? &e : entry;
        }
        if (entry != nullptr) {
            const char* value = entry->takes_value && i + 1 < argc ? argv[i + 1] : nullptr;
            if (const int status = take_option(*entry, value, o); status != 0 || o->help) {
                return status;
            }
            i += entry->takes_value ? 1 : 0;
        } else if (!log_given && (arg[0] != '-' || arg[1] == '\0')) {
            log_given = true;
            o->log_path = strcmp(arg, "-") == 0 ? nullptr : arg;
        } else {
            char problem[200];
            snprintf(problem, sizeof problem, "unknown or repeated argument '%s'", arg);
            return usage(problem);
        }
    }
    return check_options(*o);
}

// One row as a line of the CSV: its run, its line, an ISO 8601 UTC time, the columns.
void write_csv_row(FILE* out, const report_row& row, long line, int32_t run) {
    char t[40];
    format_utc(unix_ms(row.timestamp), true, t, sizeof t);
    fprintf(out, "%d,%ld,%s,%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64,
            run, line, t, row.diff_report, row.diff_avg, row.min_diff_this_rep, row.min_diff_ever,
            row.max_diff_this_rep, row.max_diff_ever);
    for (const auto column : band_columns) {
        fprintf(out, ",%" PRIu32, row.*column);
    }
    fprintf(out, ",%" PRId64 "\n", row.printf_latency);
}

void write_csv_header(FILE* out) {
    fputs(
        "run,line,time_utc,diff_report_ns,diff_avg_ns,min_diff_this_rep_ns,min_diff_ever_ns,"
        "max_diff_this_rep_ns,max_diff_ever_ns",
        out);
    for (int b = 0; b < band_count; ++b) {
        fprintf(out, ",%s", band_names[b]);
    }
    fputs(",printf_latency_ns\n", out);
}

// The watch's own timer: when no row has come for 2 s, it says so at once and again at
// growing intervals (2, 4, 8 ... s, then every hour) while the silence lasts. It runs on
// a clock that only moves forward, so a clock step on the watched host cannot delay it.
struct silence_timer {
    int64_t since_ms;  // monotonic time the last row came (or the watch started)
    int64_t next_ms;   // monotonic time of the next note
    int64_t last_row_ms;
    long last_line;  // 0 before the first row
    bool reported;   // a note was written since the last row
};

constexpr int64_t first_silence_ms = 2000;
constexpr int64_t longest_silence_step_ms = 3'600'000;

void restart_timer(silence_timer* t, int64_t now_ms) {
    t->since_ms = now_ms;
    t->next_ms = now_ms + first_silence_ms;
    t->reported = false;
}

// The input had nothing by the time of the next note: writes it, and sets the next.
void note_silence(silence_timer* t, event_out events) {
    const int64_t now = monotonic_ms();
    if (now < t->next_ms) {
        return;
    }
    write_silence(events, now - t->since_ms, t->last_row_ms, t->last_line);
    t->reported = true;
    const int64_t step = std::min(t->next_ms - t->since_ms, longest_silence_step_ms);
    while (t->next_ms <= now) {
        t->next_ms += step;
    }
}

// A row came at `line`: a silence that was reported ends with a note.
void note_row(silence_timer* t, event_out events, const report_row& row, long line) {
    const int64_t now = monotonic_ms();
    const int64_t ms = unix_ms(row.timestamp);
    if (t->reported) {
        write_rows_again(events, now - t->since_ms, ms, line);
    }
    restart_timer(t, now);
    t->last_row_ms = ms;
    t->last_line = line;
}

// Everything one pass writes to, besides the summary at the end.
struct outputs {
    const options* o;
    event_out events;
    day_log days;
    prom_file prom;
    silence_timer silence;
    int64_t prom_written_ms;  // monotonic time of the last rewrite of the metrics file
    bool output_gone;
};

// Opens the watch's files; on a name that can never be written, says why and returns
// the exit status 2. A metrics folder that is missing or cannot be written now is only
// reported: the file is tried again with every row.
int open_outputs(outputs* out, const options& o) {
    out->o = &o;
    out->events = event_out{stdout, o.kind == output_kind::json};
    char reason[160] = "";
    if (o.log_pattern != nullptr &&
        !start_day_log(&out->days, o.log_pattern, reason, sizeof reason)) {
        fprintf(stderr, "clockgap-report: cannot write the log %s: %s\n", o.log_pattern, reason);
        return 2;
    }
    // A picture or page that can never be written is said now, before the log is read.
    for (const char* path : {o.plot_path, o.html_path}) {
        if (path != nullptr && !file_name_writable(path, reason, sizeof reason)) {
            fprintf(stderr, "clockgap-report: cannot write %s: %s\n", path, reason);
            return 2;
        }
    }
    if (o.prom_path != nullptr && is_folder(o.prom_path)) {
        fprintf(stderr, "clockgap-report: cannot write %s: it is a folder, not a file\n",
                o.prom_path);
        return 2;
    }
    if (o.prom_path != nullptr &&
        !start_prom_file(&out->prom, o.prom_path, reason, sizeof reason)) {
        fprintf(stderr,
                "clockgap-report: cannot write %s now (%s); the watch goes on and tries "
                "again with every row\n",
                o.prom_path, reason);
        out->prom.failing = true;
    }
    restart_timer(&out->silence, monotonic_ms());
    return 0;
}

// A row in the window, after the fold took it in.
void feed_row(outputs* out, const line_source& source, const report_row& row, const run_fold* fold,
              int64_t stall_ns) {
    if (out->o->kind == output_kind::csv) {
        write_csv_row(stdout, row, source.number, fold->run_list.run);
    }
    if (!out->o->follow) {
        return;
    }
    write_row_events(out->events, row, source.number, find_row_events(row, stall_ns));
    if (ferror(stdout)) {
        out->output_gone = true;
        return;
    }
    fold_prom(&out->prom, row);
    // Rewritten when the input has caught up, or once a second while rows pour in.
    const int64_t now = monotonic_ms();
    if (!line_waiting(&source) || now - out->prom_written_ms >= 1000) {
        write_prom(&out->prom, fold);
        out->prom_written_ms = now;
    }
}

// The pipeline after the lines: the input stage, then the folds and the outputs.
// Allocated once; nothing in it grows with the log.
struct stages {
    input_stage input;
    run_fold fold;
    heat_grid grid;
    outputs out;
};

// A row at the source's line: every line goes to the day log and the silence timer; a
// row of the window goes on to the fold, the grid and the outputs. False when standard
// output is gone.
bool take_row(const line_source* source, stages* p, std::string_view text, const report_row& row) {
    log_row(&p->out.days, text, row);
    if (p->out.o->follow) {
        note_row(&p->out.silence, p->out.events, row, source->number);
    }
    window_row in;
    if (input_row(&p->input, row, source->number, &in)) {
        fold_row(&p->fold, in);
        fold_heat(&p->grid, in);
        int64_t tick_ns = 0;
        feed_row(&p->out, *source, row, &p->fold,
                 stalls_in_force(&p->fold, &tick_ns)->threshold_ns);
        if (p->out.output_gone) {
            fprintf(stderr, "clockgap-report: standard output is gone; stopping the watch\n");
            return false;
        }
    }
    return true;
}

// A line that is not the monitor's: skipped with a warning in a watch; otherwise it ends
// the report with status 1.
// The bad lines named one by one on standard error; the rest are counted.
constexpr uint64_t named_bad_lines = 10;

// A line that is not the monitor's costs that line alone: it is skipped and counted,
// and named (in a watch every one, otherwise the first ten). With --strict it ends the
// report with status 1, which the return value says. The first line of a log that
// begins with a piece of a line is the rest of a row cut off in front: a fragment.
bool skip_bad_line(const options& o, log_facts* facts, long number, const char* fault) {
    if (o.strict) {
        fprintf(stderr, "clockgap-report: %s line %ld %s\n", facts->name, number, fault);
        return false;
    }
    if (number == 1 && !facts->fragment_first) {
        facts->fragment_first = true;
        fprintf(stderr,
                "clockgap-report: %s line 1 is the rest of a line whose start is missing (the "
                "log was cut there); skipped it\n",
                facts->name);
        return true;
    }
    ++facts->skipped_lines;
    facts->first_skipped_line = facts->first_skipped_line == 0 ? number : facts->first_skipped_line;
    if (o.follow || facts->skipped_lines <= named_bad_lines) {
        fprintf(stderr, "clockgap-report: %s line %ld %s; skipped it\n", facts->name, number,
                fault);
    }
    return true;
}

// NUL bytes passed over since the last note: one note for each run of them.
void note_nul_bytes(const line_source* source, log_facts* facts) {
    if (source->nul_bytes == facts->nul_bytes) {
        return;
    }
    fprintf(stderr,
            "clockgap-report: %s line %ld begins after %" PRIu64
            " NUL bytes (a log truncated while it was written, as logrotate's copytruncate "
            "does); passed over them\n",
            facts->name, source->number, source->nul_bytes - facts->nul_bytes);
    facts->nul_bytes = source->nul_bytes;
}

// Reads every line into the fold, the grid and the outputs. Returns 0, or the status
// that ends the report.
int read_lines(line_source* source, stages* p, log_facts* facts) {
    outputs* const out = &p->out;
    const options& o = *out->o;
    char reason[160] = "";
    for (;;) {
        if (o.follow) {
            source->input.quiet_at_ms = out->silence.next_ms;
        }
        std::string_view text;
        const line_status status = next_line(source, &text, reason, sizeof reason);
        if (status == line_status::end) {
            return 0;
        }
        if (status == line_status::quiet) {
            note_silence(&out->silence, out->events);
            continue;
        }
        if (status == line_status::failed) {
            fprintf(stderr, "clockgap-report: cannot read %s: %s\n", facts->name, reason);
            return 1;
        }
        if (status == line_status::too_long) {
            if (!skip_bad_line(o, facts, source->number,
                               "is longer than any line clockgap writes")) {
                return 1;
            }
            continue;
        }
        if (status == line_status::cut_short) {
            // The monitor writes whole lines: this one was cut while the log was copied.
            fprintf(stderr, "clockgap-report: %s line %ld is cut short (no line end); skipped it\n",
                    facts->name, source->number);
            facts->cut_short_line = source->number;
            return 0;
        }
        note_nul_bytes(source, facts);
        report_row row;
        if (read_row(text, &row)) {
            if (!take_row(source, p, text, row)) {
                return 1;
            }
            continue;
        }
        const log_line line = read_log_line(text);
        switch (line.kind) {
            case log_line_kind::preamble:
                input_run_line(&p->input, text, false);
                log_preamble(&out->days, text);
                break;
            case log_line_kind::header:
                input_run_line(&p->input, text, true);
                log_header(&out->days);
                break;
            case log_line_kind::row:  // one read_row left to the careful reader
                if (!take_row(source, p, text, line.row)) {
                    return 1;
                }
                break;
            case log_line_kind::bad:
                if (!skip_bad_line(o, facts, source->number, line.error)) {
                    return 1;
                }
                break;
        }
    }
}

// The summary, or the JSON document (one line after a watch's JSON Lines).
void print_end(const options& o, const run_fold* fold, const log_facts& facts) {
    if (o.follow) {
        write_input_end(event_out{stdout, o.kind == output_kind::json}, facts.ended);
    }
    if (o.kind == output_kind::summary) {
        if (o.follow) {
            printf("\n");
        }
        print_summary(stdout, fold, facts);
    } else if (o.kind == output_kind::json) {
        print_json(stdout, fold, facts, !o.follow);
    }
    fflush(stdout);
}

// Draws the picture after the summary; returns the exit status.
int draw_picture(const options& o, const heat_grid* grid, const run_fold* fold) {
    switch (plot_heat_map(grid, o.plot_path, read_fold(fold).stalls->threshold_ns)) {
        case plot_result::drawn:
            if (o.kind == output_kind::summary) {
                printf("\nPicture: %s\n", o.plot_path);
            }
            return 0;
        case plot_result::no_gnuplot:
            fprintf(stderr,
                    "clockgap-report: gnuplot is not installed, so there is no picture; install "
                    "it (%s) and run again\n",
                    gnuplot_install_hint());
            return 3;
        case plot_result::too_few_rows:
            fprintf(stderr,
                    "clockgap-report: too few rows for a picture (%" PRIu64
                    " in the window; it takes 2 or more)\n",
                    grid->rows);
            return 3;
        case plot_result::failed:
            break;
    }
    fprintf(stderr, "clockgap-report: gnuplot could not draw %s\n", o.plot_path);
    return 3;
}

// Closes the files, prints the summary and draws the picture; returns the exit status.
int finish_outputs(outputs* out, const run_fold* fold, const heat_grid* grid,
                   const log_facts& facts) {
    const options& o = *out->o;
    write_prom(&out->prom, fold);
    // The metrics file holds totals, so one written after a failure has lost nothing;
    // a day log that failed has lost lines.
    const bool logs_whole = finish_day_log(&out->days) && !out->prom.failing;
    if (facts.skipped_lines > named_bad_lines && !o.follow) {
        fprintf(stderr,
                "clockgap-report: %s: %" PRIu64
                " more lines that are not clockgap's were skipped\n",
                facts.name, facts.skipped_lines - named_bad_lines);
    }
    print_end(o, fold, facts);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        // A full disk or a closed output under the summary, the JSON or the CSV.
        fprintf(stderr, "clockgap-report: standard output could not be written (%s)\n",
                strerror(errno));
        return 1;
    }
    if (o.html_path != nullptr) {
        char reason[160] = "";
        if (!write_html_page(o.html_path, fold, grid, facts, reason, sizeof reason)) {
            fprintf(stderr, "clockgap-report: cannot write %s: %s\n", o.html_path, reason);
            return 1;
        }
        if (o.kind == output_kind::summary) {
            printf("\nPage: %s\n", o.html_path);
        }
    }
    if (o.plot_path != nullptr) {
        if (const int status = draw_picture(o, grid, fold); status != 0) {
            return status;
        }
    }
    if (fold->totals.rows == 0 && facts.input->rows_outside == 0 &&
        (facts.skipped_lines > 0 || facts.fragment_first)) {
        fprintf(stderr, "clockgap-report: %s holds no row of clockgap's: not a clockgap log\n",
                facts.name);
        return 1;
    }
    if (!logs_whole) {
        fprintf(stderr,
                "clockgap-report: some lines or figures could not be written (see above)\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    options o{};
    if (const int status = read_options(argc, argv, &o); status != 0) {
        return status;
    }
    if (o.help) {
        fputs(usage_text, stdout);
        return 0;
    }
    // The watch's files are checked before anything is read.
    const auto p = std::make_unique<stages>();
    if (const int status = open_outputs(&p->out, o); status != 0) {
        return status;
    }
    const char* const name = o.log_path != nullptr ? o.log_path : "standard input";
    char reason[160] = "";
    log_input input{};
    if (!open_log(o.log_path, &input, reason, sizeof reason)) {
        fprintf(stderr, "clockgap-report: cannot read %s: %s\n", name, reason);
        return 1;
    }
    input.follow = o.follow;
    ignore_broken_pipe();
    end_input_on_interrupt();

    start_input(&p->input, o.from_ms, o.to_ms);
    start_fold(&p->fold, o.stall_ms * 1'000'000);
    start_heat(&p->grid);
    line_source source{};
    open_line_source(&source, input);
    if (o.kind == output_kind::csv) {
        write_csv_header(stdout);
    }
    log_facts facts{name, 0, 0, &p->input, input_end::end_of_input, o.follow, 0, 0, false, 0};
    if (const int status = read_lines(&source, p.get(), &facts); status != 0) {
        return status;
    }
    facts.lines = source.number;
    facts.ended = source.input.ended;
    close_log(&input);
    finish_fold(&p->fold);
    return finish_outputs(&p->out, &p->fold, &p->grid, facts);
}
