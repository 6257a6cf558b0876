#include "report/summary_print.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <limits>
#include <memory>

#include "report/json_writer.h"
#include "report/report_time.h"
#include "report/row_events.h"
#include "stats/gap_stats.h"

namespace {

const char* unsigned_duration(uint64_t ns, char* text, size_t size) {
    return format_duration(static_cast<int64_t>(std::min<uint64_t>(ns, INT64_MAX)), text, size);
}

const char* row_time(const report_row& row, bool iso, char* text, size_t size) {
    format_utc(unix_ms(row.timestamp), iso, text, size);
    return text;
}

// The whole ms that a gap must reach to count in band `band` or above.
int64_t band_low_ms(int band) {
    return band_low_ns(band) / 1'000'000;
}

// The first band all of whose gaps reach `threshold_ns`.
int first_band_from(int64_t threshold_ns) {
    for (int b = 1; b < band_count; ++b) {
        if (band_low_ns(b) >= threshold_ns) {
            return b;
        }
    }
    return band_count - 1;
}

// The band holding `threshold_ns` without all of its gaps reaching it; -1 if none.
int partial_band(int64_t threshold_ns) {
    for (int b = 1; b < band_count; ++b) {
        if (band_low_ns(b) < threshold_ns && threshold_ns < band_high_ns(b)) {
            return b;
        }
    }
    return -1;
}

void print_row_place(FILE* out, const named_row& r, bool runs) {
    char t[40];
    fprintf(out, "%s (line %ld", row_time(r.row, false, t, sizeof t), r.line);
    if (runs) {
        fprintf(out, ", run %d", r.run);
    }
    fprintf(out, ")");
}

template <int N>
void print_more(FILE* out, const row_list<N>& list) {
    if (list.total > static_cast<uint64_t>(list.count)) {
        fprintf(out, "  ... and %" PRIu64 " more (narrow the window with --from and --to)\n",
                list.total - static_cast<uint64_t>(list.count));
    }
}

// The percentile claim: for each band that holds a percentile, the highest percentile it
// holds, as one sentence.
void print_percentiles(FILE* out, const fold_reading& r) {
    const int bands[] = {r.p999_band, r.p99_band, r.p50_band};
    const char* const names[] = {"99.9 %", "99 %", "half"};
    fprintf(out, "From the bands: at least");
    int last = -2;
    int said = 0;
    for (int q = 0; q < 3; ++q) {
        const int b = bands[q];
        if (b == last || b == band_count - 1) {
            continue;  // a lower percentile in the same band adds nothing; above 5 s bounds nothing
        }
        last = b;
        fprintf(out, "%s %s", said == 0 ? "" : ", and", names[q]);
        if (said == 0) {
            fprintf(out, " of the gaps were");
        }
        if (b == 0) {
            fprintf(out, " negative");
        } else {
            fprintf(out, " below %" PRId64 " ms", band_high_ns(b) / 1'000'000);
        }
        ++said;
    }
    if (said == 0) {
        fprintf(out, " half of the gaps were above 5000 ms");
    }
    fprintf(out, ".\n");
}

void print_stalls(FILE* out, const run_fold* f, const fold_reading& r) {
    char a[48], b[48], t[48];
    const stall_figures& s = *r.stalls;
    fprintf(out, "\nStalls (gaps of %s or more", threshold_text(s.threshold_ns, t, sizeof t));
    if (s.threshold_ns != f->stall.asked_ns) {
        fprintf(out, "; gaps of one clock tick are not stalls");
    }
    fprintf(out, "):");
    if (s.rows == 0) {
        fprintf(out, " none\n");
        return;
    }
    fprintf(out, " in %" PRIu64 " row%s; ", s.rows, s.rows == 1 ? "" : "s");
    if (s.gaps_low == s.gaps_high) {
        fprintf(out, "%" PRIu64 " gap%s", s.gaps_low, s.gaps_low == 1 ? "" : "s");
    } else {
        fprintf(out, "%" PRIu64 " to %" PRIu64 " gaps", s.gaps_low, s.gaps_high);
    }
    if (s.time_low_ns == s.time_high_ns) {
        fprintf(out, ", taking %s in all\n", unsigned_duration(s.time_low_ns, a, sizeof a));
    } else {
        fprintf(out, ", taking %s to %s in all\n", unsigned_duration(s.time_low_ns, a, sizeof a),
                unsigned_duration(s.time_high_ns, b, sizeof b));
    }
    fprintf(out, "  by band:");
    const char* separator = " ";
    const int partial = partial_band(s.threshold_ns);
    for (int band = partial > 0 ? partial : first_band_from(s.threshold_ns); band < band_count;
         ++band) {
        if (f->totals.bands[band] == 0) {
            continue;
        }
        if (band == partial) {
            fprintf(out, "%s%s %" PRIu64 " (gaps from %" PRId64 " ms: only some are stalls)",
                    separator, band_names[band], f->totals.bands[band], band_low_ms(band));
        } else {
            fprintf(out, "%s%s %" PRIu64, separator, band_names[band], f->totals.bands[band]);
        }
        separator = ", ";
    }
    fprintf(out, "\n");
}

void print_table(FILE* out, const run_fold* f, const fold_reading& r) {
    const auto lines_kept = std::make_unique<period_entry[]>(kept_periods);
    period_entry* const lines = lines_kept.get();
    const int count = table_lines(&f->table, r.table_ms, lines, kept_periods);
    const int from_band = first_band_from(r.stalls->threshold_ns);
    char label[32], w[48];
    snprintf(label, sizeof label, ">=%" PRId64 "ms", band_low_ms(from_band));
    const char* unit = r.table_ms == ms_per_hour  ? "hour"
                       : r.table_ms == ms_per_day ? "day"
                                                  : "period";
    fprintf(out, "\nOver time, by %s (UTC; %s counts the gaps in bands %s and up):\n", unit, label,
            band_names[from_band]);
    fprintf(out, "  %-16s %8s %13s %12s %10s %8s %8s\n", unit, "rows", "readings", "worst gap",
            label, "set back", ">5s");
    for (int i = 0; i < count; ++i) {
        const period_entry& e = lines[i];
        char t[40];
        format_utc(e.start_ms, false, t, sizeof t);
        uint64_t stalls = 0;
        for (int b = from_band; b < band_count; ++b) {
            stalls += e.bands[b];
        }
        fprintf(out,
                "  %.16s %8" PRIu64 " %13" PRIu64 " %12s %10" PRIu64 " %8" PRIu64 " %8" PRIu64 "\n",
                t, e.rows, e.readings, format_duration(e.worst_ns, w, sizeof w), stalls, e.bands[0],
                e.bands[band_count - 1]);
    }
    if (f->table.count == kept_periods && count == kept_periods) {
        fprintf(out, "  ... the table holds its first %d lines\n", kept_periods);
    }
}

}  // namespace

namespace {

void print_notes(FILE* out, const log_facts& facts) {
    if (facts.input->start_missing) {
        fprintf(out,
                "Note: %s begins with rows, not with the monitor's start line and header: "
                "the start of the log is missing.\n",
                facts.name);
    }
    if (facts.fragment_first) {
        fprintf(out,
                "Note: line 1 is the rest of a line whose start is missing (the log was cut "
                "there); it was skipped.\n");
    }
    if (facts.nul_bytes > 0) {
        fprintf(out,
                "Note: %" PRIu64
                " NUL bytes were passed over (a log truncated while it was written, as "
                "logrotate's copytruncate does).\n",
                facts.nul_bytes);
    }
    if (facts.skipped_lines > 0) {
        fprintf(out,
                "Note: %" PRIu64
                " line%s that %s not clockgap's %s skipped (the first is line %ld); "
                "the figures are those of the other lines.\n",
                facts.skipped_lines, facts.skipped_lines == 1 ? "" : "s",
                facts.skipped_lines == 1 ? "is" : "are", facts.skipped_lines == 1 ? "was" : "were",
                facts.first_skipped_line);
    }
    if (facts.ended == input_end::ctrl_c || facts.ended == input_end::sigterm) {
        fprintf(out, "Note: the input was ended by %s; this is everything read before.\n",
                end_words(facts.ended));
    } else if (facts.follow) {
        fprintf(out, "Note: the input ended: the monitor stopped, or its log was closed.\n");
    }
}

void print_totals(FILE* out, const run_fold* f, const fold_reading& r, bool runs,
                  uint64_t rows_outside) {
    char a[48], b[48];
    if (!runs) {
        format_utc(f->totals.first_ms, false, a, sizeof a);
        format_utc(f->totals.last_ms, false, b, sizeof b);
        fprintf(out, "Rows:        %" PRIu64 ", ", f->totals.rows);
        if (f->totals.last_ms >= f->totals.first_ms) {
            fprintf(out, "from %s to %s UTC\n", a, b);
        } else {
            fprintf(out,
                    "the first at %s UTC, the last at %s UTC (earlier: the clock was set "
                    "back)\n",
                    a, b);
        }
    } else {
        fprintf(out, "Rows:        %" PRIu64 ", in %d runs (listed below)\n", f->totals.rows,
                f->run_list.runs_with_rows);
    }
    if (rows_outside > 0) {
        fprintf(out, "Window:      %" PRIu64 " rows of the log lie outside --from and --to\n",
                rows_outside);
    }
    const double covered = static_cast<double>(f->totals.covered_ns) / 1e9;
    // diff_report is measured by the log's own clock: a step of it is in the sum.
    const bool stepped = f->totals.bands[0] > 0 || f->totals.bands[band_count - 1] > 0;
    fprintf(out, "Time:        %.3f s covered by the rows (their diff_report added up%s%s)\n",
            covered, runs ? ", within each run" : "",
            stepped ? "; by the log's own clock, so the clock steps below are in it" : "");
    fprintf(out, "Readings:    %" PRIu64 " (%.0f per second)\n", f->totals.readings,
            covered > 0 ? static_cast<double>(f->totals.readings) / covered : 0.0);
    if (r.coarse) {
        fprintf(out,
                "Clock:       advances in ticks of about %g ms: %" PRIu64 " of %" PRIu64
                " rows have a smallest gap of 0\n",
                static_cast<double>(r.tick_ns) / 1e6, f->tick.zero_gap_rows, f->totals.rows);
    }
}

void print_run(FILE* out, const run_fold* f, int i) {
    char a[48], b[48];
    const run_entry& e = f->run_list.runs[i];
    format_utc(e.first_ms, false, a, sizeof a);
    format_utc(e.last_ms, false, b, sizeof b);
    const double seconds = static_cast<double>(e.covered_ns) / 1e9;
    fprintf(out, "  run %d (line %ld): %" PRIu64 " rows, first %s, last %s UTC, %.3f s", e.number,
            e.first_line, e.rows, a, b, seconds);
    if (seconds > 0) {
        fprintf(out, ", %.0f readings per second", static_cast<double>(e.readings) / seconds);
    }
    if (!e.has_start) {
        fprintf(out, "; its start is missing");
    }
    if (e.earlier && i > 0) {
        fprintf(
            out, "; begins %s before the run before it ended",
            format_duration(ms_as_ns(f->run_list.runs[i - 1].last_ms - e.first_ms), a, sizeof a));
    }
    fprintf(out, "\n");
}

void print_runs(FILE* out, const run_fold* f) {
    fprintf(out, "\nRuns (a start line or header after rows begins a new run):\n");
    const int listed = std::min(f->run_list.runs_with_rows, kept_runs);
    for (int i = 0; i < listed; ++i) {
        print_run(out, f, i);
    }
    if (f->run_list.runs_with_rows > kept_runs) {
        fprintf(out, "  ... and %d more runs\n", f->run_list.runs_with_rows - kept_runs);
    }
    if (f->run_list.earlier_runs > 0) {
        fprintf(out,
                "  %" PRIu64
                " run%s begin%s before the run before ended: logs out of "
                "order, or the clock was set back between runs.\n",
                f->run_list.earlier_runs, f->run_list.earlier_runs == 1 ? "" : "s",
                f->run_list.earlier_runs == 1 ? "s" : "");
    }
}

void print_bands(FILE* out, const run_fold* f, const fold_reading& r, bool runs, bool window) {
    fprintf(out, "\nGaps by band, %s:\n",
            window ? "in the window"
            : runs ? "the whole log"
                   : "the whole run");
    const uint64_t most = *std::max_element(f->totals.bands, f->totals.bands + band_count);
    for (int i = 0; i < band_count; ++i) {
        const double share = f->totals.readings > 0
                                 ? 100.0 * static_cast<double>(f->totals.bands[i]) /
                                       static_cast<double>(f->totals.readings)
                                 : 0.0;
        int width = most > 0 ? static_cast<int>(40.0 * static_cast<double>(f->totals.bands[i]) /
                                                static_cast<double>(most))
                             : 0;
        if (f->totals.bands[i] > 0 && width == 0) {
            width = 1;
        }
        fprintf(out, "  %-12s %12" PRIu64 " %9.5f %%  %.*s\n", band_names[i], f->totals.bands[i],
                share, width, "########################################");
    }
    if (f->totals.readings > 0) {
        fprintf(out, "\n");
        print_percentiles(out, r);
    }
}

void print_extremes(FILE* out, const run_fold* f, bool runs) {
    char a[48];
    fprintf(out, "\nSmallest gap: %" PRId64 " ns (%s), in the row of ",
            f->named.smallest.row.min_diff_this_rep,
            format_duration(f->named.smallest.row.min_diff_this_rep, a, sizeof a));
    print_row_place(out, f->named.smallest, runs);
    fprintf(out, "\nLargest gap:  %" PRId64 " ns (%s), in the row of ",
            f->named.largest.row.max_diff_this_rep,
            format_duration(f->named.largest.row.max_diff_this_rep, a, sizeof a));
    print_row_place(out, f->named.largest, runs);
    fprintf(out, "\n");
}

void print_worst(FILE* out, const run_fold* f, bool runs) {
    char a[48];
    fprintf(out, "\nWorst gaps (the largest gap of each of the %d worst rows):\n",
            std::min(f->named.worst_count, kept_worst));
    for (int i = 0; i < f->named.worst_count; ++i) {
        const named_row& w = f->named.worst[i];
        fprintf(out, "  %2d. %s in the row of ", i + 1,
                format_duration(w.row.max_diff_this_rep, a, sizeof a));
        print_row_place(out, w, runs);
        fprintf(out, "\n");
    }
}

void print_clock_events(FILE* out, const run_fold* f, bool runs) {
    fprintf(out, "\nClock set back, set forward or process held up above 5 s:%s\n",
            f->named.clock_events.total == 0 ? " never" : "");
    for (int i = 0; i < f->named.clock_events.count; ++i) {
        const named_row& e = f->named.clock_events.kept[i];
        fprintf(out, "  ");
        print_row_place(out, e, runs);
        fprintf(out, ": ");
        write_clock_words(out, find_row_events(e.row, f->stall.asked_ns));
        fprintf(out, "\n");
    }
    print_more(out, f->named.clock_events);
}

void print_long_waits(FILE* out, const run_fold* f, bool runs) {
    char a[48];
    fprintf(out,
            "\nStretches of more than 1.5 s without a row (a row that took long to write "
            "shows here, not as a gap):%s\n",
            f->named.long_waits.total == 0 ? " none" : "");
    for (int i = 0; i < f->named.long_waits.count; ++i) {
        const named_row& w = f->named.long_waits.kept[i];
        fprintf(out, "  %s without a row before ", format_duration(w.row.diff_report, a, sizeof a));
        print_row_place(out, w, runs);
        fprintf(out, "\n");
    }
    print_more(out, f->named.long_waits);
}

void print_latency(FILE* out, const run_fold* f, const fold_reading& r) {
    char a[48], b[48];
    fprintf(out, "\nRow write time (printf_latency): median ");
    if (r.latency_median_low == r.latency_median_high) {
        fprintf(out, "%s", format_duration(r.latency_median_low, a, sizeof a));
    } else if (r.latency_median_high < 0) {
        fprintf(out, "negative (the clock was set back while rows were written)");
    } else {
        fprintf(out, "%s to %s", format_duration(r.latency_median_low, a, sizeof a),
                format_duration(r.latency_median_high, b, sizeof b));
    }
    fprintf(out, ", largest %s, reported by the row of ",
            format_duration(f->latency.largest, a, sizeof a));
    print_row_place(out, f->latency.slowest, f->run_list.runs_with_rows > 1);
    fprintf(out, "\n");
}

}  // namespace

void print_summary(FILE* out, const run_fold* f, const log_facts& facts) {
    const fold_reading r = read_fold(f);
    const bool runs = f->run_list.runs_with_rows > 1;
    print_notes(out, facts);
    if (f->totals.rows == 0) {
        if (facts.input->rows_outside > 0) {
            fprintf(out, "No rows: the window holds none of the log's %" PRIu64 " rows.\n",
                    facts.input->rows_outside);
        } else {
            fprintf(out, "No rows: the log holds no report yet.\n");
        }
        return;
    }
    print_totals(out, f, r, runs, facts.input->rows_outside);
    if (runs) {
        print_runs(out, f);
    }
    const input_stage& in = *facts.input;
    print_bands(out, f, r, runs,
                in.from_ms != std::numeric_limits<int64_t>::min() ||
                    in.to_ms != std::numeric_limits<int64_t>::max());
    print_extremes(out, f, runs);
    print_stalls(out, f, r);
    print_worst(out, f, runs);
    print_clock_events(out, f, runs);
    print_long_waits(out, f, runs);
    if (r.has_latency) {
        print_latency(out, f, r);
    }
    if (r.table_ms > 0) {
        print_table(out, f, r);
    }
}

namespace {

void json_row(json_writer* w, const char* key, const named_row& r) {
    json_open_object(w, key);
    json_time(w, "time", unix_ms(r.row.timestamp));
    json_int(w, "line", r.line);
    json_int(w, "run", r.run);
    json_int(w, "min_gap_ns", r.row.min_diff_this_rep);
    json_int(w, "max_gap_ns", r.row.max_diff_this_rep);
    json_int(w, "diff_report_ns", r.row.diff_report);
    json_uint(w, "negative_gaps", r.row.neg);
    json_uint(w, "gaps_above_5s", r.row.out_to_lunch);
    json_close(w, '}');
}

template <int N>
void json_list(json_writer* w, const char* name, const row_list<N>& list) {
    json_open_object(w, name);
    json_uint(w, "count", list.total);
    json_open_array(w, "listed");
    for (int i = 0; i < list.count; ++i) {
        json_row(w, nullptr, list.kept[i]);
    }
    json_close(w, ']');
    json_close(w, '}');
}

void json_band_ms(json_writer* w, const char* key, int band) {
    if (band <= 0 || band >= band_count - 1) {
        json_null(w, key);
    } else {
        json_int(w, key, band_high_ns(band) / 1'000'000);
    }
}

void json_time_or_null(json_writer* w, const char* key, bool known, int64_t ms) {
    if (known) {
        json_time(w, key, ms);
    } else {
        json_null(w, key);
    }
}

void json_log(json_writer* w, const run_fold* f, const log_facts& facts) {
    json_string(w, "log", facts.name);
    json_int(w, "lines", facts.lines);
    json_int(w, "cut_short_line", facts.cut_short_line);
    json_uint(w, "skipped_lines", facts.skipped_lines);
    json_int(w, "first_skipped_line", facts.first_skipped_line);
    json_bool(w, "first_line_a_fragment", facts.fragment_first);
    json_uint(w, "nul_bytes", facts.nul_bytes);
    const input_stage& in = *facts.input;
    json_bool(w, "start_missing", in.start_missing);
    json_bool(w, "interrupted",
              facts.ended == input_end::ctrl_c || facts.ended == input_end::sigterm);
    json_string(w, "ended_by", end_words(facts.ended));
    json_open_object(w, "window");
    json_time_or_null(w, "from", in.from_ms != std::numeric_limits<int64_t>::min(), in.from_ms);
    json_time_or_null(w, "to", in.to_ms != std::numeric_limits<int64_t>::max(), in.to_ms);
    json_uint(w, "rows_outside", in.rows_outside);
    json_close(w, '}');
    json_uint(w, "rows", f->totals.rows);
    json_time_or_null(w, "first_row", f->totals.rows > 0, f->totals.first_ms);
    json_time_or_null(w, "last_row", f->totals.rows > 0, f->totals.last_ms);
    json_int(w, "covered_ns", f->totals.covered_ns);
    json_uint(w, "readings", f->totals.readings);
}

void json_runs(json_writer* w, const run_fold* f) {
    json_open_object(w, "runs");
    json_int(w, "count", f->run_list.runs_with_rows);
    json_open_array(w, "listed");
    for (int i = 0; i < std::min(f->run_list.runs_with_rows, kept_runs); ++i) {
        const run_entry& e = f->run_list.runs[i];
        json_open_object(w, nullptr);
        json_int(w, "run", e.number);
        json_int(w, "line", e.first_line);
        json_bool(w, "has_start", e.has_start);
        json_time(w, "first_row", e.first_ms);
        json_time(w, "last_row", e.last_ms);
        json_uint(w, "rows", e.rows);
        json_int(w, "covered_ns", e.covered_ns);
        json_uint(w, "readings", e.readings);
        json_bool(w, "begins_before_previous_run_ended", e.earlier);
        json_close(w, '}');
    }
    json_close(w, ']');
    json_close(w, '}');
}

void json_gaps(json_writer* w, const run_fold* f, const fold_reading& r) {
    json_open_object(w, "bands");
    for (int b = 0; b < band_count; ++b) {
        json_uint(w, band_names[b], f->totals.bands[b]);
    }
    json_close(w, '}');
    json_open_object(w, "percentiles_below_ms");
    json_band_ms(w, "p50", r.p50_band);
    json_band_ms(w, "p99", r.p99_band);
    json_band_ms(w, "p99_9", r.p999_band);
    json_close(w, '}');
    if (f->totals.rows > 0) {
        json_row(w, "smallest_gap", f->named.smallest);
        json_row(w, "largest_gap", f->named.largest);
    } else {
        json_null(w, "smallest_gap");
        json_null(w, "largest_gap");
    }
    json_open_object(w, "clock");
    json_bool(w, "coarse", r.coarse);
    json_uint(w, "rows_with_zero_gap", f->tick.zero_gap_rows);
    if (r.coarse && r.tick_ns > 0) {
        json_int(w, "tick_ns", r.tick_ns);
    } else {
        json_null(w, "tick_ns");
    }
    json_close(w, '}');
    const stall_figures& s = *r.stalls;
    json_open_object(w, "stalls");
    json_int(w, "asked_ms", f->stall.asked_ns / 1'000'000);
    json_int(w, "threshold_ns", s.threshold_ns);
    json_uint(w, "rows", s.rows);
    json_uint(w, "gaps_min", s.gaps_low);
    json_uint(w, "gaps_max", s.gaps_high);
    json_uint(w, "time_min_ns", s.time_low_ns);
    json_uint(w, "time_max_ns", s.time_high_ns);
    json_close(w, '}');
    json_open_array(w, "worst_gaps");
    for (int i = 0; i < f->named.worst_count; ++i) {
        json_row(w, nullptr, f->named.worst[i]);
    }
    json_close(w, ']');
    json_list(w, "clock_events", f->named.clock_events);
    json_list(w, "long_waits", f->named.long_waits);
}

void json_latency_and_table(json_writer* w, const run_fold* f, const fold_reading& r) {
    json_open_object(w, "printf_latency");
    json_uint(w, "rows", f->latency.rows);
    if (r.has_latency) {
        json_int(w, "median_min_ns", r.latency_median_low);
        json_int(w, "median_max_ns", r.latency_median_high);
        json_int(w, "largest_ns", f->latency.largest);
        json_row(w, "largest_row", f->latency.slowest);
    } else {
        json_null(w, "median_min_ns");
        json_null(w, "median_max_ns");
        json_null(w, "largest_ns");
        json_null(w, "largest_row");
    }
    json_close(w, '}');
    const auto lines = std::make_unique<period_entry[]>(kept_periods);
    const int count =
        r.table_ms > 0 ? table_lines(&f->table, r.table_ms, lines.get(), kept_periods) : 0;
    json_open_object(w, "table");
    json_int(w, "span_ms", r.table_ms);
    json_open_array(w, "lines");
    for (int i = 0; i < count; ++i) {
        const period_entry& e = lines[static_cast<size_t>(i)];
        json_open_object(w, nullptr);
        json_time(w, "start", e.start_ms);
        json_uint(w, "rows", e.rows);
        json_uint(w, "readings", e.readings);
        json_int(w, "max_gap_ns", e.worst_ns);
        json_open_array(w, "bands");
        for (int b = 0; b < band_count; ++b) {
            json_uint(w, nullptr, e.bands[b]);
        }
        json_close(w, ']');
        json_close(w, '}');
    }
    json_close(w, ']');
    json_close(w, '}');
}

}  // namespace

const char* end_words(input_end ended) {
    switch (ended) {
        case input_end::ctrl_c:
            return "Ctrl-C";
        case input_end::sigterm:
            return "SIGTERM";
        case input_end::not_yet:
        case input_end::end_of_input:
            break;
    }
    return "end of input";
}

void print_json(FILE* out, const run_fold* f, const log_facts& facts, bool pretty) {
    const fold_reading r = read_fold(f);
    json_writer w = json_start(out, pretty);
    json_open_object(&w, nullptr);
    json_log(&w, f, facts);
    json_runs(&w, f);
    json_gaps(&w, f, r);
    json_latency_and_table(&w, f, r);
    json_close(&w, '}');
}
