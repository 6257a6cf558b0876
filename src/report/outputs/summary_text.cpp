#include <algorithm>
#include <cinttypes>
#include <limits>
#include <memory>

#include "report/outputs/summary.h"
#include "report/util/report_time.h"
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

void print_row_place(text_out* out, const log_facts& facts, const named_row& r, bool runs) {
    char t[40], where[4200];
    outf(out, "%s (%s", row_time(r.row, false, t, sizeof t),
         place_words(facts, r.line, where, sizeof where));
    if (runs) {
        outf(out, ", run %d", r.run);
    }
    outf(out, ")");
}

template <int N>
void print_more(text_out* out, const row_list<N>& list) {
    if (list.total > static_cast<uint64_t>(list.count)) {
        outf(out, "  ... and %" PRIu64 " more (narrow the window with --from and --to)\n",
             list.total - static_cast<uint64_t>(list.count));
    }
}

// The percentile claim: for each band that holds a percentile, the highest percentile it
// holds, as one sentence.
void print_percentiles(text_out* out, const fold_reading& r) {
    const int bands[] = {r.p999_band, r.p99_band, r.p50_band};
    const char* const names[] = {"99.9 %", "99 %", "half"};
    outf(out, "From the bands: at least");
    int last = -2;
    int said = 0;
    for (int q = 0; q < 3; ++q) {
        const int b = bands[q];
        if (b == last || b == band_count - 1) {
            continue;  // a lower percentile in the same band adds nothing; above 5 s bounds nothing
        }
        last = b;
        outf(out, "%s %s", said == 0 ? "" : ", and", names[q]);
        if (said == 0) {
            outf(out, " of the gaps were");
        }
        if (b == 0) {
            outf(out, " negative");
        } else {
            outf(out, " below %" PRId64 " ms", band_high_ns(b) / 1'000'000);
        }
        ++said;
    }
    if (said == 0) {
        outf(out, " half of the gaps were above 5000 ms");
    }
    outf(out, ".\n");
}

void print_stalls(text_out* out, const run_fold* f, const stall_rule* rule, const fold_reading& r) {
    char a[48], b[48], t[48];
    const stall_figures& s = *r.stalls;
    outf(out, "\nStalls (gaps of %s or more", threshold_text(s.threshold_ns, t, sizeof t));
    if (s.threshold_ns != f->stall.asked_ns) {
        outf(out, "; gaps of one clock tick are not stalls");
    } else if (rule->pause_ms > 0 && !rule->asked_by_user) {
        outf(out, "; the default: 10 ms more than the monitor's pause of %d ms", rule->pause_ms);
    }
    outf(out, "):");
    if (s.rows == 0) {
        outf(out, " none\n");
        return;
    }
    outf(out, " in %" PRIu64 " row%s; ", s.rows, s.rows == 1 ? "" : "s");
    if (s.gaps_low == s.gaps_high) {
        outf(out, "%" PRIu64 " gap%s", s.gaps_low, s.gaps_low == 1 ? "" : "s");
    } else {
        outf(out, "%" PRIu64 " to %" PRIu64 " gaps", s.gaps_low, s.gaps_high);
    }
    if (s.time_low_ns == s.time_high_ns) {
        outf(out, ", taking %s in all\n", unsigned_duration(s.time_low_ns, a, sizeof a));
    } else {
        outf(out, ", taking %s to %s in all\n", unsigned_duration(s.time_low_ns, a, sizeof a),
             unsigned_duration(s.time_high_ns, b, sizeof b));
    }
    outf(out, "  by band:");
    const char* separator = " ";
    const int partial = partial_band(s.threshold_ns);
    for (int band = partial > 0 ? partial : first_band_from(s.threshold_ns); band < band_count;
         ++band) {
        if (f->totals.bands[band] == 0) {
            continue;
        }
        if (band == partial) {
            outf(out, "%s%s %" PRIu64 " (gaps from %" PRId64 " ms: only some are stalls)",
                 separator, band_names[band], f->totals.bands[band], band_low_ms(band));
        } else {
            outf(out, "%s%s %" PRIu64, separator, band_names[band], f->totals.bands[band]);
        }
        separator = ", ";
    }
    outf(out, "\n  by cause:");
    separator = " ";
    for (int kind = 0; kind < cause_kinds; ++kind) {
        if (s.causes[kind] > 0) {
            outf(out, "%s%s %" PRIu64, separator, cause_name(static_cast<cause_kind>(kind)),
                 s.causes[kind]);
            separator = ", ";
        }
    }
    int order[kept_culprits];
    const int n = culprits_by_rows(&f->culprits, order);
    if (n > 0) {
        outf(out, "\n  who took the CPU (stall rows):");
        for (int i = 0; i < std::min(n, 5); ++i) {
            const culprit_tally& c = f->culprits.names[order[i]];
            outf(out, "%s%s %" PRIu64 "%s", i == 0 ? " " : ", ", c.name, c.rows,
                 seen_note(tally_seen(c)));
        }
    }
    outf(out, "\n");
}

void print_table(text_out* out, const run_fold* f, const fold_reading& r) {
    const auto lines_kept = std::make_unique<period_entry[]>(kept_periods);
    period_entry* const lines = lines_kept.get();
    const int count = table_lines(&f->table, r.table_ms, lines, kept_periods);
    const int from_band = first_band_from(r.stalls->threshold_ns);
    char label[32], w[48];
    snprintf(label, sizeof label, ">=%" PRId64 "ms", band_low_ms(from_band));
    const char* unit = r.table_ms == ms_per_hour  ? "hour"
                       : r.table_ms == ms_per_day ? "day"
                                                  : "period";
    outf(out, "\nOver time, by %s (UTC; %s counts the gaps in bands %s and up):\n", unit, label,
         band_names[from_band]);
    outf(out, "  %-16s %8s %13s %12s %10s %8s %8s\n", unit, "rows", "readings", "worst gap", label,
         "set back", ">5s");
    for (int i = 0; i < count; ++i) {
        const period_entry& e = lines[i];
        char t[40];
        format_utc(e.start_ms, false, t, sizeof t);
        uint64_t stalls = 0;
        for (int b = from_band; b < band_count; ++b) {
            stalls += e.bands[b];
        }
        outf(out,
             "  %.16s %8" PRIu64 " %13" PRIu64 " %12s %10" PRIu64 " %8" PRIu64 " %8" PRIu64 "\n", t,
             e.rows, e.readings, format_duration(e.worst_ns, w, sizeof w), stalls, e.bands[0],
             e.bands[band_count - 1]);
    }
    if (f->table.count == kept_periods && count == kept_periods) {
        outf(out, "  ... the table holds its first %d lines\n", kept_periods);
    }
}

}  // namespace

namespace {

void print_notes(text_out* out, const log_facts& facts) {
    char where[4200];
    if (facts.input->start_missing) {
        outf(out,
             "Note: %s begins with rows, not with the monitor's start line and header: "
             "the start of the log is missing.\n",
             facts.name);
    }
    if (facts.fragment_first) {
        outf(out,
             "Note: line 1 is the rest of a line whose start is missing (the log was cut "
             "there); it was skipped.\n");
    }
    if (facts.nul_bytes > 0) {
        outf(out,
             "Note: %" PRIu64
             " NUL bytes were passed over (a log truncated while it was written, as "
             "logrotate's copytruncate does).\n",
             facts.nul_bytes);
    }
    if (facts.skipped_lines > 0) {
        outf(out,
             "Note: %" PRIu64
             " line%s that %s not clockgap's %s skipped (the first is %s); "
             "the figures are those of the other lines.\n",
             facts.skipped_lines, facts.skipped_lines == 1 ? "" : "s",
             facts.skipped_lines == 1 ? "is" : "are", facts.skipped_lines == 1 ? "was" : "were",
             place_words(facts, facts.first_skipped_line, where, sizeof where));
    }
    if (facts.ended == input_end::ctrl_c || facts.ended == input_end::sigterm) {
        outf(out, "Note: the input was ended by %s; this is everything read before.\n",
             end_words(facts.ended));
    } else if (facts.follow) {
        outf(out, "Note: the input ended: the monitor stopped, or its log was closed.\n");
    }
}

void print_totals(text_out* out, const run_fold* f, const stall_rule* rule, const fold_reading& r,
                  bool runs, uint64_t rows_outside, long days_not_read) {
    char a[48], b[48];
    if (!runs) {
        format_utc(f->totals.first_ms, false, a, sizeof a);
        format_utc(f->totals.last_ms, false, b, sizeof b);
        outf(out, "Rows:        %" PRIu64 ", ", f->totals.rows);
        if (f->totals.last_ms >= f->totals.first_ms) {
            outf(out, "from %s to %s UTC\n", a, b);
        } else {
            outf(out,
                 "the first at %s UTC, the last at %s UTC (earlier: the clock was set "
                 "back)\n",
                 a, b);
        }
    } else {
        outf(out, "Rows:        %" PRIu64 ", in %d runs (listed below)\n", f->totals.rows,
             f->run_list.runs_with_rows);
    }
    if (rows_outside > 0 || days_not_read > 0) {
        outf(out, "Window:      %" PRIu64 " rows of the log lie outside --from and --to",
             rows_outside);
        if (days_not_read > 0) {
            outf(out, ", and %ld day files wholly outside them were not read", days_not_read);
        }
        outf(out, "\n");
    }
    const double covered = static_cast<double>(f->totals.covered_ns) / 1e9;
    // diff_report is measured by the log's own clock: a step of it is in the sum.
    const bool stepped = f->totals.bands[0] > 0 || f->totals.bands[band_count - 1] > 0;
    outf(out, "Time:        %.3f s covered by the rows (their diff_report added up%s%s)\n", covered,
         runs ? ", within each run" : "",
         stepped ? "; by the log's own clock, so the clock steps below are in it" : "");
    outf(out, "Readings:    %" PRIu64 " (%.0f per second)\n", f->totals.readings,
         covered > 0 ? static_cast<double>(f->totals.readings) / covered : 0.0);
    if (r.rule.coarse) {
        outf(out,
             "Clock:       advances in ticks of about %g ms: %" PRIu64 " of %" PRIu64
             " rows have a smallest gap of 0\n",
             static_cast<double>(r.rule.tick_ns) / 1e6, rule->zero_gap_rows, rule->rows);
    }
}

void print_run(text_out* out, const log_facts& facts, const run_fold* f, int i) {
    char a[48], b[48], where[4200];
    const run_entry& e = f->run_list.runs[i];
    format_utc(e.first_ms, false, a, sizeof a);
    format_utc(e.last_ms, false, b, sizeof b);
    const double seconds = static_cast<double>(e.covered_ns) / 1e9;
    outf(out, "  run %d (%s): %" PRIu64 " rows, first %s, last %s UTC, %.3f s", e.number,
         place_words(facts, e.first_line, where, sizeof where), e.rows, a, b, seconds);
    if (seconds > 0) {
        outf(out, ", %.0f readings per second", static_cast<double>(e.readings) / seconds);
    }
    if (!e.has_start) {
        outf(out, "; its start is missing");
    }
    if (e.earlier && i > 0) {
        outf(out, "; begins %s before the run before it ended",
             format_duration(ms_as_ns(f->run_list.runs[i - 1].last_ms - e.first_ms), a, sizeof a));
    }
    outf(out, "\n");
}

void print_runs(text_out* out, const log_facts& facts, const run_fold* f) {
    outf(out, "\nRuns (a start line or header after rows begins a new run):\n");
    const int listed = std::min(f->run_list.runs_with_rows, kept_runs);
    for (int i = 0; i < listed; ++i) {
        print_run(out, facts, f, i);
    }
    if (f->run_list.runs_with_rows > kept_runs) {
        outf(out, "  ... and %d more runs\n", f->run_list.runs_with_rows - kept_runs);
    }
    if (f->run_list.earlier_runs > 0) {
        outf(out,
             "  %" PRIu64
             " run%s begin%s before the run before ended: logs out of "
             "order, or the clock was set back between runs.\n",
             f->run_list.earlier_runs, f->run_list.earlier_runs == 1 ? "" : "s",
             f->run_list.earlier_runs == 1 ? "s" : "");
    }
}

void print_bands(text_out* out, const run_fold* f, const fold_reading& r, bool runs, bool window) {
    outf(out, "\nGaps by band, %s:\n",
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
        outf(out, "  %-12s %12" PRIu64 " %9.5f %%  %.*s\n", band_names[i], f->totals.bands[i],
             share, width, "########################################");
    }
    if (f->totals.readings > 0) {
        outf(out, "\n");
        print_percentiles(out, r);
    }
}

void print_extremes(text_out* out, const log_facts& facts, const run_fold* f, bool runs) {
    char a[48];
    outf(out, "\nSmallest gap: %" PRId64 " ns (%s), in the row of ",
         f->named.smallest.row.min_diff_this_rep,
         format_duration(f->named.smallest.row.min_diff_this_rep, a, sizeof a));
    print_row_place(out, facts, f->named.smallest, runs);
    outf(out, "\nLargest gap:  %" PRId64 " ns (%s), in the row of ",
         f->named.largest.row.max_diff_this_rep,
         format_duration(f->named.largest.row.max_diff_this_rep, a, sizeof a));
    print_row_place(out, facts, f->named.largest, runs);
    outf(out, "\n");
}

void print_worst(text_out* out, const log_facts& facts, const run_fold* f, bool runs) {
    char a[48];
    outf(out, "\nWorst gaps (the largest gap of each of the %d worst rows):\n",
         std::min(f->named.worst_count, kept_worst));
    for (int i = 0; i < f->named.worst_count; ++i) {
        const named_row& w = f->named.worst[i];
        outf(out, "  %2d. %s in the row of ", i + 1,
             format_duration(w.row.max_diff_this_rep, a, sizeof a));
        print_row_place(out, facts, w, runs);
        outf(out, "\n");
    }
}

void print_clock_events(text_out* out, const log_facts& facts, const run_fold* f, bool runs) {
    outf(out, "\nClock set back, set forward or process held up above 5 s:%s\n",
         f->named.clock_events.total == 0 ? " never" : "");
    for (int i = 0; i < f->named.clock_events.count; ++i) {
        const named_row& e = f->named.clock_events.kept[i];
        outf(out, "  ");
        print_row_place(out, facts, e, runs);
        outf(out, ": ");
        write_clock_words(out, e.events);
        outf(out, "\n");
    }
    print_more(out, f->named.clock_events);
}

void print_long_waits(text_out* out, const log_facts& facts, const run_fold* f, bool runs) {
    char a[48];
    outf(out,
         "\nStretches of more than 1.5 s without a row (a row that took long to write "
         "shows here, not as a gap):%s\n",
         f->named.long_waits.total == 0 ? " none" : "");
    for (int i = 0; i < f->named.long_waits.count; ++i) {
        const named_row& w = f->named.long_waits.kept[i];
        outf(out, "  %s without a row before ", format_duration(w.row.diff_report, a, sizeof a));
        print_row_place(out, facts, w, runs);
        outf(out, "\n");
    }
    print_more(out, f->named.long_waits);
}

void print_latency(text_out* out, const log_facts& facts, const run_fold* f,
                   const fold_reading& r) {
    char a[48], b[48];
    outf(out, "\nRow write time (printf_latency): median ");
    if (r.latency_median_low == r.latency_median_high) {
        outf(out, "%s", format_duration(r.latency_median_low, a, sizeof a));
    } else if (r.latency_median_high < 0) {
        outf(out, "negative (the clock was set back while rows were written)");
    } else {
        outf(out, "%s to %s", format_duration(r.latency_median_low, a, sizeof a),
             format_duration(r.latency_median_high, b, sizeof b));
    }
    outf(out, ", largest %s, reported by the row of ",
         format_duration(f->latency.largest, a, sizeof a));
    print_row_place(out, facts, f->latency.slowest, f->run_list.runs_with_rows > 1);
    outf(out, "\n");
}

}  // namespace

void print_summary(text_out* out, const report_figures& figures) {
    const run_fold* const f = figures.fold;
    const log_facts& facts = *figures.facts;
    const fold_reading r = read_fold(f, figures.rule);
    const bool runs = f->run_list.runs_with_rows > 1;
    print_notes(out, facts);
    if (f->totals.rows == 0) {
        // Of the files read: day files wholly outside the window were not read at all.
        if (facts.input->rows_outside > 0) {
            outf(out, "No rows: the window holds none of the %" PRIu64 " rows read",
                 facts.input->rows_outside);
        } else if (facts.days_not_read == 0) {
            outf(out, "No rows: the log holds no report yet");
        } else {
            outf(out, "No rows: the window holds none of the log's rows");
        }
        if (facts.days_not_read > 0) {
            outf(out, "; %ld day file%s wholly outside it %s not read", facts.days_not_read,
                 facts.days_not_read == 1 ? "" : "s", facts.days_not_read == 1 ? "was" : "were");
        }
        outf(out, ".\n");
        return;
    }
    print_totals(out, f, figures.rule, r, runs, facts.input->rows_outside, facts.days_not_read);
    if (runs) {
        print_runs(out, facts, f);
    }
    const input_stage& in = *facts.input;
    print_bands(out, f, r, runs,
                in.from_ms != std::numeric_limits<int64_t>::min() ||
                    in.to_ms != std::numeric_limits<int64_t>::max());
    print_extremes(out, facts, f, runs);
    print_stalls(out, f, figures.rule, r);
    print_worst(out, facts, f, runs);
    print_clock_events(out, facts, f, runs);
    print_long_waits(out, facts, f, runs);
    if (r.has_latency) {
        print_latency(out, facts, f, r);
    }
    if (r.table_ms > 0) {
        print_table(out, f, r);
    }
}
