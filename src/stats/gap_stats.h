// Gap statistics: the histogram of gaps between consecutive readings over the current
// report period, the period's mean, smallest and largest gap, and the run's extremes.
//
// There is one record for the whole process, `gap_stats`, holding its start values from
// program start. Only the sampling loop changes it, through the three operations below,
// and it reads the figures for a row directly from the record between
// finish_report_period() and reset_report_period().
#pragma once

#include <cstdint>

// Upper limits of the bands 1..12 in whole milliseconds: index i counts gaps whose whole
// milliseconds are at most intervals[i-1] and above intervals[i-2].
inline constexpr uint32_t intervals[12] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000};

// Period minima start (and restart) at one second, maxima at 0.
inline constexpr int64_t period_min_start = 1'000'000'000;

struct gap_stats_record {
    // [0] negative gaps, [1..12] the bands above, [13] gaps above 5000 ms.
    // Each counter stops at 4,294,967,295 instead of wrapping.
    uint32_t interval_stats[14];
    // Non-negative gaps in the period's sum; stops at its maximum.
    int32_t loop_count;
    // Sum of the non-negative gaps counted in loop_count; their mean once the period
    // is closed. A gap enters the sum only while both have room for it, so the mean is
    // always the exact mean of the gaps it counts.
    int64_t tm_diff_avg;
    int64_t min_diff_this_report;
    int64_t max_diff_this_report;
    int64_t min_diff_ever;
    int64_t max_diff_ever;
};

extern gap_stats_record gap_stats;

// Counts one gap (ns, may be negative) into the current period.
void update_stats(int64_t diff);
// Folds the period extremes into the run extremes and turns the sum into the mean.
void finish_report_period();
// Starts a new period; the run extremes stay.
void reset_report_period();
