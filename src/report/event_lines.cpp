#include "report/event_lines.h"

#include <cinttypes>

#include "report/report_time.h"

bool write_row_events(FILE* out, const report_row& row, long line, int64_t stall_ns) {
    char a[48], b[48];
    const char* parts[5];
    char texts[5][160];
    int count = 0;
    if (row.neg > 0) {
        // The most negative gap is the row's smallest; its size is the step back.
        const int64_t step =
            row.min_diff_this_rep == INT64_MIN ? INT64_MAX : -row.min_diff_this_rep;
        snprintf(texts[count], sizeof texts[count],
                 "clock set back by %s (%" PRIu32 " negative gap%s)",
                 format_duration(step, a, sizeof a), row.neg, row.neg == 1 ? "" : "s");
        parts[count] = texts[count];
        ++count;
    }
    if (row.out_to_lunch > 0) {
        snprintf(texts[count], sizeof texts[count],
                 "clock set forward or process held up: a gap of %s (%" PRIu32 " above 5 s)",
                 format_duration(row.max_diff_this_rep, a, sizeof a), row.out_to_lunch);
        parts[count] = texts[count];
        ++count;
    } else if (row.max_diff_this_rep >= stall_ns) {
        snprintf(texts[count], sizeof texts[count], "stall: a gap of %s (threshold %s)",
                 format_duration(row.max_diff_this_rep, a, sizeof a),
                 format_duration(stall_ns, b, sizeof b));
        parts[count] = texts[count];
        ++count;
    }
    if (row.diff_report > long_wait_ns) {
        snprintf(texts[count], sizeof texts[count], "%s without a row",
                 format_duration(row.diff_report, a, sizeof a));
        parts[count] = texts[count];
        ++count;
    }
    if (row.printf_latency > slow_write_ns) {
        snprintf(texts[count], sizeof texts[count], "the row before took %s to write",
                 format_duration(row.printf_latency, a, sizeof a));
        parts[count] = texts[count];
        ++count;
    }
    if (count == 0) {
        return false;
    }
    char when[40];
    format_utc(unix_ms(row.timestamp), false, when, sizeof when);
    fprintf(out, "%s (line %ld):", when, line);
    for (int i = 0; i < count; ++i) {
        fprintf(out, "%s %s", i > 0 ? ";" : "", parts[i]);
    }
    fputc('\n', out);
    fflush(out);
    return true;
}
