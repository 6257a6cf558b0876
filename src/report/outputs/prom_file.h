// The watch's figures in the Prometheus text format, for node_exporter's (or
// windows_exporter's) textfile collector, and for scrapes of --listen, which get the same
// text as the file, whole (metrics_server.h). The whole file is written under a temporary
// name in the same folder and renamed over the old one, so a scrape sees the previous
// file or the new one, never a part; a failed write leaves the previous file as it was,
// is reported once, and is tried again at the next write, which says when it works
// again. Lines end in LF on every platform, and carry no timestamps.
#pragma once

#include <cstdint>
#include <string>

#include "monitor/report_format.h"
#include "report/events/row_events.h"
#include "report/fold/run_fold.h"

struct metrics_server;

struct prom_file {
    const char* path;        // nullptr: no file
    metrics_server* server;  // nullptr: not served
    std::string text;        // the text last written, kept for its room
    // The band totals and rows come from the watch's run_fold; these are the file's own.
    uint64_t gap_sum_ns;  // the non-negative gaps added up, from each row's mean
    uint64_t steps_back;
    uint64_t stall_rows[cause_kinds];  // rows the events call a stall, by cause
    // Each row's largest gap, by band (a negative one in the lowest), and their sum.
    uint64_t row_bands[band_count];
    uint64_t row_largest_sum_ns;
    int64_t last_ms, last_largest_ns, last_write_ns;
    bool failing;  // the last write failed (reported once until one succeeds)
    bool changed;  // rows came since the last write
};

// Checks that a file can be made beside `path`; false with the reason if not. The watch
// goes on either way: the file is tried again at every write.
bool start_prom_file(prom_file* prom, const char* path, char* reason, size_t reason_size);

// Adds `row`, with its events, which `fold` has just taken in.
void fold_prom(prom_file* prom, const report_row& row, const row_events& events);

// Rewrites the file and what the server serves from `fold` and the rows added, if any
// came since the last write.
void write_prom(prom_file* prom, const run_fold* fold);
