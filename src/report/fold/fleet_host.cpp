#include "report/fold/fleet_host.h"

#include <algorithm>

#include "report/fold/run_fold.h"
#include "report/util/complain.h"
#include "report/util/report_time.h"

namespace {

void add_event(fleet_host* host, fleet_kind kind, int64_t second, int64_t gap_ns,
               cause_kind cause) {
    host->events[static_cast<int>(kind)].push_back(event_second{second, gap_ns, cause});
}

}  // namespace

const char* fleet_kind_name(fleet_kind kind) {
    constexpr const char* names[fleet_kinds] = {"stall", "clock_set_back", "gap_above_5s",
                                                "no_rows"};
    return names[static_cast<int>(kind)];
}

const char* chief_cause(const fleet_host& h) {
    int chief = -1;
    for (int k = 0; k < cause_kinds; ++k) {
        if (h.causes[k] > 0 && (chief < 0 || h.causes[k] > h.causes[chief])) {
            chief = k;
        }
    }
    return chief < 0 ? nullptr : cause_name(static_cast<cause_kind>(chief));
}

void fold_fleet_host(fleet_host* host, const classified_row& row) {
    const window_row& in = row.in;
    const row_events& events = row.events;
    const int64_t second = floor_div(in.ms, 1000);
    host->first_ms = host->rows == 0 ? in.ms : std::min(host->first_ms, in.ms);
    host->last_ms = host->rows == 0 ? in.ms : std::max(host->last_ms, in.ms);
    ++host->rows;
    if (events.stall) {
        add_event(host, fleet_kind::stall, second, events.largest_gap_ns, events.cause);
    }
    if (events.negative_gaps > 0) {
        ++host->steps_back;
        add_event(host, fleet_kind::clock_set_back, second, events.step_back_ns, events.cause);
    }
    if (events.gaps_above_5s > 0) {
        ++host->gaps_above_5s;
        add_event(host, fleet_kind::gap_above_5s, second, events.largest_gap_ns, events.cause);
    }
    if (events.without_row_ns > 0) {
        ++host->silences;
        add_event(host, fleet_kind::no_rows, second, events.without_row_ns, events.cause);
    }
}

int finish_fleet_host(fleet_host* host, const report_figures& figures) {
    const run_fold& f = *figures.fold;
    const fold_reading reading = read_fold(figures.fold, figures.rule);
    host->rows = f.totals.rows;
    host->runs = f.run_list.runs_with_rows;
    host->stall_rows = reading.stalls->rows;
    std::copy(reading.stalls->causes, reading.stalls->causes + cause_kinds, host->causes);
    int order[kept_culprits];
    host->culprit_count = std::min(culprits_by_rows(&f.culprits, order), 3);
    for (int i = 0; i < host->culprit_count; ++i) {
        host->culprits[i] = f.culprits.names[order[i]];
    }
    host->largest_gap_ns = f.totals.rows > 0 ? f.named.largest.row.max_diff_this_rep : 0;
    host->largest_gap_ms = f.totals.rows > 0 ? unix_ms(f.named.largest.row.timestamp) : 0;
    const heat_grid& grid = *figures.grid;
    host->column_ms = grid.width_ms;
    host->first_column = grid.first;
    host->worst_ns.clear();
    for (int i = 0; i < grid.count; ++i) {
        host->worst_ns.push_back(grid.cells[i].rows > 0 ? grid.cells[i].worst_ns : -1);
    }
    const log_facts& facts = *figures.facts;
    host->ended = facts.ended;
    if (f.totals.rows == 0 && facts.input->rows_outside == 0 &&
        (facts.skipped_lines > 0 || facts.fragment_first)) {
        complain("%s holds no row of clockgap's: not a clockgap log", facts.name);
        return 1;
    }
    return 0;
}
