#include "report/cli.h"

#include "clock/build_info.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "report/os/report_os.h"
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
    "                       [--prometheus FILE] [--json] [LOG]\n"
    "       clockgap-report --fleet [--json] [--html FILE.html] [--from TIME] [--to TIME]\n"
    "                       [--stall MS] HOST...\n"
    "\n"
    "Reads a log written by clockgap and prints a summary of it. Each INPUT is a log\n"
    "file (compressed with gzip or not), a folder that stands for the day files in it\n"
    "in the order of their time, or - for standard input (also when none is given);\n"
    "several are read as one log, in the order given. Options take their value as\n"
    "--opt VALUE or --opt=VALUE.\n"
    "\n"
    "  --json        the summary as one JSON document\n"
    "  --csv         the rows as CSV with one clean header and ISO 8601 UTC times\n"
    "  --plot FILE   also draw the log with gnuplot as a heat map (.png or .svg)\n"
    "  --html FILE   also write the whole report as one page (.html): the figures, the\n"
    "                heat map drawn by this program, the summary; nothing else needed\n"
    "  --from TIME   only rows at or after TIME (ISO 8601, e.g. 2026-12-07T08:00Z,\n"
    "                2026-12-07T09:00+01:00, or 2026-12-07; UTC when no offset is given)\n"
    "  --to TIME     only rows before TIME (a date alone is its midnight)\n"
    "  --stall MS    a stall is a row with a gap of MS milliseconds or more (default 10,\n"
    "                or 10 more than the monitor's pause when its log gives one)\n"
    "  --strict      a line that is not clockgap's ends the report with status 1\n"
    "                (without it, such a line is skipped and counted)\n"
    "  --follow      report each row's events as it arrives, and a silence of 2 s or more\n"
    "                while it lasts, then the summary at the end of the input or at\n"
    "                Ctrl-C or SIGTERM; a LOG file is followed as it grows. With --json,\n"
    "                one JSON object a line: each event, then the summary\n"
    "  --alert MS    the same as --stall: the gap that --follow reports\n"
    "  --log PATTERN write every line read to PATTERN, a file a UTC day when it holds\n"
    "                strftime fields (run-%Y-%m-%d.log)\n"
    "  --keep N      keep the N day files of PATTERN written most recently (compressed\n"
    "                or not), and remove older ones of PATTERN's names\n"
    "  --gzip        compress each finished day file of PATTERN into FILE.gz\n"
    "  --prometheus FILE\n"
    "                keep FILE up to date with the figures in Prometheus' text format,\n"
    "                for node_exporter's textfile collector\n"
    "  --fleet       each INPUT is one host (a folder of its day files, or one log; a\n"
    "                folder of such folders stands for each): a table of the hosts, worst\n"
    "                first, and the moments two or more of them shared (stalls, clock\n"
    "                steps, gaps above 5 s, silences within a second of each other)\n"
    "  --version     the version and the build\n"
    "  --help        this text\n";

int usage(const char* format, const char* a = "", const char* b = "") {
    char problem[400];
    snprintf(problem, sizeof problem, format, a, b);
    complain("%s", problem);
    print_usage(stderr);
    return 2;
}

enum class option_id {
    help,
    version,
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
    strict,
    keep,
    gzip,
    fleet
};

struct option_entry {
    const char* name;
    option_id id;
    bool takes_value;
};

// Every option; --alert is the watch's name for --stall, and -h for --help.
constexpr option_entry option_table[] = {
    {"--help", option_id::help, false},       {"-h", option_id::help, false},
    {"--version", option_id::version, false}, {"--json", option_id::json, false},
    {"--csv", option_id::csv, false},         {"--follow", option_id::follow, false},
    {"--log", option_id::log, true},          {"--prometheus", option_id::prometheus, true},
    {"--plot", option_id::plot, true},        {"--html", option_id::html, true},
    {"--from", option_id::from, true},        {"--to", option_id::to, true},
    {"--stall", option_id::stall, true},      {"--alert", option_id::stall, true},
    {"--strict", option_id::strict, false},   {"--keep", option_id::keep, true},
    {"--gzip", option_id::gzip, false},       {"--fleet", option_id::fleet, false},
};

// Edits (insert, delete, change a character) from `a` to `b`, for a word of at most 31.
int edit_distance(std::string_view a, std::string_view b) {
    if (a.size() > 31 || b.size() > 31) {
        return 99;
    }
    int row[32];
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = static_cast<int>(j);
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = static_cast<int>(i);
        for (size_t j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The option nearest to `word`, when it is near enough to be what was meant.
const char* nearest_option(std::string_view word) {
    const char* best = nullptr;
    int best_distance = 3;
    for (const option_entry& e : option_table) {
        const int d = edit_distance(word, e.name);
        if (d < best_distance) {
            best = e.name;
            best_distance = d;
        }
    }
    return best;
}

// Takes one option's value into `o`; returns 0, or the exit status of wrong usage.
int take_option(const option_entry& e, const char* value, report_options* o) {
    switch (e.id) {
        case option_id::help:
            o->help = true;
            return 0;
        case option_id::version:
            o->version = true;
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
        case option_id::fleet:
            o->fleet = true;
            break;
        case option_id::follow:
            o->follow = true;
            return 0;
        case option_id::strict:
            o->strict = true;
            return 0;
        case option_id::gzip:
            o->gzip = true;
            return 0;
        case option_id::keep: {
            long long days = 0;
            if (!whole_number(value, 1, 100'000, &days)) {
                return usage("--keep needs a whole number of day files, 1 to 100000");
            }
            o->keep_days = static_cast<int>(days);
            return 0;
        }
        case option_id::log:
        case option_id::prometheus:
            if (value == nullptr || value[0] == '\0') {
                return usage("%s needs a file name", e.name);
            }
            (e.id == option_id::log ? o->log_pattern : o->prom_path) = value;
            return 0;
        case option_id::plot:
        case option_id::html: {
            const bool plot = e.id == option_id::plot;
            if (value == nullptr || value[0] == '-') {
                return usage("%s needs the name of a %s file", e.name, plot ? "picture" : "page");
            }
            if (!(plot ? picture_name_ok(value) : page_name_ok(value))) {
                return usage(plot ? "the picture's name must end in .png or .svg: %s"
                                  : "the page's name must end in .html or .htm: %s",
                             value);
            }
            (plot ? o->plot_path : o->html_path) = value;
            return 0;
        }
        case option_id::from:
        case option_id::to: {
            int64_t ms = 0;
            if (value == nullptr || !parse_utc(value, &ms)) {
                return usage(
                    "%s needs an ISO 8601 date and time such as 2026-12-07T08:30:00Z or "
                    "2026-12-07T09:30+01:00, not '%s'",
                    e.name, value != nullptr ? value : "");
            }
            (e.id == option_id::from ? o->from_ms : o->to_ms) = ms;
            return 0;
        }
        case option_id::stall: {
            long long ms = 0;
            if (!whole_number(value, 1, 3'600'000, &ms)) {
                return usage("%s needs a whole number of milliseconds, 1 to 3600000", e.name);
            }
            o->stall_ms = ms;
            return 0;
        }
    }
    return 0;
}

// What the options say together, checked once all are read.
int check_options(const report_options& o) {
    if (o.fleet && (o.follow || o.log_pattern != nullptr || o.prom_path != nullptr)) {
        return usage("--fleet reads hosts' logs that are there: not with --follow or --log");
    }
    if (o.fleet && (o.kind == output_kind::csv || o.plot_path != nullptr || o.strict)) {
        return usage("--fleet gives text, --json and --html: not --csv, --plot or --strict");
    }
    if (o.fleet && o.inputs.empty()) {
        return usage("--fleet needs the hosts: a folder or log for each, or a folder of them");
    }
    if (o.fleet && std::find_if(o.inputs.begin(), o.inputs.end(), [](const char* i) {
                       return strcmp(i, "-") == 0;
                   }) != o.inputs.end()) {
        return usage("--fleet reads hosts from folders and files, not standard input");
    }
    if (!o.follow && (o.log_pattern != nullptr || o.prom_path != nullptr)) {
        return usage("--log and --prometheus go with --follow");
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
    if ((o.inputs.empty() || standard_inputs > 0) && stdin_is_terminal()) {
        return usage(
            "no LOG given, and standard input is a terminal: give a log file, or pipe one in "
            "(clockgap | clockgap-report)");
    }
    return 0;
}

}  // namespace

void print_usage(FILE* out) {
    fputs(usage_text, out);
}

void print_version(FILE* out) {
    fprintf(out, "clockgap-report %s\nbuilt with %s\n", build_version(), build_words());
}

int read_options(int argc, char** argv, report_options* o) {
    *o = report_options{};
    o->kind = output_kind::summary;
    o->out = stdout;
    o->from_ms = std::numeric_limits<int64_t>::min();
    o->to_ms = std::numeric_limits<int64_t>::max();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // --opt=value is the same as --opt value.
        const size_t equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, equals);
        const option_entry* entry = nullptr;
        for (const option_entry& e : option_table) {
            entry = name == e.name ? &e : entry;
        }
        if (entry != nullptr) {
            if (equals != std::string_view::npos && !entry->takes_value) {
                return usage("%s takes no value", entry->name);
            }
            const char* value = equals != std::string_view::npos     ? argv[i] + equals + 1
                                : entry->takes_value && i + 1 < argc ? argv[i + 1]
                                                                     : nullptr;
            if (const int status = take_option(*entry, value, o); status != 0) {
                return status;
            }
            if (o->help || o->version) {
                return 0;
            }
            i += entry->takes_value && equals == std::string_view::npos ? 1 : 0;
        } else if (arg[0] != '-' || arg.size() == 1) {
            o->inputs.push_back(argv[i]);
        } else if (const char* guess = arg.starts_with("-") ? nearest_option(name) : nullptr) {
            return usage("unknown option '%s'; did you mean %s?", argv[i], guess);
        } else {
            return usage("unknown or repeated argument '%s'", argv[i]);
        }
    }
    return check_options(*o);
}
