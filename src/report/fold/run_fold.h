// The figures of a log, folded in one row at a time: totals, runs, extremes, stalls,
// events, the worst gaps, row write times and a table over time. Memory is fixed: the
// few rows the summary names are copied into capped lists, which count what they drop.
// The text summary and the JSON document both print from one run_fold.
#pragma once

#include <cstdint>

#include "monitor/report_format.h"
#include "report/events/row_events.h"
#include "report/input/input_stage.h"
#include "stats/gap_stats.h"

// A row the summary names: the row, its line in the log, its run (from 1) and its events.
struct named_row {
    report_row row;
    long line;
    int32_t run;
    row_events events;
};

// Up to `N` rows in the order they came, and how many there were in all.
template <int N>
struct row_list {
    named_row kept[static_cast<size_t>(N)];
    int count;
    uint64_t total;
};

struct run_entry {
    int32_t number;
    bool has_start;  // the run began with the monitor's start line or header
    bool earlier;    // its first row lies before the previous run's last row
    long first_line;
    int64_t first_ms, last_ms;  // Unix ms of its first and last row
    uint64_t rows, readings;
    int64_t covered_ns;  // its diff_report values added up
};

// Gaps at or above a threshold, over the whole log. The bands give bounds; a row's
// largest gap is exact, so a row that holds one such gap gives its exact time.
struct stall_figures {
    int64_t threshold_ns;
    uint64_t rows;                       // rows that hold at least one
    uint64_t gaps_low, gaps_high;        // how many, at least and at most
    uint64_t time_low_ns, time_high_ns;  // the time they took, at least and at most
    uint64_t causes[cause_kinds];        // the rows, by the cause of their largest gap
};

// One line of the table over time: a UTC hour (or a longer span) of rows.
struct period_entry {
    int64_t start_ms;
    uint64_t rows, readings;
    uint64_t bands[band_count];
    int64_t worst_ns;
};

inline constexpr int kept_runs = 20;
inline constexpr int kept_events = 30;
inline constexpr int kept_worst = 10;
inline constexpr int kept_periods = 400;
inline constexpr int latency_buckets = 8 + 60 * 8;
// Stall figures for the threshold asked for, then for each band's lower edge (2 ms ...
// 5001 ms), so that a coarse clock's threshold can be chosen at the end.
inline constexpr int stall_thresholds = 13;

// The rows of the window added up.
struct totals_fold {
    uint64_t rows;
    uint64_t readings;
    uint64_t bands[band_count];
    int64_t covered_ns;
    int64_t first_ms, last_ms, min_ms, max_ms;
};

// The runs: the first kept_runs with rows, and the one rows now go to.
struct runs_fold {
    int32_t run;  // the run of the last row, from 1; 0 before the first
    int32_t runs_with_rows;
    run_entry runs[kept_runs];  // the first runs with rows; the last one is `current`
    run_entry current;
    int64_t previous_run_last_ms;  // of the last run closed with rows
    uint64_t earlier_runs;         // runs whose first row lies before the previous run's end
};

// The rows the summary names.
struct named_fold {
    named_row smallest, largest;
    row_list<kept_events> clock_events;  // rows with neg or out_to_lunch above 0
    row_list<kept_events> long_waits;    // rows more than 1.5 s after the one before
    named_row worst[kept_worst];         // the rows with the largest gaps, largest first
    int worst_count;
};

// Stall figures at the threshold asked for and at each band's lower edge.
struct stall_fold {
    int64_t asked_ns;   // the threshold asked for (--stall)
    int64_t lowest_ns;  // of all the thresholds kept
    int first_band;     // the first band that can hold a gap that reaches it
    stall_figures figures[stall_thresholds];
};

// printf_latency of every row but the monitor's first of a run (its 0 measures nothing),
// in buckets of an eighth of a power of two. The first row of a window, of a cut log or
// of a day file carries a real write time.
struct latency_fold {
    uint64_t buckets[latency_buckets];
    uint64_t rows, negative;
    int64_t largest;
    named_row slowest;  // the row that reports the largest
};

// The table over time.
struct table_fold {
    int64_t period_ms;  // the span of a table line: an hour, or longer once it is full
    period_entry periods[kept_periods];
    int count;
    uint64_t merged;  // times the table had to take a longer span
};

// Who took the CPU in stall rows, by process name: the names most common first are the
// ones the summary and the page give.
inline constexpr int kept_culprits = 64;
struct culprit_tally {
    char name[32];
    uint64_t rows;                  // stall rows it is named in
    uint64_t by_kind[cause_kinds];  // of them, by the row's cause
    uint64_t by_seen[3];            // of them, by how it was seen (culprit_seen)
};
// How a name was seen in most of its rows.
culprit_seen tally_seen(const culprit_tally& tally);
// What a way of seeing says of a name, after it in the summary and on the page: "" for
// switches (it ran on the monitor's CPU while it waited).
const char* seen_note(culprit_seen seen);
struct culprit_fold {
    culprit_tally names[kept_culprits];
    int count;
    uint64_t rows_left_out;  // rows naming only names that found no place
};

// Every figure of the summary, each fold its own record.
struct run_fold {
    totals_fold totals;
    runs_fold run_list;
    named_fold named;
    stall_fold stall;
    latency_fold latency;
    table_fold table;
    culprit_fold culprits;
};

void start_fold(run_fold* fold, int64_t stall_ns);

// One row of the window, as the input stage hands it on, with its events.
void fold_row(run_fold* fold, const window_row& in, const row_events& events);

// Closes the fold once the input has ended.
void finish_fold(run_fold* fold);

// What the figures mean, worked out when the fold is finished.
struct fold_reading {
    stall_threshold rule;         // the stall threshold in force, and the clock's tick
    const stall_figures* stalls;  // at that threshold
    // The band of the median, the 99th and the 99.9th percentile gap; -1 without gaps.
    int p50_band, p99_band, p999_band;
    // Bounds of the median printf_latency; has_latency false without such rows.
    bool has_latency;
    int64_t latency_median_low, latency_median_high;
    // The table's span: 0 when the log is too short for one, else an hour or a day (or
    // the longer span the table had to take).
    int64_t table_ms;
};

fold_reading read_fold(const run_fold* fold, const stall_rule* rule);

// The tallies of `fold->culprits` sorted by rows, most first, into `order` (indices);
// returns how many.
int culprits_by_rows(const culprit_fold* fold, int* order);
// The name most often named in stall rows of `kind`; nullptr if none.
const culprit_tally* top_culprit(const culprit_fold* fold, cause_kind kind);

// The stall figures at `threshold_ns`, one of the thresholds kept (the one asked for, or
// a band's lower edge).
const stall_figures* stalls_at(const run_fold* fold, int64_t threshold_ns);

// The lines of the table at span `table_ms`, merged from the fold's; returns how many.
int table_lines(const table_fold* table, int64_t table_ms, period_entry* lines, int capacity);

// Adds saturating at the largest value, for totals that could pass 64 bits.
uint64_t add_capped(uint64_t a, uint64_t b);
uint64_t mul_capped(uint64_t a, uint64_t b);
int64_t add_capped(int64_t a, int64_t b);
