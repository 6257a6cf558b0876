#include "report/fold/heat_grid.h"

#include <algorithm>
#include <cstring>

#include "report/util/report_time.h"

namespace {

// The widths a column takes as the log grows; each is a multiple of the one before, so
// columns merge whole. Past a day, the width doubles.
constexpr int64_t widths_ms[] = {1'000,      2'000,      10'000,    20'000,    60'000,
                                 120'000,    600'000,    1'200'000, 3'600'000, 7'200'000,
                                 21'600'000, 43'200'000, 86'400'000};

int64_t next_width(int64_t width) {
    for (const int64_t w : widths_ms) {
        if (w > width) {
            return w;
        }
    }
    return width * 2;
}

// Columns merge in time order: the first row marked stays the first.
void merge_mark(heat_mark* into, const heat_mark& from) {
    if (into->rows == 0) {
        *into = from;
    } else {
        into->rows += from.rows;
    }
}

void merge_cell(heat_cell* into, const heat_cell& from) {
    for (int b = 0; b < band_count; ++b) {
        into->bands[b] += from.bands[b];
    }
    if (from.rows > 0) {
        into->worst_ns = into->rows > 0 ? std::max(into->worst_ns, from.worst_ns) : from.worst_ns;
    }
    into->rows += from.rows;
    merge_mark(&into->set_back, from.set_back);
    merge_mark(&into->above_5s, from.above_5s);
    for (int k = 0; k < cause_kinds; ++k) {
        into->stall_causes[k] += from.stall_causes[k];
    }
}

void coarsen(heat_grid* g) {
    const int64_t width = next_width(g->width_ms);
    const int64_t first = floor_div(g->first * g->width_ms, width);
    int count = 0;
    for (int i = 0; i < g->count; ++i) {
        const auto at = static_cast<int>(floor_div((g->first + i) * g->width_ms, width) - first);
        const heat_cell cell = g->cells[i];
        if (at >= count) {
            for (int k = count; k <= at; ++k) {
                g->cells[k] = heat_cell{};
            }
            count = at + 1;
        }
        merge_cell(&g->cells[at], cell);
    }
    g->width_ms = width;
    g->first = first;
    g->count = count;
}

}  // namespace

void start_heat(heat_grid* g) {
    memset(static_cast<void*>(g), 0, sizeof *g);
    g->width_ms = widths_ms[0];
}

void fold_heat(heat_grid* g, const window_row& in, const row_events& events) {
    const report_row& row = *in.row;
    for (;;) {
        const int64_t index = floor_div(in.ms, g->width_ms);
        if (g->count == 0) {
            g->first = index;
            g->count = 1;
            g->cells[0] = heat_cell{};
        } else if (index >= g->first + g->count) {
            if (index - g->first >= heat_columns) {
                coarsen(g);
                continue;
            }
            const auto count = static_cast<int>(index - g->first + 1);
            for (int k = g->count; k < count; ++k) {
                g->cells[k] = heat_cell{};
            }
            g->count = count;
        } else if (index < g->first) {
            if (g->first + g->count - index > heat_columns) {
                coarsen(g);
                continue;
            }
            const auto shift = static_cast<int>(g->first - index);
            std::move_backward(g->cells, g->cells + g->count, g->cells + g->count + shift);
            std::fill(g->cells, g->cells + shift, heat_cell{});
            g->first = index;
            g->count += shift;
        }
        // The row into its column, as merge_cell would merge a column of it alone.
        heat_cell& cell = g->cells[index - g->first];
        for (int b = 0; b < band_count; ++b) {
            cell.bands[b] += row.*band_columns[b];
        }
        cell.worst_ns =
            cell.rows > 0 ? std::max(cell.worst_ns, row.max_diff_this_rep) : row.max_diff_this_rep;
        ++cell.rows;
        // The marks: the row's clock events.
        if (events.negative_gaps > 0) {
            merge_mark(&cell.set_back, heat_mark{1, in.line, in.ms});
        }
        if (events.gaps_above_5s > 0) {
            merge_mark(&cell.above_5s, heat_mark{1, in.line, in.ms});
        }
        if (events.stall) {
            ++cell.stall_causes[static_cast<int>(events.cause)];
        }
        ++g->rows;
        return;
    }
}
