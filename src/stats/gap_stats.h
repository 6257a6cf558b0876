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

// The bands, the one rule for the monitor and the report: 0 negative gaps, 1 to 12 the
// limits above, 13 gaps above 5000 ms. Each is named as its column in the header.
inline constexpr int band_count = 14;
inline constexpr const char* band_names[band_count] = {
    "neg",   "1ms",   "2ms",   "5ms", "10ms", "20ms", "50ms",
    "100ms", "200ms", "500ms", "1s",  "2s",   "5s",   "out_to_lunch"};

// The band (0 to 13) that counts a gap of `gap_ns`: its whole milliseconds, the fraction
// dropped, against the limits. Inline: the loop asks for every reading.
inline int band_of(int64_t gap_ns) {
    // Almost every gap is below 2 ms and not negative: one unsigned comparison (which
    // also sends negative gaps past it) settles those in the first band.
    if (static_cast<uint64_t>(gap_ns) < 2'000'000u) {
        return 1;
    }
    if (gap_ns < 0) {
        return 0;
    }
    // Compared at full width: every gap of 5001 ms or more, however large, lands past the
    // last band.
    const int64_t gap_ms = gap_ns / 1'000'000;
    int band = 1;
    for (const uint32_t limit : intervals) {
        band += gap_ms > int64_t{limit} ? 1 : 0;
    }
    return band;
}

// The smallest gap band `band` counts (INT64_MIN for band 0), and one past its largest
// (0 for band 0, INT64_MAX for band 13, which has no upper edge).
int64_t band_low_ns(int band);
int64_t band_high_ns(int band);

// Period minima start (and restart) at one second, maxima at 0.
inline constexpr int64_t period_min_start = 1'000'000'000;

struct gap_stats_record {
    // [0] negative gaps, [1..12] the bands above, [13] gaps above 5000 ms.
    // Each counter stops at 4,294,967,295 instead of wrapping.
    uint32_t interval_stats[band_count];
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
