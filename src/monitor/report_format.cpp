#include "monitor/report_format.h"

#include <cinttypes>
#include <cstdio>

#include "monitor/console_output.h"

int format_report_row(const report_row* row, char* text, size_t size) {
    const SYSTEMTIME& t = row->timestamp;
    return snprintf(
        text, size,
        "%04hu-%02hu-%02hu %02hu:%02hu:%02hu,%03hu,%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64
        ",%" PRId64 ",%" PRId64 ",%u, %u,%u,%u, %u,%u,%u, %u,%u,%u, %u,%u,%u, %u,%" PRId64 "\n",
        t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, row->diff_report,
        row->diff_avg, row->min_diff_this_rep, row->min_diff_ever, row->max_diff_this_rep,
        row->max_diff_ever, row->neg, row->band_1ms, row->band_2ms, row->band_5ms, row->band_10ms,
        row->band_20ms, row->band_50ms, row->band_100ms, row->band_200ms, row->band_500ms,
        row->band_1s, row->band_2s, row->band_5s, row->out_to_lunch, row->printf_latency);
}

void print_header() {
    write_line("%s\n", report_header);
}

void print_report_row(const report_row* row) {
    char text[report_row_capacity];
    format_report_row(row, text, sizeof text);
    write_line("%s", text);
}
