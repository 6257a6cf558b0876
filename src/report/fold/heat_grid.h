// The grid the picture of a log is drawn from: time runs across in columns (at most
// heat_columns; a column's span grows with the log, from one second up, and columns merge
// whole); for each column, its gaps by band, its worst gap, its rows, and the first row of
// each kind of mark (the clock set back, a gap above 5 s). The grid's memory is fixed,
// however long the log. outputs/picture.h works the drawing out from it.
#pragma once

#include <cstdint>

#include "monitor/report_format.h"
#include "report/events/row_events.h"
#include "report/input/input_stage.h"

inline constexpr int heat_columns = 1000;

// Rows of a column with one kind of clock event, and the first of them.
struct heat_mark {
    uint32_t rows;
    long line;  // its line in the log
    int64_t ms;
};

struct heat_cell {
    uint64_t bands[band_count];
    int64_t worst_ns;                    // the largest gap of its rows
    uint32_t rows;                       // rows whose time falls in the column
    heat_mark set_back;                  // of them, rows with a negative gap
    heat_mark above_5s;                  // rows with a gap above 5 s
    uint32_t stall_causes[cause_kinds];  // stall rows, by the cause of their largest gap
};

struct heat_grid {
    int64_t width_ms;  // the span of one column
    int64_t first;     // Unix ms / width_ms of column 0
    int count;         // columns from the first row's to the last row's
    uint64_t rows;
    heat_cell cells[heat_columns];
};

void start_heat(heat_grid* grid);

// Adds a row of the window, as the input stage hands it on, with its events.
void fold_heat(heat_grid* grid, const window_row& in, const row_events& events);
