// The header line and the rows: comma-separated text, 23 fields each.
#pragma once

#include <cstddef>
#include <cstdint>

#include "clock/clock_sample.h"
#include "stats/gap_stats.h"

// The values of one row, in column order. The band counts are named after their
// columns: band_1ms is column "1ms", band_1s column "1s", and so on.
struct report_row {
    SYSTEMTIME timestamp;  // the triggering reading, UTC; also gives column ts_ms
    int64_t diff_report;
    int64_t diff_avg;
    int64_t min_diff_this_rep;
    int64_t min_diff_ever;
    int64_t max_diff_this_rep;
    int64_t max_diff_ever;
    uint32_t neg;
    uint32_t band_1ms, band_2ms, band_5ms;
    uint32_t band_10ms, band_20ms, band_50ms;
    uint32_t band_100ms, band_200ms, band_500ms;
    uint32_t band_1s, band_2s, band_5s;
    uint32_t out_to_lunch;
    int64_t printf_latency;
};

// The fourteen count columns of a row, in column order: neg, 1ms ... 5s, out_to_lunch.
inline constexpr uint32_t report_row::*band_columns[band_count] = {
    &report_row::neg,        &report_row::band_1ms,    &report_row::band_2ms,
    &report_row::band_5ms,   &report_row::band_10ms,   &report_row::band_20ms,
    &report_row::band_50ms,  &report_row::band_100ms,  &report_row::band_200ms,
    &report_row::band_500ms, &report_row::band_1s,     &report_row::band_2s,
    &report_row::band_5s,    &report_row::out_to_lunch};

inline constexpr char report_header[] =
    "timestamp,ts_ms,diff_report,diff_avg,min_diff_this_rep,min_diff_ever,max_diff_this_rep,"
    "max_diff_ever,neg, 1ms,2ms,5ms, 10ms,20ms,50ms, 100ms,200ms,500ms, 1s,2s,5s, "
    "out_to_lunch,printf_latency";

// The header's column names, in order, without the spaces that stand before some.
inline constexpr const char* report_columns[23] = {"timestamp",
                                                   "ts_ms",
                                                   "diff_report",
                                                   "diff_avg",
                                                   "min_diff_this_rep",
                                                   "min_diff_ever",
                                                   "max_diff_this_rep",
                                                   "max_diff_ever",
                                                   "neg",
                                                   "1ms",
                                                   "2ms",
                                                   "5ms",
                                                   "10ms",
                                                   "20ms",
                                                   "50ms",
                                                   "100ms",
                                                   "200ms",
                                                   "500ms",
                                                   "1s",
                                                   "2s",
                                                   "5s",
                                                   "out_to_lunch",
                                                   "printf_latency"};

// The count columns carry the bands' names, in band order.
constexpr bool count_columns_are_bands() {
    for (int b = 0; b < band_count; ++b) {
        const char* column = report_columns[8 + b];
        const char* name = band_names[b];
        while (*column != '\0' && *column == *name) {
            ++column;
            ++name;
        }
        if (*column != *name) {
            return false;
        }
    }
    return true;
}
static_assert(count_columns_are_bands());

// Room for the longest possible row with its line end.
inline constexpr size_t report_row_capacity = 512;

// Renders `row` with its line end into `text`; returns the length, as snprintf does.
int format_report_row(const report_row* row, char* text, size_t size);

// Write the header line and one row to standard output.
void print_header();
void print_report_row(const report_row* row);
