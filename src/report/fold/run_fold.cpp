#include "report/fold/run_fold.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "report/util/report_time.h"
#include "stats/gap_stats.h"

namespace {

template <int N>
void keep(row_list<N>* list, const named_row& row) {
    if (list->count < N) {
        list->kept[list->count++] = row;
    }
    ++list->total;
}

int latency_bucket(int64_t ns) {
    const auto v = static_cast<uint64_t>(ns);
    if (v < 8) {
        return static_cast<int>(v);
    }
    const int exponent = 63 - __builtin_clzll(v);  // 3 or more
    const auto mantissa = static_cast<int>((v >> (exponent - 3)) & 7);
    return 8 + (exponent - 3) * 8 + mantissa;
}

// The smallest and largest value that latency bucket `b` holds.
void latency_bounds(int b, int64_t* low, int64_t* high) {
    if (b < 8) {
        *low = *high = b;
        return;
    }
    const int exponent = (b - 8) / 8 + 3;
    const int mantissa = (b - 8) % 8;
    const auto base = static_cast<uint64_t>(8 + mantissa) << (exponent - 3);
    const uint64_t width = uint64_t{1} << (exponent - 3);
    *low = static_cast<int64_t>(base);
    *high = static_cast<int64_t>(std::min<uint64_t>(base + width - 1, INT64_MAX));
}

// The most time a row's non-negative gaps can take together: they add up to its
// diff_report when no gap was negative, and to its mean (diff_avg, cut to whole ns)
// times their number, give or take a nanosecond each. The mean is used only where it
// agrees with the row's largest gap, which is one of them. INT64_MAX: no bound known.
int64_t row_gap_time_bound(const report_row& row, const uint32_t counts[band_count]) {
    int64_t bound = INT64_MAX;
    if (row.neg == 0 && row.diff_report >= 0) {
        bound = row.diff_report;
    }
    uint64_t n = 0;
    for (int b = 1; b < band_count; ++b) {
        n += counts[b];
    }
    if (row.diff_avg >= 0 && n <= INT32_MAX) {
        const uint64_t sum = add_capped(mul_capped(n, static_cast<uint64_t>(row.diff_avg)), n);
        if (sum <= INT64_MAX && static_cast<int64_t>(sum) >= row.max_diff_this_rep) {
            bound = std::min(bound, static_cast<int64_t>(sum));
        }
    }
    return bound;
}

void fold_stalls(stall_figures* s, const report_row& row, const uint32_t counts[band_count],
                 int64_t bound_ns, cause_kind cause) {
    if (!holds_stall(row, s->threshold_ns)) {
        return;
    }
    ++s->causes[static_cast<int>(cause)];
    // Every gap of a row is at most its largest, which is exact. A row whose bands hold
    // larger gaps than its largest (not one the monitor writes) is taken by its bands.
    const int64_t largest = row.max_diff_this_rep;
    const bool largest_known = largest >= s->threshold_ns;
    const int largest_band = band_of(largest);
    uint64_t full = 0, partial = 0, time_low = 0, time_high = 0;
    for (int b = 1; b < band_count; ++b) {
        if (counts[b] == 0 || band_high_ns(b) <= s->threshold_ns) {
            continue;
        }
        int64_t ceiling = band_high_ns(b) - 1;
        if (largest_known && largest >= band_low_ns(b)) {
            ceiling = std::min(ceiling, largest);
        }
        time_high = add_capped(time_high, mul_capped(counts[b], static_cast<uint64_t>(ceiling)));
        if (band_low_ns(b) >= s->threshold_ns) {
            full += counts[b];
            // The row's largest gap is counted exactly below; the others of its band at
            // least reach the band's lower edge.
            const uint64_t others = largest_known && b == largest_band ? counts[b] - 1 : counts[b];
            time_low =
                add_capped(time_low, mul_capped(others, static_cast<uint64_t>(band_low_ns(b))));
        } else {
            partial += counts[b];
        }
    }
    // The largest gap is a stall; it is among `full`, or among `partial` when the
    // threshold falls inside its band.
    const uint64_t at_least = largest_known ? std::max<uint64_t>(full, 1) : full;
    if (largest_known) {
        time_low = add_capped(time_low, static_cast<uint64_t>(largest));
    }
    // No more stall time, and no more stalls of at least the threshold, than the row's
    // gaps can hold.
    uint64_t at_most = full + partial;
    if (bound_ns != INT64_MAX && bound_ns >= 0) {
        const auto bound = static_cast<uint64_t>(bound_ns);
        time_high = std::min(time_high, bound);
        at_most =
            std::min(at_most, bound / static_cast<uint64_t>(std::max<int64_t>(s->threshold_ns, 1)));
    }
    ++s->rows;
    s->gaps_low = add_capped(s->gaps_low, at_least);
    s->gaps_high = add_capped(s->gaps_high, std::max(at_least, at_most));
    s->time_low_ns = add_capped(s->time_low_ns, time_low);
    s->time_high_ns = add_capped(s->time_high_ns, std::max(time_high, time_low));
}

void fold_table(table_fold* t, const report_row& row, int64_t ms, const uint32_t* counts) {
    for (;;) {
        const int64_t start = floor_div(ms, t->period_ms) * t->period_ms;
        period_entry* const begin = t->periods;
        period_entry* const end = t->periods + t->count;
        // Rows come in time order nearly always: the last line is the likely one.
        period_entry* at =
            t->count > 0 && end[-1].start_ms == start
                ? end - 1
                : std::lower_bound(begin, end, start,
                                   [](const period_entry& e, int64_t s) { return e.start_ms < s; });
        if (at == end || at->start_ms != start) {
            if (t->count == kept_periods) {
                // Full: take a span 24 (then 7, then 4) times as long and merge.
                const int64_t factor = t->period_ms == ms_per_hour  ? 24
                                       : t->period_ms == ms_per_day ? 7
                                                                    : 4;
                t->period_ms *= factor;
                ++t->merged;
                const int merged = table_lines(t, t->period_ms, t->periods, kept_periods);
                t->count = merged;
                continue;
            }
            std::move_backward(at, end, end + 1);
            *at = period_entry{};
            at->start_ms = start;
            at->worst_ns = std::numeric_limits<int64_t>::min();
            ++t->count;
        }
        ++at->rows;
        for (int b = 0; b < band_count; ++b) {
            at->bands[b] += counts[b];
            at->readings += counts[b];
        }
        at->worst_ns = std::max(at->worst_ns, row.max_diff_this_rep);
        return;
    }
}

void close_run(runs_fold* r) {
    if (r->current.rows == 0) {
        return;
    }
    if (r->runs_with_rows <= kept_runs) {
        r->runs[r->runs_with_rows - 1] = r->current;
    }
    r->previous_run_last_ms = r->current.last_ms;
    r->current.rows = 0;
}

}  // namespace

uint64_t add_capped(uint64_t a, uint64_t b) {
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<uint64_t>::max() : sum;
}

uint64_t mul_capped(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<uint64_t>::max() : product;
}

int64_t add_capped(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}

void start_fold(run_fold* f, int64_t stall_ns) {
    memset(static_cast<void*>(f), 0, sizeof *f);
    f->stall.asked_ns = stall_ns;
    f->table.period_ms = ms_per_hour;
    f->stall.figures[0].threshold_ns = stall_ns;
    for (int i = 1; i < stall_thresholds; ++i) {
        f->stall.figures[i].threshold_ns = band_low_ns(i + 1);
    }
    f->stall.lowest_ns = std::min(stall_ns, f->stall.figures[1].threshold_ns);
    // The first band that can hold a gap at or above the lowest threshold.
    f->stall.first_band = 1;
    while (f->stall.first_band < band_count - 1 &&
           band_high_ns(f->stall.first_band) <= f->stall.lowest_ns) {
        ++f->stall.first_band;
    }
}

namespace {

// A row of a run other than the last row's: the last run is closed, and this one opens.
void place_in_run(runs_fold* r, const window_row& in) {
    if (in.run == r->run) {
        return;
    }
    close_run(r);
    r->run = in.run;
    r->current = run_entry{};
    r->current.has_start = in.run_has_start;
    r->current.first_line = in.run_first_line;
}

void fold_run(runs_fold* r, const report_row& row, int64_t ms, uint64_t readings) {
    run_entry& run = r->current;
    if (run.rows == 0) {
        // Every run counted so far is closed: the one before this is the last of them.
        run.earlier = r->runs_with_rows > 0 && ms < r->previous_run_last_ms;
        ++r->runs_with_rows;
        run.number = r->run;
        run.first_ms = ms;
        r->earlier_runs += run.earlier ? 1 : 0;
    }
    run.last_ms = ms;
    ++run.rows;
    run.readings = add_capped(run.readings, readings);
    run.covered_ns = add_capped(run.covered_ns, row.diff_report);
}

// Whether `in` is the first row the monitor wrote in its run: the first after a start
// line, with the 0 the monitor writes there, and the run's extremes its own. The first
// row of a day file (whose start line is a copy) rarely has all three.
bool monitors_first_row(const window_row& in) {
    const report_row& r = *in.row;
    return in.run_has_start && in.line == in.run_first_line && r.printf_latency == 0 &&
           r.min_diff_ever == r.min_diff_this_rep && r.max_diff_ever == r.max_diff_this_rep;
}

// Every row carries the write time of the one before, but the monitor's first row of a
// run, whose 0 measures nothing.
void fold_latency(latency_fold* l, const window_row& in) {
    if (monitors_first_row(in)) {
        return;
    }
    const int64_t latency = in.row->printf_latency;
    ++l->rows;
    if (latency < 0) {
        ++l->negative;
    } else {
        ++l->buckets[latency_bucket(latency)];
    }
    if (l->rows == 1 || latency > l->largest) {
        l->largest = latency;
        l->slowest = named_row{*in.row, in.line, in.run, {}};
    }
}

void fold_totals(totals_fold* t, int64_t ms, const report_row& row, const uint32_t* counts,
                 uint64_t readings) {
    if (t->rows == 0) {
        t->first_ms = t->min_ms = t->max_ms = ms;
    }
    ++t->rows;
    t->last_ms = ms;
    t->min_ms = std::min(t->min_ms, ms);
    t->max_ms = std::max(t->max_ms, ms);
    t->covered_ns = add_capped(t->covered_ns, row.diff_report);
    t->readings = add_capped(t->readings, readings);
    for (int b = 0; b < band_count; ++b) {
        t->bands[b] += counts[b];
    }
}

// The extremes, the clock events, the stretches without rows and the worst gaps.
void fold_named(named_fold* n, const window_row& in, const row_events& e, bool first) {
    const report_row& row = *in.row;
    // Copied only when named: most rows never are.
    const auto named = [&] { return named_row{row, in.line, in.run, e}; };
    if (first || row.min_diff_this_rep < n->smallest.row.min_diff_this_rep) {
        n->smallest = named();
    }
    if (first || row.max_diff_this_rep > n->largest.row.max_diff_this_rep) {
        n->largest = named();
    }
    if (e.negative_gaps > 0 || e.gaps_above_5s > 0) {
        keep(&n->clock_events, named());
    }
    if (e.without_row_ns > 0) {
        keep(&n->long_waits, named());
    }
    // The worst gaps: insert in order, largest first, dropping the smallest when full.
    if (n->worst_count < kept_worst ||
        row.max_diff_this_rep > n->worst[kept_worst - 1].row.max_diff_this_rep) {
        int at = std::min(n->worst_count, kept_worst - 1);
        while (at > 0 && n->worst[at - 1].row.max_diff_this_rep < row.max_diff_this_rep) {
            n->worst[at] = n->worst[at - 1];
            --at;
        }
        n->worst[at] = named();
        n->worst_count = std::min(n->worst_count + 1, kept_worst);
    }
}

// A row whose largest gap and bands all lie below every threshold changes no stall
// figure: most rows, which are spared the work.
void fold_stall(stall_fold* s, const report_row& row, const uint32_t* counts, cause_kind cause) {
    bool may_stall = row.max_diff_this_rep >= s->lowest_ns;
    for (int b = s->first_band; b < band_count && !may_stall; ++b) {
        may_stall = counts[b] > 0;
    }
    if (may_stall) {
        const int64_t bound_ns = row_gap_time_bound(row, counts);
        for (stall_figures& figures : s->figures) {
            fold_stalls(&figures, row, counts, bound_ns, cause);
        }
    }
}

// Each name of a stall row's culprits counts the row once.
void fold_culprits(culprit_fold* f, const row_events& events) {
    if (!events.stall || events.culprits.count == 0) {
        return;
    }
    bool placed = false;
    for (int i = 0; i < events.culprits.count; ++i) {
        const char* name = events.culprits.top[i].name;
        bool repeated = false;
        for (int j = 0; j < i; ++j) {
            repeated = repeated || strcmp(events.culprits.top[j].name, name) == 0;
        }
        int at = 0;
        while (at < f->count && strcmp(f->names[at].name, name) != 0) {
            ++at;
        }
        if (repeated || (at == f->count && f->count == kept_culprits)) {
            continue;
        }
        if (at == f->count) {
            snprintf(f->names[at].name, sizeof f->names[at].name, "%s", name);
            ++f->count;
        }
        ++f->names[at].rows;
        ++f->names[at].by_kind[static_cast<int>(events.cause)];
        ++f->names[at].by_seen[static_cast<int>(events.culprits.seen)];
        placed = true;
    }
    f->rows_left_out += placed ? 0 : 1;
}

}  // namespace

int culprits_by_rows(const culprit_fold* fold, int* order) {
    for (int i = 0; i < fold->count; ++i) {
        order[i] = i;
    }
    std::stable_sort(order, order + fold->count,
                     [fold](int a, int b) { return fold->names[a].rows > fold->names[b].rows; });
    return fold->count;
}

culprit_seen tally_seen(const culprit_tally& tally) {
    int most = static_cast<int>(culprit_seen::switches);
    for (int i = 0; i < 3; ++i) {
        most = tally.by_seen[i] > tally.by_seen[most] ? i : most;
    }
    return static_cast<culprit_seen>(most);
}

const char* seen_note(culprit_seen seen) {
    switch (seen) {
        case culprit_seen::switches:
            break;
        case culprit_seen::sampled:
            return " (last seen on its CPU)";
        case culprit_seen::busiest:
            return " (busiest meanwhile)";
    }
    return "";
}

const culprit_tally* top_culprit(const culprit_fold* fold, cause_kind kind) {
    const culprit_tally* top = nullptr;
    for (int i = 0; i < fold->count; ++i) {
        const uint64_t rows = fold->names[i].by_kind[static_cast<int>(kind)];
        if (rows > 0 && (top == nullptr || rows > top->by_kind[static_cast<int>(kind)])) {
            top = &fold->names[i];
        }
    }
    return top;
}

void fold_row(run_fold* f, const window_row& in, const row_events& events) {
    const report_row& row = *in.row;
    uint32_t counts[band_count];
    uint64_t readings = 0;
    for (int b = 0; b < band_count; ++b) {
        counts[b] = row.*band_columns[b];
        readings += counts[b];
    }
    place_in_run(&f->run_list, in);
    fold_latency(&f->latency, in);
    fold_run(&f->run_list, row, in.ms, readings);
    fold_named(&f->named, in, events, f->totals.rows == 0);
    fold_totals(&f->totals, in.ms, row, counts, readings);
    fold_stall(&f->stall, row, counts, events.cause);
    fold_culprits(&f->culprits, events);
    fold_table(&f->table, row, in.ms, counts);
}

void finish_fold(run_fold* f) {
    close_run(&f->run_list);
}

fold_reading read_fold(const run_fold* f, const stall_rule* rule) {
    fold_reading r{};
    r.p50_band = r.p99_band = r.p999_band = -1;
    r.rule = threshold_in_force(rule);
    r.stalls = stalls_at(f, r.rule.threshold_ns);

    if (f->totals.readings > 0) {
        const double total = static_cast<double>(f->totals.readings);
        int* const bands[] = {&r.p50_band, &r.p99_band, &r.p999_band};
        const double quantiles[] = {0.5, 0.99, 0.999};
        for (int q = 0; q < 3; ++q) {
            const double rank = quantiles[q] * total;
            uint64_t seen = 0;
            for (int b = 0; b < band_count; ++b) {
                seen += f->totals.bands[b];
                if (static_cast<double>(seen) >= rank && f->totals.bands[b] > 0) {
                    *bands[q] = b;
                    break;
                }
            }
        }
    }

    if (f->latency.rows > 0) {
        r.has_latency = true;
        const uint64_t rank = (f->latency.rows + 1) / 2;  // the lower median
        uint64_t seen = f->latency.negative;
        if (seen >= rank) {
            r.latency_median_low = std::numeric_limits<int64_t>::min();
            r.latency_median_high = -1;
        } else {
            for (int b = 0; b < latency_buckets; ++b) {
                seen += f->latency.buckets[b];
                if (seen >= rank) {
                    latency_bounds(b, &r.latency_median_low, &r.latency_median_high);
                    r.latency_median_high = std::min(r.latency_median_high, f->latency.largest);
                    break;
                }
            }
        }
    }

    // A table for a log longer than three hours: by hour, or by day beyond three days.
    const int64_t span = f->totals.rows > 1 ? f->totals.max_ms - f->totals.min_ms : 0;
    if (span > 3 * ms_per_hour) {
        r.table_ms = std::max(span > 3 * ms_per_day ? ms_per_day : ms_per_hour, f->table.period_ms);
    }
    return r;
}

const stall_figures* stalls_at(const run_fold* f, int64_t threshold_ns) {
    for (const stall_figures& figures : f->stall.figures) {
        if (figures.threshold_ns == threshold_ns) {
            return &figures;
        }
    }
    return &f->stall.figures[0];
}

int table_lines(const table_fold* t, int64_t table_ms, period_entry* lines, int capacity) {
    int count = 0;
    for (int i = 0; i < t->count; ++i) {
        const period_entry& e = t->periods[i];
        const int64_t start = floor_div(e.start_ms, table_ms) * table_ms;
        if (count == 0 || lines[count - 1].start_ms != start) {
            if (count == capacity) {
                break;
            }
            const period_entry copy = e;  // `lines` may be the fold's own table
            lines[count] = copy;
            lines[count].start_ms = start;
            ++count;
            continue;
        }
        period_entry& into = lines[count - 1];
        into.rows += e.rows;
        into.readings += e.readings;
        for (int b = 0; b < band_count; ++b) {
            into.bands[b] += e.bands[b];
        }
        into.worst_ns = std::max(into.worst_ns, e.worst_ns);
    }
    return count;
}
