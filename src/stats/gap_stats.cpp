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

int64_t band_low_ns(int band) {
    if (band <= 1) {
        return band == 1 ? 0 : std::numeric_limits<int64_t>::min();
    }
    return (int64_t{intervals[band - 2]} + 1) * 1'000'000;
}

int64_t band_high_ns(int band) {
    if (band == 0) {
        return 0;
    }
    if (band >= band_count - 1) {
        return std::numeric_limits<int64_t>::max();
    }
    return (int64_t{intervals[band - 1]} + 1) * 1'000'000;
}

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
