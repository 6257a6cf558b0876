// The picture of a log: a heat map of the gaps over time. Time runs across in columns (at
// most heat_columns; a column's span grows with the log, from one second up); the
// fourteen bands run up; a cell's colour is how many gaps of its column fell in its band
// (log scale), empty where none. Above it, the worst gap of each column, broken where no
// row came, with marks where the clock was set back or a gap passed 5 s. The grid's
// memory is fixed, however long the log. picture.h works the drawing out; gnuplot draws
// it for --plot (below), and html_page.h writes it as SVG.
#pragma once

#include <cstdint>

#include "monitor/report_format.h"
#include "report/input_stage.h"
#include "report/run_fold.h"

inline constexpr int heat_columns = 1000;

// Rows of a column with one kind of clock event, and the first of them.
struct heat_mark {
    uint32_t rows;
    long line;  // its line in the log
    int64_t ms;
};

struct heat_cell {
    uint64_t bands[band_count];
    int64_t worst_ns;    // the largest gap of its rows
    uint32_t rows;       // rows whose time falls in the column
    heat_mark set_back;  // of them, rows with a negative gap
    heat_mark above_5s;  // rows with a gap above 5 s
};

struct heat_grid {
    int64_t width_ms;  // the span of one column
    int64_t first;     // Unix ms / width_ms of column 0
    int count;         // columns from the first row's to the last row's
    uint64_t rows;
    heat_cell cells[heat_columns];
};

void start_heat(heat_grid* grid);

// Adds a row of the window, as the input stage hands it on.
void fold_heat(heat_grid* grid, const window_row& in);

enum class plot_result {
    drawn,
    no_gnuplot,    // gnuplot is not installed
    too_few_rows,  // fewer than two rows: nothing to draw over time
    failed,        // gnuplot ran but did not draw the file
};

// Whether `path` ends in .png or .svg, the formats drawn.
bool picture_name_ok(const char* path);

// Draws the grid into `path`. `stall_ns` is drawn as a line on the worst gaps.
plot_result plot_heat_map(const heat_grid* grid, const char* path, int64_t stall_ns);
