#include "monitor/monitor.h"

#include "monitor/command_line.h"
#include "monitor/report_format.h"
#include "stats/gap_stats.h"

int64_t previous_printf_diff = 0;

namespace {

report_row make_report_row(const SYSTEMTIME& fields, int64_t diff_report) {
    const gap_stats_record& s = gap_stats;
    report_row row{};
    row.timestamp = fields;
    row.diff_report = diff_report;
    row.diff_avg = s.tm_diff_avg;
    row.min_diff_this_rep = s.min_diff_this_report;
    row.min_diff_ever = s.min_diff_ever;
    row.max_diff_this_rep = s.max_diff_this_report;
    row.max_diff_ever = s.max_diff_ever;
    for (int i = 0; i < band_count; ++i) {
        row.*band_columns[i] = s.interval_stats[i];
    }
    row.printf_latency = previous_printf_diff;
    return row;
}

}  // namespace

bool report_is_due(uint16_t milliseconds, int64_t diff_report, bool* resync_pending) {
    if (milliseconds >= 500) {
        // Second half: only a row more than a second late is written now.
        if (diff_report > 1'000'000'000) {
            *resync_pending = true;
            return true;
        }
        return false;
    }
    if (*resync_pending) {
        *resync_pending = false;
        return true;
    }
    return diff_report > 499'999'999;
}

void run_monitor(int32_t sleep_period, FILETIME start_reading) {
    const uint32_t pause = pause_milliseconds(sleep_period);
    FILETIME previous_time;
    FILETIME last_report_time;
    FILETIME current_time;
    FILETIME after_report_time;
    SYSTEMTIME fields{};
    bool resync_pending = false;
    CopyFileTime(&start_reading, &previous_time);
    CopyFileTime(&start_reading, &last_report_time);

    for (;;) {
        GetSystemTimeAsFileTime(&current_time);
        FileTimeToSystemTime(&current_time, &fields);
        const int64_t diff = filetime_diff_in_nsec(&previous_time, &current_time);
        const int64_t diff_report = filetime_diff_in_nsec(&last_report_time, &current_time);
        update_stats(diff);

        if (report_is_due(fields.wMilliseconds, diff_report, &resync_pending)) {
            finish_report_period();
            const report_row row = make_report_row(fields, diff_report);
            print_report_row(&row);
            reset_report_period();
            // The write time covers the whole pass from the triggering reading on; the
            // next gap is measured from here, so writing stays out of the statistics.
            GetSystemTimeAsFileTime(&after_report_time);
            previous_printf_diff = filetime_diff_in_nsec(&current_time, &after_report_time);
            CopyFileTime(&current_time, &last_report_time);
            CopyFileTime(&after_report_time, &current_time);
        }
        CopyFileTime(&current_time, &previous_time);
        Sleep(pause);
    }
}
