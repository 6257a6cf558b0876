#include "report/cli.h"

#include "clock/build_info.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "report/options/listen_address.h"
#include "report/options/option_table.h"
#include "report/os/files.h"
#include "report/os/input.h"
#include "report/outputs/day_keeper.h"
#include "report/outputs/gnuplot.h"
#include "report/outputs/html_page.h"
#include "report/util/complain.h"
#include "report/util/report_time.h"

#ifndef CLOCKGAP_VERSION
#define CLOCKGAP_VERSION "unknown"
#endif

namespace {

const char usage_text[] =
    "usage: clockgap-report [--json | --csv] [--plot FILE.png|FILE.svg] [--html FILE.html]\n"
    "                       [--from TIME] [--to TIME] [--stall MS] [--strict] [INPUT...]\n"
    "       clockgap-report --follow [--alert MS] [--log PATTERN [--keep N] [--gzip]]\n"
    "                       [--prometheus FILE] [--listen ADDR:PORT] [--json]\n"
    "                       [--monitor MS | LOG]\n"
    "       clockgap-report --fleet [--json] [--html FILE.html] [--from TIME] [--to TIME]\n"
    "                       [--stall MS] [--top N] HOST...\n"
    "\n"
    "Reads a log written by clockgap and prints a summary of it. Each INPUT is a log\n"
    "file (compressed with gzip or not), a folder that stands for the day files in it\n"
    "in the order of their time, or - for standard input (also when none is given);\n"
    "several are read as one log, in the order given. Options take their value as\n"
    "--opt VALUE or --opt=VALUE.\n"
    "\n";

using report_option_row = option_row<report_options>;
using ro = report_options;

// Every option, in the order of the help; --alert is the watch's name for --stall.
constexpr report_option_row option_table[] = {
    {.name = "--json", .help = "the summary as one JSON document", .flag = &ro::json},
    {.name = "--csv",
     .help = "the rows as CSV with one clean header and ISO 8601 UTC times",
     .flag = &ro::csv},
    {.name = "--plot",
     .kind = value_kind::name,
     .value_name = "FILE",
     .help = "also draw the log with gnuplot as a heat map (.png or .svg)",
     .text = &ro::plot_path,
     .what = "picture",
     .endings = ".png .svg"},
    {.name = "--html",
     .kind = value_kind::name,
     .value_name = "FILE",
     .help = "also write the whole report as one page (.html): the figures, the\n"
             "heat map drawn by this program, the summary; nothing else needed",
     .text = &ro::html_path,
     .what = "page",
     .endings = ".html .htm"},
    {.name = "--from",
     .kind = value_kind::time,
     .value_name = "TIME",
     .help = "only rows at or after TIME (ISO 8601, e.g. 2026-12-07T08:00Z,\n"
             "2026-12-07T09:00+01:00, or 2026-12-07; UTC when no offset is given)",
     .number = &ro::from_ms},
    {.name = "--to",
     .kind = value_kind::time,
     .value_name = "TIME",
     .help = "only rows before TIME (a date alone is its midnight)",
     .number = &ro::to_ms},
    {.name = "--stall",
     .kind = value_kind::whole,
     .value_name = "MS",
     .help = "a stall is a row with a gap of MS milliseconds or more (default 10,\n"
             "or 10 more than the monitor's pause when its log gives one)",
     .number = &ro::stall_ms,
     .low = 1,
     .high = 3'600'000,
     .unit = "milliseconds"},
    {.name = "--strict",
     .help = "a line that is not clockgap's ends the report with status 1\n"
             "(without it, such a line is skipped and counted)",
     .flag = &ro::strict},
    {.name = "--follow",
     .help = "report each row's events as it arrives, and a silence of 2 s or more\n"
             "while it lasts, then the summary at the end of the input or at\n"
             "Ctrl-C or SIGTERM; a LOG file is followed as it grows. With --json,\n"
             "one JSON object a line: each event, then the summary",
     .flag = &ro::follow},
    {.name = "--alert",
     .kind = value_kind::whole,
     .value_name = "MS",
     .help = "the same as --stall: the gap that --follow reports",
     .number = &ro::stall_ms,
     .low = 1,
     .high = 3'600'000,
     .unit = "milliseconds"},
    {.name = "--log",
     .kind = value_kind::name,
     .value_name = "PATTERN",
     .help = "write every line read to PATTERN, a file a UTC day when it holds\n"
             "strftime fields (run-%Y-%m-%d.log)",
     .text = &ro::log_pattern},
    {.name = "--keep",
     .kind = value_kind::whole,
     .value_name = "N",
     .help = "keep the N day files of PATTERN written most recently (compressed\n"
             "or not), and remove older ones of PATTERN's names",
     .number = &ro::keep_days,
     .low = 1,
     .high = 100'000,
     .unit = "day files"},
    {.name = "--gzip",
     .help = "compress each finished day file of PATTERN into FILE.gz",
     .flag = &ro::gzip},
    {.name = "--prometheus",
     .kind = value_kind::name,
     .value_name = "FILE",
     .help = "keep FILE up to date with the figures in Prometheus' text format,\n"
             "for node_exporter's textfile collector",
     .text = &ro::prom_path},
    {.name = "--listen",
     .kind = value_kind::name,
     .value_name = "ADDR:PORT",
     .help = "serve the same figures over HTTP at /metrics, on a numeric address\n"
             "and port (127.0.0.1 when only the port is given; 0.0.0.0:PORT for\n"
             "every address of the machine, [::]:PORT for IPv6)",
     .text = &ro::listen},
    {.name = "--monitor",
     .kind = value_kind::whole,
     .value_name = "MS",
     .help = "with --follow: start the monitor (clockgap MS, from this program's\n"
             "folder) and watch its rows: the service in one process, for a\n"
             "container. The watch ends when the monitor does, and ends it",
     .number = &ro::monitor_ms,
     .low = 0,
     .high = longest_monitor_period_ms,
     .unit = "milliseconds"},
    {.name = "--fleet",
     .help = "each INPUT is one host (a folder of its day files, or one log; a\n"
             "folder of such folders stands for each): a table of the hosts, worst\n"
             "first, and the moments two or more of them shared (stalls, clock\n"
             "steps, gaps above 5 s, silences within a second of each other)",
     .flag = &ro::fleet},
    {.name = "--top",
     .kind = value_kind::whole,
     .value_name = "N",
     .help = "with --fleet: the text's table shows the N worst hosts and says how\n"
             "many it left out (default: every host below 50, else the 40 worst)",
     .number = &ro::top_hosts,
     .low = 1,
     .high = 1'000'000,
     .unit = "hosts"},
    {.name = "--version", .help = "the version and the build", .flag = &ro::version, .ends = true},
    {.name = "--help", .help = "this text", .alias = "-h", .flag = &ro::help, .ends = true},
};

int usage(const char* format, const char* a = "", const char* b = "") {
    char problem[400];
    snprintf(problem, sizeof problem, format, a, b);
    complain("%s", problem);
    print_usage(stderr);
    return 2;
}

// What the options say together, checked once all are read.
int check_options(report_options* options) {
    if (options->json && options->csv) {
        return usage("--json and --csv exclude each other");
    }
    options->kind = options->json  ? output_kind::json
                    : options->csv ? output_kind::csv
                                   : output_kind::summary;
    const report_options& o = *options;
    if (o.fleet &&
        (o.follow || o.log_pattern != nullptr || o.prom_path != nullptr || o.listen != nullptr)) {
        const char* given = o.follow                   ? "--follow"
                            : o.log_pattern != nullptr ? "--log"
                            : o.prom_path != nullptr   ? "--prometheus"
                                                       : "--listen";
        char says[160];
        snprintf(says, sizeof says,
                 "--fleet reads hosts' logs that are there: not with %s, which is for a live "
                 "watch",
                 given);
        return usage(says);
    }
    if (o.fleet && (o.kind == output_kind::csv || o.plot_path != nullptr || o.strict)) {
        return usage("--fleet gives text, --json and --html: not --csv, --plot or --strict");
    }
    if (o.top_hosts > 0 && !o.fleet) {
        return usage("--top goes with --fleet");
    }
    if (o.fleet && o.inputs.empty()) {
        return usage("--fleet needs the hosts: a folder or log for each, or a folder of them");
    }
    if (o.fleet && std::find_if(o.inputs.begin(), o.inputs.end(), [](const char* i) {
                       return strcmp(i, "-") == 0;
                   }) != o.inputs.end()) {
        return usage("--fleet reads hosts from folders and files, not standard input");
    }
    if (!o.follow && (o.log_pattern != nullptr || o.prom_path != nullptr || o.listen != nullptr)) {
        return usage("--log, --prometheus and --listen go with --follow");
    }
    if (o.listen != nullptr) {
        std::string host;
        int port = 0;
        char why[160];
        if (!split_listen_address(o.listen, &host, &port, why, sizeof why)) {
            return usage("--listen takes PORT, IPV4:PORT or [IPV6]:PORT: %s", why);
        }
    }
    if (o.follow && o.strict) {
        return usage("--strict does not go with --follow: a watch skips a bad line");
    }
    if (o.follow && o.kind == output_kind::csv) {
        return usage("--csv does not go with --follow");
    }
    if ((o.keep_days > 0 || o.gzip) && o.log_pattern == nullptr) {
        return usage("--keep and --gzip go with --log");
    }
    if ((o.keep_days > 0 || o.gzip) && !day_pattern_ok(o.log_pattern)) {
        return usage(
            "--keep and --gzip need a --log PATTERN whose file name (not its folder) holds "
            "strftime fields for the day, such as run-%%Y-%%m-%%d.log: %s",
            o.log_pattern);
    }
    if (o.monitor_ms >= 0 && (!o.follow || !o.inputs.empty())) {
        return usage("--monitor goes with --follow, and the monitor is its one input: no LOG");
    }
    if (o.follow && (o.inputs.size() > 1 || (o.inputs.size() == 1 && is_folder(o.inputs[0])))) {
        return usage("--follow watches one log: a file or standard input");
    }
    int standard_inputs = 0;
    for (const char* input : o.inputs) {
        standard_inputs += strcmp(input, "-") == 0 ? 1 : 0;
    }
    if (standard_inputs > 1) {
        return usage("standard input (-) can be read only once");
    }
    if (o.from_ms >= o.to_ms) {
        return usage("--from is not earlier than --to: the window holds no time");
    }
    if ((o.inputs.empty() || standard_inputs > 0) && stdin_is_terminal() && o.monitor_ms < 0) {
        return usage(
            "no LOG given, and standard input is a terminal: give a log file, or pipe one in "
            "(clockgap | clockgap-report)");
    }
    return 0;
}

}  // namespace

report_options default_report_options() {
    report_options o{};
    o.kind = output_kind::summary;
    o.out = stdout;
    o.from_ms = std::numeric_limits<int64_t>::min();
    o.to_ms = std::numeric_limits<int64_t>::max();
    o.monitor_ms = -1;
    return o;
}

void print_usage(FILE* out) {
    fputs(usage_text, out);
    print_option_help(out, std::span<const report_option_row>(option_table));
}

void print_version(FILE* out) {
    fprintf(out, "clockgap-report %s\nbuilt with %s\n", build_version(), build_words());
}

int read_options(int argc, char** argv, report_options* o) {
    *o = default_report_options();
    std::string problem;
    if (read_table_options(argc, argv, 1, std::span<const report_option_row>(option_table), o,
                           &o->inputs, &problem) != 0) {
        return usage("%s", problem.c_str());
    }
    if (o->help || o->version) {
        return 0;
    }
    return check_options(o);
}
