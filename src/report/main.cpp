// clockgap-report: a log captured from clockgap as a summary of the whole run, and
// optionally as a picture.
//
//   clockgap-report [--plot FILE] [LOG]
//
// Reads LOG, or standard input when none is given. Exit status: 0 done; 1 the log is
// not a clockgap log or has a bad line; 2 wrong usage; 3 the summary was printed but the
// picture could not be drawn.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "report/log_reader.h"
#include "report/plot.h"
#include "report/run_summary.h"

namespace {

int usage() {
    fprintf(stderr, "usage: clockgap-report [--plot FILE.png|FILE.svg] [LOG]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* plot_path = nullptr;
    const char* log_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--plot") == 0 && i + 1 < argc && plot_path == nullptr) {
            plot_path = argv[++i];
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage();
            return 0;
        } else if (log_path == nullptr && (argv[i][0] != '-' || argv[i][1] == '\0')) {
            log_path = argv[i];
        } else {
            return usage();
        }
    }
    const bool from_file = log_path != nullptr && strcmp(log_path, "-") != 0;
    const char* name = from_file ? log_path : "standard input";
    std::ifstream file;
    if (from_file) {
        file.open(log_path, std::ios::binary);
        if (!file) {
            fprintf(stderr, "clockgap-report: cannot open %s: %s\n", log_path, strerror(errno));
            return 1;
        }
    }
    std::istream& in = from_file ? static_cast<std::istream&>(file) : std::cin;

    std::vector<logged_row> rows;
    bool header_seen = false;
    long number = 0;
    for (std::string text; std::getline(in, text);) {
        ++number;
        // A last line without its line end was cut short while the log was written.
        const bool cut_short = in.eof();
        const log_line line = read_log_line(text);
        if (!header_seen) {
            header_seen = line.kind == log_line_kind::header;
            continue;
        }
        if (line.kind == log_line_kind::row) {
            rows.push_back({line.row, number});
        } else if (line.kind == log_line_kind::bad) {
            if (cut_short) {
                fprintf(stderr, "clockgap-report: %s line %ld is cut short (%s); skipped it\n",
                        name, number, line.error);
                break;
            }
            fprintf(stderr, "clockgap-report: %s line %ld %s\n", name, number, line.error);
            return 1;
        }
        // A start line or header after rows: another run appended to the same log.
    }
    if (in.bad()) {
        fprintf(stderr, "clockgap-report: cannot read %s\n", name);
        return 1;
    }
    if (!header_seen) {
        fprintf(stderr,
                "clockgap-report: %s has no clockgap header line (%ld lines read): not a "
                "clockgap log\n",
                name, number);
        return 1;
    }

    print_summary(stdout, rows, summarize(rows));
    fflush(stdout);
    if (plot_path == nullptr) {
        return 0;
    }
    switch (plot_run(rows, plot_path)) {
        case plot_result::drawn:
            printf("\nPicture: %s\n", plot_path);
            return 0;
        case plot_result::no_gnuplot:
            fprintf(stderr,
                    "clockgap-report: gnuplot is not installed, so there is no picture; install "
                    "it (Debian: apt-get install gnuplot-nox) and run again\n");
            return 3;
        case plot_result::bad_name:
            fprintf(stderr, "clockgap-report: the picture's name must end in .png or .svg: %s\n",
                    plot_path);
            return 3;
        case plot_result::failed:
            break;
    }
    fprintf(stderr, "clockgap-report: gnuplot could not draw %s\n", plot_path);
    return 3;
}
