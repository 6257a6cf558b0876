#include <algorithm>
#include <limits>
#include <memory>

#include "report/outputs/summary.h"
#include "report/util/json_writer.h"
#include "report/util/report_time.h"
#include "stats/gap_stats.h"

namespace {

// "file" (with several files) and "line", counted within the file.
void json_place(json_writer* w, const log_facts& facts, long line) {
    const line_place place = place_of(facts, line);
    if (place.file != nullptr) {
        json_string(w, "file", place.file);
    }
    json_int(w, "line", place.line);
}

void json_row(json_writer* w, const log_facts& facts, const char* key, const named_row& r) {
    json_open_object(w, key);
    json_time(w, "time", unix_ms(r.row.timestamp));
    json_place(w, facts, r.line);
    json_int(w, "run", r.run);
    json_int(w, "min_gap_ns", r.row.min_diff_this_rep);
    json_int(w, "max_gap_ns", r.row.max_diff_this_rep);
    json_int(w, "diff_report_ns", r.row.diff_report);
    json_uint(w, "negative_gaps", r.row.neg);
    json_uint(w, "gaps_above_5s", r.row.out_to_lunch);
    json_close(w);
}

template <int N>
void json_list(json_writer* w, const log_facts& facts, const char* name, const row_list<N>& list) {
    json_open_object(w, name);
    json_uint(w, "count", list.total);
    json_open_array(w, "listed");
    for (int i = 0; i < list.count; ++i) {
        json_row(w, facts, nullptr, list.kept[i]);
    }
    json_close(w);
    json_close(w);
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
    const line_place skipped = place_of(facts, facts.first_skipped_line);
    if (skipped.file != nullptr && facts.first_skipped_line > 0) {
        json_string(w, "first_skipped_file", skipped.file);
    }
    json_int(w, "first_skipped_line", facts.first_skipped_line > 0 ? skipped.line : 0);
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
    json_int(w, "day_files_not_read", facts.days_not_read);
    json_close(w);
    json_uint(w, "rows", f->totals.rows);
    json_time_or_null(w, "first_row", f->totals.rows > 0, f->totals.first_ms);
    json_time_or_null(w, "last_row", f->totals.rows > 0, f->totals.last_ms);
    json_int(w, "covered_ns", f->totals.covered_ns);
    json_uint(w, "readings", f->totals.readings);
}

void json_runs(json_writer* w, const log_facts& facts, const run_fold* f) {
    json_open_object(w, "runs");
    json_int(w, "count", f->run_list.runs_with_rows);
    json_open_array(w, "listed");
    for (int i = 0; i < std::min(f->run_list.runs_with_rows, kept_runs); ++i) {
        const run_entry& e = f->run_list.runs[i];
        json_open_object(w, nullptr);
        json_int(w, "run", e.number);
        json_place(w, facts, e.first_line);
        json_bool(w, "has_start", e.has_start);
        json_time(w, "first_row", e.first_ms);
        json_time(w, "last_row", e.last_ms);
        json_uint(w, "rows", e.rows);
        json_int(w, "covered_ns", e.covered_ns);
        json_uint(w, "readings", e.readings);
        json_bool(w, "begins_before_previous_run_ended", e.earlier);
        json_close(w);
    }
    json_close(w);
    json_close(w);
}

void json_gaps(json_writer* w, const log_facts& facts, const run_fold* f, const stall_rule* rule,
               const fold_reading& r) {
    json_open_object(w, "bands");
    for (int b = 0; b < band_count; ++b) {
        json_uint(w, band_names[b], f->totals.bands[b]);
    }
    json_close(w);
    json_open_object(w, "percentiles_below_ms");
    json_band_ms(w, "p50", r.p50_band);
    json_band_ms(w, "p99", r.p99_band);
    json_band_ms(w, "p99_9", r.p999_band);
    json_close(w);
    if (f->totals.rows > 0) {
        json_row(w, facts, "smallest_gap", f->named.smallest);
        json_row(w, facts, "largest_gap", f->named.largest);
    } else {
        json_null(w, "smallest_gap");
        json_null(w, "largest_gap");
    }
    json_open_object(w, "clock");
    json_bool(w, "coarse", r.rule.coarse);
    json_uint(w, "rows_with_zero_gap", rule->zero_gap_rows);
    if (r.rule.coarse && r.rule.tick_ns > 0) {
        json_int(w, "tick_ns", r.rule.tick_ns);
    } else {
        json_null(w, "tick_ns");
    }
    json_close(w);
    const stall_figures& s = *r.stalls;
    json_open_object(w, "stalls");
    json_int(w, "asked_ms", f->stall.asked_ns / 1'000'000);
    json_int(w, "threshold_ns", s.threshold_ns);
    json_uint(w, "rows", s.rows);
    json_uint(w, "gaps_min", s.gaps_low);
    json_uint(w, "gaps_max", s.gaps_high);
    json_uint(w, "time_min_ns", s.time_low_ns);
    json_uint(w, "time_max_ns", s.time_high_ns);
    json_open_object(w, "causes");
    for (int kind = 0; kind < cause_kinds; ++kind) {
        json_uint(w, cause_name(static_cast<cause_kind>(kind)), s.causes[kind]);
    }
    json_close(w);
    json_open_array(w, "culprits");
    int order[kept_culprits];
    const int n = culprits_by_rows(&f->culprits, order);
    for (int i = 0; i < std::min(n, 10); ++i) {
        json_open_object(w, nullptr);
        json_string(w, "name", f->culprits.names[order[i]].name);
        json_uint(w, "stall_rows", f->culprits.names[order[i]].rows);
        json_string(w, "seen", seen_name(tally_seen(f->culprits.names[order[i]])));
        json_close(w);
    }
    json_close(w);
    json_close(w);
    json_open_array(w, "worst_gaps");
    for (int i = 0; i < f->named.worst_count; ++i) {
        json_row(w, facts, nullptr, f->named.worst[i]);
    }
    json_close(w);
    json_list(w, facts, "clock_events", f->named.clock_events);
    json_list(w, facts, "long_waits", f->named.long_waits);
}

void json_latency_and_table(json_writer* w, const log_facts& facts, const run_fold* f,
                            const fold_reading& r) {
    json_open_object(w, "printf_latency");
    json_uint(w, "rows", f->latency.rows);
    if (r.has_latency) {
        json_int(w, "median_min_ns", r.latency_median_low);
        json_int(w, "median_max_ns", r.latency_median_high);
        json_int(w, "largest_ns", f->latency.largest);
        json_row(w, facts, "largest_row", f->latency.slowest);
    } else {
        json_null(w, "median_min_ns");
        json_null(w, "median_max_ns");
        json_null(w, "largest_ns");
        json_null(w, "largest_row");
    }
    json_close(w);
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
        json_close(w);
        json_close(w);
    }
    json_close(w);
    json_close(w);
}

}  // namespace

void print_json(FILE* out, const report_figures& figures, bool pretty) {
    const run_fold* const f = figures.fold;
    const fold_reading r = read_fold(f, figures.rule);
    json_writer w = json_start(out, pretty);
    json_open_object(&w, nullptr);
    json_log(&w, f, *figures.facts);
    json_runs(&w, *figures.facts, f);
    json_gaps(&w, *figures.facts, f, figures.rule, r);
    json_latency_and_table(&w, *figures.facts, f, r);
    json_close(&w);
}
