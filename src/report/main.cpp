// clockgap-report: a log written by clockgap as a summary, a JSON document, a clean CSV
// and a picture, or a live watch with event lines, day files and a Prometheus file; all
// from one pass over its rows in memory that does not grow with it.
//
// Exit status: 0 done; 1 the log could not be read or has a line that is not the
// monitor's; 2 wrong usage; 3 the summary was printed but the picture was not drawn.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "report/day_log.h"
#include "report/event_lines.h"
#include "report/heat_map.h"
#include "report/line_source.h"
#include "report/log_reader.h"
#include "report/prom_file.h"
#include "report/report_os.h"
#include "report/report_time.h"
#include "report/run_fold.h"
#include "report/summary_print.h"

namespace {

const char usage_text[] =
    "usage: clockgap-report [--json | --csv] [--plot FILE.png|FILE.svg]\n"
    "                       [--from TIME] [--to TIME] [--stall MS] [LOG]\n"
    "       clockgap-report --follow [--alert MS] [--log PATTERN] [--prometheus FILE]\n"
    "                       [--json] [LOG]\n"
    "\n"
    "Reads LOG, a log written by clockgap (standard input when LOG is absent or -), and\n"
    "prints a summary of it.\n"
    "\n"
    "  --json        the summary as one JSON document\n"
    "  --csv         the rows as CSV with one clean header and ISO 8601 UTC times\n"
    "  --plot FILE   also draw the log with gnuplot as a heat map (.png or .svg)\n"
    "  --from TIME   only rows at or after TIME (UTC, e.g. 2026-12-07T08:00 or 2026-12-07)\n"
    "  --to TIME     only rows at or before TIME (UTC)\n"
    "  --stall MS    a stall is a gap of MS milliseconds or more (default 10)\n"
    "  --follow      report each row's events as it arrives, then the summary at the end\n"
    "                of the input or at Ctrl-C; a LOG file is followed as it grows\n"
    "  --alert MS    the same as --stall: the gap that --follow reports (default 10)\n"
    "  --log PATTERN write every line read to PATTERN, a file a UTC day when it holds\n"
    "                strftime fields (run-%Y-%m-%d.log)\n"
    "  --prometheus FILE\n"
    "                rewrite FILE after every row with the figures in Prometheus' text\n"
    "                format, for node_exporter's textfile collector\n"
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
    bool follow;
    const char* log_pattern;
    const char* prom_path;
    const char* plot_path;
    const char* log_path;  // nullptr: standard input
    int64_t from_ms, to_ms;
    int64_t stall_ms;
};

// Reads the command line into `o`; returns 0, or the exit status of wrong usage.
int read_options(int argc, char** argv, options* o) {
    *o = options{};
    o->kind = output_kind::summary;
    o->from_ms = std::numeric_limits<int64_t>::min();
    o->to_ms = std::numeric_limits<int64_t>::max();
    o->stall_ms = 10;
    bool log_given = false;
    char problem[200];
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(usage_text, stdout);
            exit(0);
        } else if (strcmp(arg, "--json") == 0 || strcmp(arg, "--csv") == 0) {
            const output_kind kind = arg[2] == 'j' ? output_kind::json : output_kind::csv;
            if (o->kind != output_kind::summary && o->kind != kind) {
                return usage("--json and --csv exclude each other");
            }
            o->kind = kind;
        } else if (strcmp(arg, "--follow") == 0) {
            o->follow = true;
        } else if (strcmp(arg, "--log") == 0 || strcmp(arg, "--prometheus") == 0) {
            if (!has_value || argv[i + 1][0] == '\0') {
                snprintf(problem, sizeof problem, "%s needs a file name", arg);
                return usage(problem);
            }
            (arg[2] == 'l' ? o->log_pattern : o->prom_path) = argv[++i];
        } else if (strcmp(arg, "--plot") == 0) {
            if (!has_value || argv[i + 1][0] == '-') {
                return usage("--plot needs the name of a picture file");
            }
            o->plot_path = argv[++i];
            if (!picture_name_ok(o->plot_path)) {
                snprintf(problem, sizeof problem, "the picture's name must end in .png or .svg: %s",
                         o->plot_path);
                return usage(problem);
            }
        } else if (strcmp(arg, "--from") == 0 || strcmp(arg, "--to") == 0) {
            int64_t ms = 0;
            if (!has_value || !parse_utc(argv[i + 1], &ms)) {
                snprintf(problem, sizeof problem,
                         "%s needs a UTC date and time such as 2026-12-07T08:30:00Z, not '%s'", arg,
                         has_value ? argv[i + 1] : "");
                return usage(problem);
            }
            (arg[2] == 'f' ? o->from_ms : o->to_ms) = ms;
            ++i;
        } else if (strcmp(arg, "--stall") == 0 || strcmp(arg, "--alert") == 0) {
            char* end = nullptr;
            errno = 0;
            const long long ms = has_value ? strtoll(argv[i + 1], &end, 10) : 0;
            if (!has_value || end == argv[i + 1] || *end != '\0' || errno != 0 || ms < 1 ||
                ms > 3'600'000) {
                snprintf(problem, sizeof problem,
                         "%s needs a whole number of milliseconds, 1 to 3600000", arg);
                return usage(problem);
            }
            o->stall_ms = ms;
            ++i;
        } else if (!log_given && (arg[0] != '-' || arg[1] == '\0')) {
            log_given = true;
            o->log_path = strcmp(arg, "-") == 0 ? nullptr : arg;
        } else {
            snprintf(problem, sizeof problem, "unknown or repeated argument '%s'", arg);
            return usage(problem);
        }
    }
    if (!o->follow && (o->log_pattern != nullptr || o->prom_path != nullptr)) {
        return usage("--log and --prometheus go with --follow");
    }
    if (o->follow && o->kind == output_kind::csv) {
        return usage("--csv does not go with --follow");
    }
    if (o->from_ms > o->to_ms) {
        return usage("--from is later than --to: the window holds no time");
    }
    if (o->log_path == nullptr && stdin_is_terminal()) {
        return usage(
            "no LOG given, and standard input is a terminal: give a log file, or pipe "
            "one in (clockgap | clockgap-report)");
    }
    return 0;
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

}  // namespace

int main(int argc, char** argv) {
    options o{};
    if (const int status = read_options(argc, argv, &o); status != 0) {
        return status;
    }
    const char* const name = o.log_path != nullptr ? o.log_path : "standard input";
    char reason[160] = "";
    // The watch's files are checked before anything is read.
    day_log days{};
    if (o.log_pattern != nullptr && !start_day_log(&days, o.log_pattern, reason, sizeof reason)) {
        fprintf(stderr, "clockgap-report: cannot write the log %s: %s\n", o.log_pattern, reason);
        return 1;
    }
    const auto prom = std::make_unique<prom_file>();
    if (o.prom_path != nullptr &&
        !start_prom_file(prom.get(), o.prom_path, reason, sizeof reason)) {
        fprintf(stderr, "clockgap-report: cannot write %s: %s\n", o.prom_path, reason);
        return 1;
    }
    log_input input{};
    if (!open_log(o.log_path, &input, reason, sizeof reason)) {
        fprintf(stderr, "clockgap-report: cannot read %s: %s\n", name, reason);
        return 1;
    }
    input.follow = o.follow;
    ignore_broken_pipe();
    end_input_on_interrupt();

    // Allocated once; nothing below grows with the log.
    const auto fold = std::make_unique<run_fold>();
    const auto grid = std::make_unique<heat_grid>();
    start_fold(fold.get(), o.stall_ms * 1'000'000, o.from_ms, o.to_ms);
    start_heat(grid.get());
    line_source source{};
    open_line_source(&source, input);
    if (o.kind == output_kind::csv) {
        write_csv_header(stdout);
    }

    log_facts facts{name, 0, 0,
                    o.from_ms != std::numeric_limits<int64_t>::min() ||
                        o.to_ms != std::numeric_limits<int64_t>::max(),
                    false};
    for (;;) {
        std::string_view text;
        const line_status status = next_line(&source, &text, reason, sizeof reason);
        if (status == line_status::end) {
            break;
        }
        if (status == line_status::failed) {
            fprintf(stderr, "clockgap-report: cannot read %s: %s\n", name, reason);
            return 1;
        }
        if (status == line_status::too_long) {
            fprintf(stderr,
                    "clockgap-report: %s line %ld is longer than any line clockgap "
                    "writes: not a clockgap log%s\n",
                    name, source.number, o.follow ? "; skipped it" : "");
            if (o.follow) {
                continue;
            }
            return 1;
        }
        if (status == line_status::cut_short) {
            // The monitor writes whole lines: this one was cut while the log was copied.
            fprintf(stderr,
                    "clockgap-report: %s line %ld is cut short (no line end); "
                    "skipped it\n",
                    name, source.number);
            facts.cut_short_line = source.number;
            break;
        }
        const log_line line = read_log_line(text);
        switch (line.kind) {
            case log_line_kind::preamble:
                fold_run_line(fold.get());
                log_preamble(&days, text);
                break;
            case log_line_kind::header:
                fold_run_line(fold.get());
                log_header(&days);
                break;
            case log_line_kind::row:
                log_row(&days, text, line.row);
                if (fold_row(fold.get(), line.row, source.number)) {
                    fold_heat(grid.get(), line.row, unix_ms(line.row.timestamp));
                    if (o.kind == output_kind::csv) {
                        write_csv_row(stdout, line.row, source.number, fold->run);
                    }
                    if (o.follow) {
                        int64_t tick_ns = 0;
                        const int64_t stall_ns =
                            stalls_in_force(fold.get(), &tick_ns)->threshold_ns;
                        write_row_events(stdout, line.row, source.number, stall_ns);
                        if (ferror(stdout)) {
                            fprintf(stderr,
                                    "clockgap-report: standard output is gone; "
                                    "stopping the watch\n");
                            return 1;
                        }
                        fold_prom(prom.get(), fold.get(), line.row);
                    }
                }
                break;
            case log_line_kind::bad:
                fprintf(stderr, "clockgap-report: %s line %ld %s%s\n", name, source.number,
                        line.error, o.follow ? "; skipped it" : "");
                if (o.follow) {
                    break;
                }
                return 1;
        }
    }
    facts.lines = source.number;
    facts.interrupted = source.input.interrupted;
    close_log(&input);
    finish_fold(fold.get());
    finish_day_log(&days);

    if (o.follow && o.kind == output_kind::summary) {
        printf("\n");
    }
    if (o.kind == output_kind::summary) {
        print_summary(stdout, fold.get(), facts);
    } else if (o.kind == output_kind::json) {
        print_json(stdout, fold.get(), facts);
    }
    fflush(stdout);
    if (o.plot_path == nullptr) {
        return 0;
    }
    switch (plot_heat_map(grid.get(), o.plot_path, read_fold(fold.get()).stalls->threshold_ns)) {
        case plot_result::drawn:
            if (o.kind == output_kind::summary) {
                printf("\nPicture: %s\n", o.plot_path);
            }
            return 0;
        case plot_result::no_gnuplot:
            fprintf(stderr,
                    "clockgap-report: gnuplot is not installed, so there is no picture; install "
                    "it (Debian: apt-get install gnuplot-nox) and run again\n");
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
