// The one reading of a row's events, made once by the pipeline and handed to every
// output: the clock set back, a gap above 5 s, a stall, a stretch without rows, the
// monitor slow to write. No output looks at the bands again to find them.
//
// A stall is a row that holds a gap at or above the stall threshold: its largest gap
// reaches it (or, in a row that is not the monitor's own, a band all of whose gaps reach
// it holds one). A row with a gap above 5 s is a stall too, and also a gap above 5 s.
#pragma once

#include <algorithm>
#include <cstdint>

#include "monitor/report_format.h"
#include "report/causes/cause_rules.h"
#include "report/util/text_out.h"

// A row more than this after the one before it ends a stretch without rows (ns).
inline constexpr int64_t long_wait_ns = 1'500'000'000;
// A row whose printf_latency is above this says the row before was slow to write (ns).
inline constexpr int64_t slow_write_ns = 100'000'000;

struct row_events {
    uint32_t negative_gaps = 0;  // the clock was set back: 0, or how many readings went back
    int64_t step_back_ns = 0;    // the largest step back
    uint32_t gaps_above_5s = 0;  // the clock set forward, or the process held up
    bool stall = false;          // a gap reached the threshold
    int64_t largest_gap_ns = 0;
    int64_t stall_ns = 0;        // the threshold in force
    int64_t without_row_ns = 0;  // diff_report when it is a stretch without rows, else 0
    int64_t slow_write_ns = 0;   // the row before took this long to write; 0 if not slow
    cause_kind cause = cause_kind::unknown;  // why its largest gap (or its step back) came
    culprit_list culprits{};                 // who took the CPU, for the kinds that say it
};

// Whether the row's only event of the clock is a step back: nothing was held up.
inline bool step_back_only(const row_events& e) {
    return e.negative_gaps > 0 && !e.stall && e.gaps_above_5s == 0;
}
// What the cause rules take as the row's step back: its size when the row's only clock
// event is a step back (nothing was held up), else 0.
inline int64_t step_back_only_ns(const row_events& e) {
    return step_back_only(e) ? std::max<int64_t>(e.step_back_ns, 1) : 0;
}

// Whether `row` holds a gap at or above `threshold_ns`: the one rule of a stall, for the
// events and for the fold's stall figures alike.
bool holds_stall(const report_row& row, int64_t threshold_ns);

row_events find_row_events(const report_row& row, int64_t stall_ns);
bool any_event(const row_events& events);

// The stall threshold in force. On a clock that advances in ticks (most rows have a
// smallest gap of 0, as Windows' does), a gap of one tick is the clock's step, not a
// hold-up: the threshold then rises to the lower edge of the band above the tick's. The
// tick is the most common largest gap among the rows with a smallest gap of 0 (a
// Misra-Gries summary: a value more than 1/16 of them survives).
inline constexpr int tick_candidates = 16;
struct stall_rule {
    int64_t asked_ns;    // --stall, or its default
    bool asked_by_user;  // --stall (or --alert) was given
    int32_t pause_ms;    // the monitor's sleep period, from its log; 0 if it gave none
    uint64_t rows, zero_gap_rows;
    int64_t value[tick_candidates];
    uint64_t count[tick_candidates];
};

struct stall_threshold {
    int64_t threshold_ns;
    bool coarse;      // the clock advances in ticks
    int64_t tick_ns;  // the tick, when coarse (0 if none is known)
};

// The threshold a stall takes when none is asked for: 10 ms, or 10 ms more than the
// monitor's pause when its log gives one ("Sleep period adjusted to N ms"), so that a
// log of clockgap 10 does not call every gap a stall.
inline constexpr int64_t default_stall_ns = 10'000'000;
int64_t default_threshold_ns(int32_t pause_ms);

// `asked_ns` is the user's --stall, or 0 for the default.
void start_stall_rule(stall_rule* rule, int64_t asked_ns);
// The monitor's pause, read from its log before its first row; it moves the default
// threshold, never the user's.
void learn_pause(stall_rule* rule, int32_t pause_ms);
// Takes in what `row` says of the clock's tick; done before the row is classified.
void learn_clock(stall_rule* rule, const report_row& row);
stall_threshold threshold_in_force(const stall_rule* rule);

// The clock's events of a row in words, as the watch and the summary both give them:
// "clock set back by 2.000 s (1 negative gap)", "clock set forward or process held up:
// a gap of 6.500 s (1 above 5 s)", or both, joined by "; ". Writes nothing if neither.
void write_clock_words(text_out* out, const row_events& e);
