#include "report/events/row_events.h"

#include <algorithm>
#include <cinttypes>

#include "report/util/report_time.h"
#include "stats/gap_stats.h"

namespace {

// The lower edge of each band's gaps, ns, looked up once.
struct band_edges {
    int64_t low_ns[band_count];
};
const band_edges edges = [] {
    band_edges e{};
    for (int b = 0; b < band_count; ++b) {
        e.low_ns[b] = band_low_ns(b);
    }
    return e;
}();

}  // namespace

bool holds_stall(const report_row& row, int64_t threshold_ns) {
    if (row.max_diff_this_rep >= threshold_ns) {
        return true;
    }
    // Down from the top band, while a band's every gap reaches the threshold.
    for (int b = band_count - 1; b >= 1 && edges.low_ns[b] >= threshold_ns; --b) {
        if (row.*band_columns[b] > 0) {
            return true;
        }
    }
    return false;
}

row_events find_row_events(const report_row& row, int64_t stall_ns) {
    row_events e{};
    e.negative_gaps = row.neg;
    if (row.neg > 0) {
        // The most negative gap is the row's smallest; its size is the step back.
        e.step_back_ns = row.min_diff_this_rep == INT64_MIN ? INT64_MAX : -row.min_diff_this_rep;
    }
    e.gaps_above_5s = row.out_to_lunch;
    e.largest_gap_ns = row.max_diff_this_rep;
    e.stall_ns = stall_ns;
    e.stall = holds_stall(row, stall_ns);
    e.without_row_ns = row.diff_report > long_wait_ns ? row.diff_report : 0;
    e.slow_write_ns = row.printf_latency > slow_write_ns ? row.printf_latency : 0;
    return e;
}

bool any_event(const row_events& e) {
    return e.negative_gaps > 0 || e.gaps_above_5s > 0 || e.stall || e.without_row_ns > 0 ||
           e.slow_write_ns > 0;
}

int64_t default_threshold_ns(int32_t pause_ms) {
    return default_stall_ns + (pause_ms > 0 ? int64_t{pause_ms} * 1'000'000 : 0);
}

void start_stall_rule(stall_rule* rule, int64_t asked_ns) {
    *rule = stall_rule{};
    rule->asked_by_user = asked_ns > 0;
    rule->asked_ns = asked_ns > 0 ? asked_ns : default_threshold_ns(0);
}

void learn_pause(stall_rule* rule, int32_t pause_ms) {
    rule->pause_ms = pause_ms;
    if (!rule->asked_by_user) {
        rule->asked_ns = default_threshold_ns(pause_ms);
    }
}

void learn_clock(stall_rule* t, const report_row& row) {
    ++t->rows;
    if (row.min_diff_this_rep != 0) {
        return;
    }
    ++t->zero_gap_rows;
    const int64_t value = row.max_diff_this_rep;
    int free_slot = -1;
    for (int i = 0; i < tick_candidates; ++i) {
        if (t->count[i] > 0 && t->value[i] == value) {
            ++t->count[i];
            return;
        }
        if (t->count[i] == 0 && free_slot < 0) {
            free_slot = i;
        }
    }
    if (free_slot >= 0) {
        t->value[free_slot] = value;
        t->count[free_slot] = 1;
        return;
    }
    for (uint64_t& count : t->count) {
        --count;
    }
}

stall_threshold threshold_in_force(const stall_rule* t) {
    stall_threshold s{t->asked_ns, t->rows > 0 && t->zero_gap_rows * 2 > t->rows, 0};
    if (!s.coarse) {
        return s;
    }
    uint64_t best = 0;
    for (int i = 0; i < tick_candidates; ++i) {
        if (t->count[i] > best && t->value[i] > 0) {
            best = t->count[i];
            s.tick_ns = t->value[i];
        }
    }
    // Gaps of one tick are the clock's steps, not hold-ups: count from the band above the
    // tick's.
    if (s.tick_ns > 0) {
        const int above = std::min(band_of(s.tick_ns) + 1, band_count - 1);
        s.threshold_ns = std::max(s.threshold_ns, band_low_ns(above));
    }
    return s;
}

void write_clock_words(text_out* out, const row_events& e) {
    char a[48];
    if (e.negative_gaps > 0) {
        outf(out, "clock set back by %s (%" PRIu32 " negative gap%s)",
             format_duration(e.step_back_ns, a, sizeof a), e.negative_gaps,
             e.negative_gaps == 1 ? "" : "s");
    }
    if (e.gaps_above_5s > 0) {
        outf(out, "%sclock set forward or process held up: a gap of %s (%" PRIu32 " above 5 s)",
             e.negative_gaps > 0 ? "; " : "", format_duration(e.largest_gap_ns, a, sizeof a),
             e.gaps_above_5s);
    }
}
