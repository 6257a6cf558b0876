#include "report/outputs/csv.h"

#include <cinttypes>

#include "report/util/report_time.h"

void open_csv(csv_output* csv, FILE* out, bool several) {
    csv->out = out;
    if (out == nullptr) {
        return;
    }
    fputs(several ? "run,file," : "run,", out);
    fputs(
        "line,time_utc,diff_report_ns,diff_avg_ns,min_diff_this_rep_ns,min_diff_ever_ns,"
        "max_diff_this_rep_ns,max_diff_ever_ns",
        out);
    for (int b = 0; b < band_count; ++b) {
        fprintf(out, ",%s", band_names[b]);
    }
    fputs(",printf_latency_ns\n", out);
}

void csv_row(csv_output* csv, const report_row& row, line_place at, int32_t run) {
    if (csv->out == nullptr) {
        return;
    }
    char t[40];
    format_utc(unix_ms(row.timestamp), true, t, sizeof t);
    fprintf(csv->out, "%d,", run);
    if (at.file != nullptr) {
        // The name as a CSV field: quoted, with its quotes doubled.
        fputc('"', csv->out);
        for (const char* c = at.file; *c != '\0'; ++c) {
            if (*c == '"') {
                fputc('"', csv->out);
            }
            fputc(*c, csv->out);
        }
        fputs("\",", csv->out);
    }
    fprintf(csv->out, "%ld,%s,%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId64,
            at.line, t, row.diff_report, row.diff_avg, row.min_diff_this_rep, row.min_diff_ever,
            row.max_diff_this_rep, row.max_diff_ever);
    for (const auto column : band_columns) {
        fprintf(csv->out, ",%" PRIu32, row.*column);
    }
    fprintf(csv->out, ",%" PRId64 "\n", row.printf_latency);
}
