#include "stats/gap_stats.h"

#include <limits>

gap_stats_record gap_stats = {
    .interval_stats = {},
    .loop_count = 0,
    .tm_diff_avg = 0,
    .min_diff_this_report = period_min_start,
    .max_diff_this_report = 0,
    .min_diff_ever = period_min_start,
    .max_diff_ever = 0,
};

namespace {

unsigned band_of(int64_t diff) {
    // Almost every gap is below 2 ms and not negative: one unsigned comparison (which
    // also sends negative gaps past it) settles those in the first band.
    if (static_cast<uint64_t>(diff) < 2'000'000u) {
        return 1;
    }
    if (diff < 0) {
        return 0;
    }
    // Whole milliseconds, cut toward zero, compared at full width: every gap of
    // 5001 ms or more, however large, lands past the last band.
    const int64_t gap_ms = diff / 1'000'000;
    unsigned band = 1;
    for (const uint32_t limit : intervals) {
        band += static_cast<unsigned>(gap_ms > int64_t{limit});
    }
    return band;
}

}  // namespace

void update_stats(int64_t diff) {
    gap_stats_record& s = gap_stats;
    uint32_t& counter = s.interval_stats[band_of(diff)];
    counter += static_cast<uint32_t>(counter != std::numeric_limits<uint32_t>::max());

    if (diff >= 0 && s.loop_count != std::numeric_limits<int32_t>::max() &&
        diff <= std::numeric_limits<int64_t>::max() - s.tm_diff_avg) {
        s.tm_diff_avg += diff;
        ++s.loop_count;
    }
    if (diff > s.max_diff_this_report) {
        s.max_diff_this_report = diff;
    }
    if (diff < s.min_diff_this_report) {
        s.min_diff_this_report = diff;
    }
}

void finish_report_period() {
    gap_stats_record& s = gap_stats;
    if (s.max_diff_this_report > s.max_diff_ever) {
        s.max_diff_ever = s.max_diff_this_report;
    }
    if (s.min_diff_this_report < s.min_diff_ever) {
        s.min_diff_ever = s.min_diff_this_report;
    }
    s.tm_diff_avg = s.loop_count > 0 ? s.tm_diff_avg / s.loop_count : 0;
}

void reset_report_period() {
    gap_stats_record& s = gap_stats;
    for (uint32_t& counter : s.interval_stats) {
        counter = 0;
    }
    s.max_diff_this_report = 0;
    s.min_diff_this_report = period_min_start;
    s.loop_count = 0;
    s.tm_diff_avg = 0;
}
