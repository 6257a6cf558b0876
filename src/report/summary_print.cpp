#include "report/summary_print.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <limits>

#include "report/report_time.h"
#include "stats/gap_stats.h"

namespace {

// Milliseconds as nanoseconds, at the largest value past about 292 years.
int64_t ms_as_ns(int64_t ms) {
    return ms > INT64_MAX / 1'000'000 ? INT64_MAX : ms * 1'000'000;
}

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

// The stall threshold as text: whole ms when it is one.
const char* threshold_text(int64_t ns, char* text, size_t size) {
    if (ns % 1'000'000 == 0) {
        snprintf(text, size, "%" PRId64 " ms", ns / 1'000'000);
    } else {
        format_duration(ns, text, size);
    }
    return text;
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
            fprintf(out, " below %" PRIu32 " ms", intervals[b - 1] + 1);
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
    if (s.threshold_ns != f->stall_ns) {
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
        if (f->bands[band] == 0) {
            continue;
        }
        if (band == partial) {
            fprintf(out, "%s%s %" PRIu64 " (gaps from %" PRId64 " ms: only some are stalls)",
                    separator, band_names[band], f->bands[band], band_low_ms(band));
        } else {
            fprintf(out, "%s%s %" PRIu64, separator, band_names[band], f->bands[band]);
        }
        separator = ", ";
    }
    fprintf(out, "\n");
}

void print_table(FILE* out, const run_fold* f, const fold_reading& r) {
    static period_entry lines[kept_periods];
    const int count = table_lines(f, r.table_ms, lines, kept_periods);
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
    if (f->period_count == kept_periods && count == kept_periods) {
        fprintf(out, "  ... the table holds its first %d lines\n", kept_periods);
    }
}

}  // namespace

void print_summary(FILE* out, const run_fold* f, const log_facts& facts) {
    char a[48], b[48];
    const fold_reading r = read_fold(f);
    const bool runs = f->runs_with_rows > 1;
    if (f->start_missing) {
        fprintf(out,
                "Note: %s begins with rows, not with the monitor's start line and header: "
                "the start of the log is missing.\n",
                facts.name);
    }
    if (facts.interrupted) {
        fprintf(out, "Note: the input was ended with Ctrl-C; this is everything read before.\n");
    }
    if (f->rows == 0) {
        if (f->rows_outside > 0) {
            fprintf(out, "No rows: the window holds none of the log's %" PRIu64 " rows.\n",
                    f->rows_outside);
        } else {
            fprintf(out, "No rows: the log holds no report yet.\n");
        }
        return;
    }
    if (!runs) {
        fprintf(out, "Rows:        %" PRIu64 ", ", f->rows);
        if (f->last_ms >= f->first_ms) {
            format_utc(f->first_ms, false, a, sizeof a);
            format_utc(f->last_ms, false, b, sizeof b);
            fprintf(out, "from %s to %s UTC\n", a, b);
        } else {
            format_utc(f->first_ms, false, a, sizeof a);
            format_utc(f->last_ms, false, b, sizeof b);
            fprintf(out,
                    "the first at %s UTC, the last at %s UTC (earlier: the clock was set "
                    "back)\n",
                    a, b);
        }
    } else {
        fprintf(out, "Rows:        %" PRIu64 ", in %d runs (listed below)\n", f->rows,
                f->runs_with_rows);
    }
    if (f->rows_outside > 0) {
        fprintf(out, "Window:      %" PRIu64 " rows of the log lie outside --from and --to\n",
                f->rows_outside);
    }
    const double covered = static_cast<double>(f->covered_ns) / 1e9;
    fprintf(out, "Time:        %.3f s covered by the rows (their diff_report added up%s)\n",
            covered, runs ? ", within each run" : "");
    fprintf(out, "Readings:    %" PRIu64 " (%.0f per second)\n", f->readings,
            covered > 0 ? static_cast<double>(f->readings) / covered : 0.0);
    if (r.coarse) {
        fprintf(out,
                "Clock:       advances in ticks of about %g ms: %" PRIu64 " of %" PRIu64
                " rows have a smallest gap of 0\n",
                static_cast<double>(r.tick_ns) / 1e6, f->zero_gap_rows, f->rows);
    }

    if (runs) {
        fprintf(out, "\nRuns (a start line or header after rows begins a new run):\n");
        const int listed = std::min(f->runs_with_rows, kept_runs);
        for (int i = 0; i < listed; ++i) {
            const run_entry& e = f->runs[i];
            format_utc(e.first_ms, false, a, sizeof a);
            format_utc(e.last_ms, false, b, sizeof b);
            const double seconds = static_cast<double>(e.covered_ns) / 1e9;
            fprintf(out, "  run %d (line %ld): %" PRIu64 " rows, first %s, last %s UTC, %.3f s",
                    e.number, e.first_line, e.rows, a, b, seconds);
            if (seconds > 0) {
                fprintf(out, ", %.0f readings per second",
                        static_cast<double>(e.readings) / seconds);
            }
            if (!e.has_start) {
                fprintf(out, "; its start is missing");
            }
            if (e.earlier && i > 0) {
                fprintf(
                    out, "; begins %s before the run before it ended",
                    format_duration(ms_as_ns(f->runs[i - 1].last_ms - e.first_ms), a, sizeof a));
            }
            fprintf(out, "\n");
        }
        if (f->runs_with_rows > kept_runs) {
            fprintf(out, "  ... and %d more runs\n", f->runs_with_rows - kept_runs);
        }
        if (f->earlier_runs > 0) {
            fprintf(out,
                    "  %" PRIu64
                    " run%s begin%s before the run before ended: logs out of "
                    "order, or the clock was set back between runs.\n",
                    f->earlier_runs, f->earlier_runs == 1 ? "" : "s",
                    f->earlier_runs == 1 ? "s" : "");
        }
    }

    fprintf(out, "\nGaps by band, the whole %s:\n", runs ? "log" : "run");
    const uint64_t most = *std::max_element(f->bands, f->bands + band_count);
    for (int i = 0; i < band_count; ++i) {
        const double share = f->readings > 0 ? 100.0 * static_cast<double>(f->bands[i]) /
                                                   static_cast<double>(f->readings)
                                             : 0.0;
        int width = most > 0 ? static_cast<int>(40.0 * static_cast<double>(f->bands[i]) /
                                                static_cast<double>(most))
                             : 0;
        if (f->bands[i] > 0 && width == 0) {
            width = 1;
        }
        fprintf(out, "  %-12s %12" PRIu64 " %9.5f %%  %.*s\n", band_names[i], f->bands[i], share,
                width, "########################################");
    }
    if (f->readings > 0) {
        fprintf(out, "\n");
        print_percentiles(out, r);
    }

    fprintf(out, "\nSmallest gap: %" PRId64 " ns (%s), in the row of ",
            f->smallest.row.min_diff_this_rep,
            format_duration(f->smallest.row.min_diff_this_rep, a, sizeof a));
    print_row_place(out, f->smallest, runs);
    fprintf(out, "\nLargest gap:  %" PRId64 " ns (%s), in the row of ",
            f->largest.row.max_diff_this_rep,
            format_duration(f->largest.row.max_diff_this_rep, a, sizeof a));
    print_row_place(out, f->largest, runs);
    fprintf(out, "\n");

    print_stalls(out, f, r);

    fprintf(out, "\nWorst gaps (the largest gap of each of the %d worst rows):\n",
            std::min(f->worst_count, kept_worst));
    for (int i = 0; i < f->worst_count; ++i) {
        const named_row& w = f->worst[i];
        fprintf(out, "  %2d. %s in the row of ", i + 1,
                format_duration(w.row.max_diff_this_rep, a, sizeof a));
        print_row_place(out, w, runs);
        fprintf(out, "\n");
    }

    fprintf(out, "\nClock set back, set forward or process held up above 5 s:%s\n",
            f->clock_events.total == 0 ? " never" : "");
    for (int i = 0; i < f->clock_events.count; ++i) {
        const named_row& e = f->clock_events.kept[i];
        fprintf(out, "  ");
        print_row_place(out, e, runs);
        fprintf(out, ":");
        if (e.row.neg > 0) {
            fprintf(out, " clock set back (%" PRIu32 " negative gap%s, down to %s)", e.row.neg,
                    e.row.neg == 1 ? "" : "s",
                    format_duration(e.row.min_diff_this_rep, a, sizeof a));
        }
        if (e.row.out_to_lunch > 0) {
            fprintf(out, "%s", e.row.neg > 0 ? ";" : "");
            fprintf(out,
                    " clock set forward or process held up (%" PRIu32 " gap%s above 5 s, up to %s)",
                    e.row.out_to_lunch, e.row.out_to_lunch == 1 ? "" : "s",
                    format_duration(e.row.max_diff_this_rep, a, sizeof a));
        }
        fprintf(out, "\n");
    }
    print_more(out, f->clock_events);

    fprintf(out, "\nStretches of more than 1.5 s without a row:%s\n",
            f->long_waits.total == 0 ? " none" : "");
    for (int i = 0; i < f->long_waits.count; ++i) {
        const named_row& w = f->long_waits.kept[i];
        fprintf(out, "  %s without a row before ", format_duration(w.row.diff_report, a, sizeof a));
        print_row_place(out, w, runs);
        fprintf(out, "\n");
    }
    print_more(out, f->long_waits);

    if (r.has_latency) {
        fprintf(out, "\nRow write time (printf_latency): median ");
        if (r.latency_median_low == r.latency_median_high) {
            fprintf(out, "%s", format_duration(r.latency_median_low, a, sizeof a));
        } else if (r.latency_median_high < 0) {
            fprintf(out, "negative (the clock was set back while rows were written)");
        } else {
            fprintf(out, "%s to %s", format_duration(r.latency_median_low, a, sizeof a),
                    format_duration(r.latency_median_high, b, sizeof b));
        }
        fprintf(out, ", largest %s\n", format_duration(f->latency_max, a, sizeof a));
    }
    if (r.table_ms > 0) {
        print_table(out, f, r);
    }
}

namespace {

void json_string(FILE* out, const char* text) {
    fputc('"', out);
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            fprintf(out, "\\%c", c);
        } else if (c < 0x20) {
            fprintf(out, "\\u%04x", c);
        } else {
            fputc(c, out);
        }
    }
    fputc('"', out);
}

void json_time(FILE* out, int64_t ms) {
    char t[40];
    format_utc(ms, true, t, sizeof t);
    fprintf(out, "\"%s\"", t);
}

void json_row(FILE* out, const named_row& r) {
    fprintf(out, "{\"time\": ");
    json_time(out, unix_ms(r.row.timestamp));
    fprintf(out,
            ", \"line\": %ld, \"run\": %d, \"min_gap_ns\": %" PRId64 ", \"max_gap_ns\": %" PRId64
            ", \"diff_report_ns\": %" PRId64 ", \"negative_gaps\": %" PRIu32
            ", \"gaps_above_5s\": %" PRIu32 "}",
            r.line, r.run, r.row.min_diff_this_rep, r.row.max_diff_this_rep, r.row.diff_report,
            r.row.neg, r.row.out_to_lunch);
}

template <int N>
void json_list(FILE* out, const char* name, const row_list<N>& list) {
    fprintf(out, "  \"%s\": {\"count\": %" PRIu64 ", \"listed\": [", name, list.total);
    for (int i = 0; i < list.count; ++i) {
        fprintf(out, "%s\n    ", i > 0 ? "," : "");
        json_row(out, list.kept[i]);
    }
    fprintf(out, "]},\n");
}

void json_band_ms(FILE* out, int band) {
    if (band <= 0 || band >= band_count - 1) {
        fprintf(out, "null");
    } else {
        fprintf(out, "%" PRIu32, intervals[band - 1] + 1);
    }
}

}  // namespace

void print_json(FILE* out, const run_fold* f, const log_facts& facts) {
    const fold_reading r = read_fold(f);
    fprintf(out, "{\n  \"log\": ");
    json_string(out, facts.name);
    fprintf(out,
            ",\n  \"lines\": %ld,\n  \"cut_short_line\": %ld,\n  \"start_missing\": %s,\n"
            "  \"interrupted\": %s,\n",
            facts.lines, facts.cut_short_line, f->start_missing ? "true" : "false",
            facts.interrupted ? "true" : "false");
    fprintf(out, "  \"window\": {\"from\": ");
    if (f->from_ms != std::numeric_limits<int64_t>::min()) {
        json_time(out, f->from_ms);
    } else {
        fprintf(out, "null");
    }
    fprintf(out, ", \"to\": ");
    if (f->to_ms != std::numeric_limits<int64_t>::max()) {
        json_time(out, f->to_ms);
    } else {
        fprintf(out, "null");
    }
    fprintf(out, ", \"rows_outside\": %" PRIu64 "},\n", f->rows_outside);
    fprintf(out, "  \"rows\": %" PRIu64 ",\n  \"first_row\": ", f->rows);
    if (f->rows > 0) {
        json_time(out, f->first_ms);
        fprintf(out, ",\n  \"last_row\": ");
        json_time(out, f->last_ms);
    } else {
        fprintf(out, "null,\n  \"last_row\": null");
    }
    fprintf(out, ",\n  \"covered_ns\": %" PRId64 ",\n  \"readings\": %" PRIu64 ",\n", f->covered_ns,
            f->readings);
    fprintf(out, "  \"runs\": {\"count\": %d, \"listed\": [", f->runs_with_rows);
    for (int i = 0; i < std::min(f->runs_with_rows, kept_runs); ++i) {
        const run_entry& e = f->runs[i];
        fprintf(out, "%s\n    {\"run\": %d, \"line\": %ld, \"has_start\": %s, \"first_row\": ",
                i > 0 ? "," : "", e.number, e.first_line, e.has_start ? "true" : "false");
        json_time(out, e.first_ms);
        fprintf(out, ", \"last_row\": ");
        json_time(out, e.last_ms);
        fprintf(out,
                ", \"rows\": %" PRIu64 ", \"covered_ns\": %" PRId64 ", \"readings\": %" PRIu64
                ", \"begins_before_previous_run_ended\": %s}",
                e.rows, e.covered_ns, e.readings, e.earlier ? "true" : "false");
    }
    fprintf(out, "]},\n  \"bands\": {");
    for (int b = 0; b < band_count; ++b) {
        fprintf(out, "%s\"%s\": %" PRIu64, b > 0 ? ", " : "", band_names[b], f->bands[b]);
    }
    fprintf(out, "},\n  \"percentiles_below_ms\": {\"p50\": ");
    json_band_ms(out, r.p50_band);
    fprintf(out, ", \"p99\": ");
    json_band_ms(out, r.p99_band);
    fprintf(out, ", \"p99_9\": ");
    json_band_ms(out, r.p999_band);
    fprintf(out, "},\n  \"smallest_gap\": ");
    if (f->rows > 0) {
        json_row(out, f->smallest);
        fprintf(out, ",\n  \"largest_gap\": ");
        json_row(out, f->largest);
    } else {
        fprintf(out, "null,\n  \"largest_gap\": null");
    }
    fprintf(out,
            ",\n  \"clock\": {\"coarse\": %s, \"rows_with_zero_gap\": %" PRIu64 ", \"tick_ns\": ",
            r.coarse ? "true" : "false", f->zero_gap_rows);
    if (r.coarse && r.tick_ns > 0) {
        fprintf(out, "%" PRId64, r.tick_ns);
    } else {
        fprintf(out, "null");
    }
    const stall_figures& s = *r.stalls;
    fprintf(out,
            "},\n  \"stalls\": {\"asked_ms\": %" PRId64 ", \"threshold_ns\": %" PRId64
            ", \"rows\": %" PRIu64 ", \"gaps_min\": %" PRIu64 ", \"gaps_max\": %" PRIu64
            ", \"time_min_ns\": %" PRIu64 ", \"time_max_ns\": %" PRIu64 "},\n",
            f->stall_ns / 1'000'000, s.threshold_ns, s.rows, s.gaps_low, s.gaps_high, s.time_low_ns,
            s.time_high_ns);
    fprintf(out, "  \"worst_gaps\": [");
    for (int i = 0; i < f->worst_count; ++i) {
        fprintf(out, "%s\n    ", i > 0 ? "," : "");
        json_row(out, f->worst[i]);
    }
    fprintf(out, "],\n");
    json_list(out, "clock_events", f->clock_events);
    json_list(out, "long_waits", f->long_waits);
    fprintf(out, "  \"printf_latency\": {\"rows\": %" PRIu64, f->latency_rows);
    if (r.has_latency) {
        fprintf(out,
                ", \"median_min_ns\": %" PRId64 ", \"median_max_ns\": %" PRId64
                ", \"largest_ns\": %" PRId64 "},\n",
                r.latency_median_low, r.latency_median_high, f->latency_max);
    } else {
        fprintf(out,
                ", \"median_min_ns\": null, \"median_max_ns\": null, \"largest_ns\": null},\n");
    }
    static period_entry lines[kept_periods];
    const int count = r.table_ms > 0 ? table_lines(f, r.table_ms, lines, kept_periods) : 0;
    fprintf(out, "  \"table\": {\"span_ms\": %" PRId64 ", \"lines\": [", r.table_ms);
    for (int i = 0; i < count; ++i) {
        const period_entry& e = lines[i];
        fprintf(out, "%s\n    {\"start\": ", i > 0 ? "," : "");
        json_time(out, e.start_ms);
        fprintf(out,
                ", \"rows\": %" PRIu64 ", \"readings\": %" PRIu64 ", \"max_gap_ns\": %" PRId64
                ", \"bands\": [",
                e.rows, e.readings, e.worst_ns);
        for (int b = 0; b < band_count; ++b) {
            fprintf(out, "%s%" PRIu64, b > 0 ? ", " : "", e.bands[b]);
        }
        fprintf(out, "]}");
    }
    fprintf(out, "]}\n}\n");
}
