#include "report/outputs/prom_file.h"

#include <cinttypes>
#include <cstdio>

#include "report/os/files.h"
#include "report/os/whole_file.h"
#include "report/outputs/metrics_server.h"
#include "report/util/complain.h"
#include "report/util/report_time.h"
#include "stats/gap_stats.h"

namespace {

void seconds(text_out* out, int64_t ns) {
    const bool negative = ns < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns);
    outf(out, "%s%" PRIu64 ".%09" PRIu64, negative ? "-" : "", magnitude / 1'000'000'000,
         magnitude % 1'000'000'000);
}

// A histogram with a bucket per band. `below` counts in the lowest bucket besides band
// 1ms; band 0 (negative gaps) is not in `bands`' buckets.
void write_histogram(text_out* out, const char* name, const char* help, const uint64_t* bands,
                     uint64_t below, uint64_t sum_ns) {
    outf(out, "# HELP %s %s\n# TYPE %s histogram\n", name, help, name);
    uint64_t cumulative = below;
    for (int b = 1; b < band_count - 1; ++b) {
        cumulative += bands[b];
        // Gaps are whole nanoseconds and the bands cut at whole milliseconds, so band 1ms
        // holds exactly the gaps of at most 0.001999999 s: each `le` is exact.
        outf(out, "%s_bucket{le=\"", name);
        seconds(out, band_high_ns(b) - 1);
        outf(out, "\"} %" PRIu64 "\n", cumulative);
    }
    cumulative += bands[band_count - 1];
    outf(out, "%s_bucket{le=\"+Inf\"} %" PRIu64 "\n%s_sum ", name, cumulative, name);
    seconds(out, static_cast<int64_t>(sum_ns > INT64_MAX ? INT64_MAX : sum_ns));
    outf(out, "\n%s_count %" PRIu64 "\n", name, cumulative);
}

void write_file(const prom_file* p, const run_fold* f, text_out* out) {
    write_histogram(out, "clockgap_gap_seconds",
                    "Gaps between consecutive readings of the wall clock since the watch "
                    "started, by clockgap's bands; negative gaps are in "
                    "clockgap_negative_gaps_total.",
                    f->totals.bands, 0, p->gap_sum_ns);
    write_histogram(out, "clockgap_row_largest_gap_seconds",
                    "The largest gap of each row (each second) since the watch started, one "
                    "observation a row, by clockgap's bands; a negative one counts in the lowest "
                    "bucket and adds 0 to the sum.",
                    p->row_bands, p->row_bands[0], p->row_largest_sum_ns);
    outf(out,
         "# HELP clockgap_negative_gaps_total Readings earlier than the one before: the "
         "clock was set back.\n"
         "# TYPE clockgap_negative_gaps_total counter\n"
         "clockgap_negative_gaps_total %" PRIu64
         "\n"
         "# HELP clockgap_clock_steps_back_total Rows with at least one negative gap.\n"
         "# TYPE clockgap_clock_steps_back_total counter\n"
         "clockgap_clock_steps_back_total %" PRIu64
         "\n"
         "# HELP clockgap_gaps_above_5s_total Gaps above 5 s: the clock was set forward or "
         "the process did not run.\n"
         "# TYPE clockgap_gaps_above_5s_total counter\n"
         "clockgap_gaps_above_5s_total %" PRIu64
         "\n"
         "# HELP clockgap_rows_total Rows read since the watch started.\n"
         "# TYPE clockgap_rows_total counter\n"
         "clockgap_rows_total %" PRIu64 "\n",
         f->totals.bands[0], p->steps_back, f->totals.bands[band_count - 1], f->totals.rows);
    outf(out,
         "# HELP clockgap_stall_rows_total Rows with a gap at or above the stall threshold "
         "(a gap above 5 s included), by the cause the watch named for it.\n"
         "# TYPE clockgap_stall_rows_total counter\n");
    for (int kind = 0; kind < cause_kinds; ++kind) {
        outf(out, "clockgap_stall_rows_total{cause=\"%s\"} %" PRIu64 "\n",
             cause_name(static_cast<cause_kind>(kind)), p->stall_rows[kind]);
    }
    outf(out,
         "# HELP clockgap_last_row_timestamp_seconds Time of the last row's reading, in "
         "Unix seconds.\n"
         "# TYPE clockgap_last_row_timestamp_seconds gauge\n"
         "clockgap_last_row_timestamp_seconds %" PRId64 ".%03" PRId64 "\n",
         floor_div(p->last_ms, 1000), p->last_ms - floor_div(p->last_ms, 1000) * 1000);
    outf(out,
         "# HELP clockgap_last_row_largest_gap_seconds Largest gap of the last row's "
         "period.\n"
         "# TYPE clockgap_last_row_largest_gap_seconds gauge\n"
         "clockgap_last_row_largest_gap_seconds ");
    seconds(out, p->last_largest_ns);
    outf(out,
         "\n# HELP clockgap_row_write_seconds Time the monitor took to write a row, as the "
         "last row reports it (for the row before it).\n"
         "# TYPE clockgap_row_write_seconds gauge\n"
         "clockgap_row_write_seconds ");
    seconds(out, p->last_write_ns);
    out_text(out, "\n");
}

}  // namespace

bool start_prom_file(prom_file* p, const char* path, char* reason, size_t reason_size) {
    p->path = path;
    return folder_writable(path, reason, reason_size);
}

void fold_prom(prom_file* p, const report_row& row, const row_events& events) {
    if (p->path == nullptr && p->server == nullptr) {
        return;
    }
    uint64_t counted = 0;
    for (int b = 1; b < band_count; ++b) {
        counted += row.*band_columns[b];
    }
    // The row gives its period's mean of the non-negative gaps, cut to whole ns: the sum
    // is short by less than a nanosecond a gap.
    if (row.diff_avg > 0) {
        p->gap_sum_ns =
            add_capped(p->gap_sum_ns, mul_capped(counted, static_cast<uint64_t>(row.diff_avg)));
    }
    p->steps_back += events.negative_gaps > 0 ? 1u : 0u;
    p->stall_rows[static_cast<int>(events.cause)] += events.stall ? 1u : 0u;
    const int64_t largest = row.max_diff_this_rep;
    ++p->row_bands[largest < 0 ? 0 : band_of(largest)];
    if (largest > 0) {
        p->row_largest_sum_ns = add_capped(p->row_largest_sum_ns, static_cast<uint64_t>(largest));
    }
    p->last_ms = unix_ms(row.timestamp);
    p->last_largest_ns = largest;
    p->last_write_ns = row.printf_latency;
    p->changed = true;
}

void write_prom(prom_file* p, const run_fold* f) {
    if ((p->path == nullptr && p->server == nullptr) || !p->changed) {
        return;
    }
    p->changed = false;
    p->text.clear();
    text_out text = to_text(&p->text);
    write_file(p, f, &text);
    publish_metrics(p->server, p->text);
    if (p->path == nullptr) {
        return;
    }
    char reason[160] = "";
    whole_file file;
    bool written = begin_whole_file(&file, p->path, false, reason, sizeof reason);
    if (written) {
        fwrite(p->text.data(), 1, p->text.size(), file.file);  // its errors: at the commit
        written = commit_whole_file(&file, reason, sizeof reason);
    }
    if (!written && !p->failing) {
        complain(
            "cannot write %s (%s); the previous file stays, and the watch tries again "
            "with every row",
            p->path, reason);
    } else if (written && p->failing) {
        tell("%s is written again", p->path);
    }
    p->failing = !written;
}
