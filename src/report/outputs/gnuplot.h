// --plot: the picture of a log drawn by gnuplot, as PNG or SVG, from the same drawing
// model as the page's (picture.h). gnuplot writes to a file beside the picture, which is
// moved over it once drawn: a failed plot leaves the old picture as it was.
#pragma once

#include <cstdint>

#include "report/fold/heat_grid.h"

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
