// The watch's figures in the Prometheus text format, for node_exporter's (or
// windows_exporter's) textfile collector. After every row the whole file is written
// under a temporary name in the same folder and renamed over the old one, so a scrape
// sees the previous file or the new one, never a part; a failed write leaves the
// previous file as it was. Lines end in LF on every platform, and carry no timestamps.
#pragma once

#include <cstdint>

#include "monitor/report_format.h"
#include "report/run_fold.h"

struct prom_file {
    const char* path;  // nullptr: off
    char temporary[4200];
    // The band totals and rows come from the watch's run_fold; these are the file's own.
    uint64_t gap_sum_ns;  // the non-negative gaps added up, from each row's mean
    uint64_t steps_back;
    int64_t last_ms, last_largest_ns, last_write_ns;
    bool failing;  // the last write failed (reported once until one succeeds)
};

// Checks that a file can be made beside `path`; false with the reason if not.
bool start_prom_file(prom_file* prom, const char* path, char* reason, size_t reason_size);

// Adds `row`, which `fold` has just taken in, and rewrites the file.
void fold_prom(prom_file* prom, const run_fold* fold, const report_row& row);
