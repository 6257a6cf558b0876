// What clockgap-report was asked to do: a plain record of options, read from the command
// line by cli.h and read by every stage below it. It holds options only: no results.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

enum class output_kind { summary, json, csv };

struct report_options {
    output_kind kind;  // from --json and --csv, which exclude each other
    bool json, csv;
    bool help, version;
    bool follow;
    bool strict;              // a line that is not the monitor's ends the report
    const char* log_pattern;  // --log
    int64_t keep_days;        // --keep: day files kept; 0: all
    bool gzip;                // --gzip: finished day files are compressed
    const char* prom_path;    // --prometheus
    const char* listen;       // --listen: ADDR:PORT that serves the metrics over HTTP
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
    bool fleet;         // --fleet: each INPUT is a host, read on its own and set beside the others
    int64_t top_hosts;  // --top: the fleet's text shows this many hosts; 0: the default
    // --monitor: the watch starts the monitor itself with this sleep period and reads
    // its rows (a container's whole service in one process); -1: not asked.
    int64_t monitor_ms;
};

// The options as they are before any is read.
report_options default_report_options();
