// The figures of a whole run, computed from the rows of its log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "monitor/report_format.h"

struct logged_row {
    report_row row;
    long line;  // line number in the log, from 1
};

inline constexpr int band_count = 14;

// The names of the count columns, neg to out_to_lunch.
inline constexpr const char* const* band_names = report_columns + 8;

// The fourteen counts of a row, in column order.
void row_counts(const report_row& row, uint32_t counts[band_count]);

struct run_summary {
    size_t rows;
    double covered_seconds;  // sum of diff_report
    uint64_t readings;       // sum of all counts
    uint64_t bands[band_count];
    // The band that holds the median, 99th and 99.9th percentile gap; -1 without gaps.
    int median_band, p99_band, p999_band;
    // Rows (indices) with the smallest and largest gap of the run; -1 without rows.
    long smallest_row, largest_row;
    std::vector<size_t> clock_events;  // rows with neg or out_to_lunch above 0
    std::vector<size_t> long_waits;    // rows that came more than 1.5 s after the previous
    // printf_latency over the rows after the first (the first always shows 0).
    bool has_latency;
    int64_t median_latency, largest_latency;
};

run_summary summarize(const std::vector<logged_row>& rows);

void print_summary(FILE* out, const std::vector<logged_row>& rows, const run_summary& s);
