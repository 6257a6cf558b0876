// A picture of a run, drawn by gnuplot: the largest and mean gap of each row over time
// on a logarithmic axis, rows with negative gaps or gaps above 5 s marked, and the band
// counts over time. The file's ending picks the format: .png or .svg.
#pragma once

#include <vector>

#include "report/run_summary.h"

enum class plot_result {
    drawn,
    no_gnuplot,  // gnuplot is not installed
    bad_name,    // the file ends in neither .png nor .svg
    failed,      // gnuplot ran but did not draw the file
};

plot_result plot_run(const std::vector<logged_row>& rows, const char* path);
