// The command line of clockgap-report: one table of options, read into a plain record and
// checked as a whole before anything is read. Reading never ends the program; it returns
// the exit status of wrong usage (2) after saying why, with the usage.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

enum class output_kind { summary, json, csv };

struct report_options {
    output_kind kind;
    bool help, version;
    bool follow;
    bool strict;              // a line that is not the monitor's ends the report
    const char* log_pattern;  // --log
    int keep_days;            // --keep: day files kept; 0: all
    bool gzip;                // --gzip: finished day files are compressed
    const char* prom_path;    // --prometheus
    const char* plot_path;    // --plot
    const char* html_path;    // --html
    // The inputs in the order given: files, folders of day files, and "-" (standard
    // input). None given: standard input.
    std::vector<const char*> inputs;
    FILE* out;               // where the summary, CSV, JSON and event lines go: standard output
    int64_t from_ms, to_ms;  // the window, Unix ms; the widest when not given
    int64_t stall_ms;        // --stall or --alert; 0: the default
    // The monitor's process id, when the program that runs the watch knows it (the
    // Windows service); nullptr: the watch finds the writer of its input itself.
    const std::atomic<long>* monitor_pid;
    bool fleet;  // --fleet: each INPUT is a host, read on its own and set beside the others
    // In a fleet, the host this pipeline reads: its figures go there, and nothing is
    // printed. nullptr: a report of its own.
    struct fleet_host* host;
};

// Returns 0, or 2 after saying on standard error what is wrong, with the usage.
int read_options(int argc, char** argv, report_options* o);

// Whether `value` is all of a whole number from `low` to `high`; the number in `number`.
bool whole_number(const char* value, long long low, long long high, long long* number);

void print_usage(FILE* out);
// The version and the build: compiler and platform.
void print_version(FILE* out);
