// The drawing of a log, worked out once from its heat grid and then written by two
// writers: gnuplot input for --plot (heat_map.cpp) and SVG for --html (html_page.cpp),
// so both pictures show the same columns, colours, line, marks and ticks.
//
// Units: x counts columns (column i spans i to i+1); the heat map's y counts bands (band
// b spans b to b+1, band 0 at the bottom); the worst-gap panel's y is the base-10
// logarithm of milliseconds; the colour bar's y runs from 0 (a count of 1) to 1 (the
// top of the colour scale). Every figure is computed with + - * / alone, so the Linux
// and the Windows programs draw the same picture to the last digit.
#pragma once

#include <cstdint>

#include "report/fold/heat_grid.h"
#include "report/fold/run_fold.h"
#include "report/input/log_facts.h"

struct picture_tick {
    double at;
    char label[24];
};

inline constexpr int most_ticks = 20;

// The marks above the worst-gap line sit at these heights of the panel (0 to 1).
inline constexpr double set_back_mark_height = 0.95;
inline constexpr double above_5s_mark_height = 0.87;

// The five colours of the scale, from a count of 1 (light) to the top (dark).
inline constexpr uint32_t colour_stops[] = {0xfde725, 0x5ec962, 0x21918c, 0x3b528b, 0x440154};

struct picture_model {
    const heat_grid* grid;
    const culprit_fold* culprits;  // who took the CPU, for the page's legend; nullptr: none
    const log_facts* facts;        // where the rows' lines are, for the page's tooltips
    int64_t first_ms, span_ms;     // the time of column 0's start, and of all the columns
    char title[200];
    char column_words[32];  // the span of one column in words: "10 s"
    picture_tick time_ticks[most_ticks];
    int time_tick_count;
    double worst_low, worst_high;  // the worst-gap panel's y range
    picture_tick worst_ticks[most_ticks];
    int worst_tick_count;
    double stall_at;  // the stall threshold's y
    char stall_words[48];
    uint64_t colour_top;  // counts from 1 to this (a power of ten) span the colours
    picture_tick colour_ticks[most_ticks];
    int colour_tick_count;
};

// The legend line both pictures carry under the heat map.
inline constexpr const char band_legend[] =
    "A band's label is its upper limit: 200ms counts the gaps of 101 to 200 ms (whole ms); "
    "neg counts negative gaps (the clock set back), out_to_lunch those above 5000 ms.";

// Works the drawing out; the grid must hold at least two rows and outlive the model.
void build_picture(picture_model* m, const heat_grid* grid, int64_t stall_ns);

// The colour (0xRRGGBB) of a cell that holds `count` gaps (at least 1), and the colour
// at `fraction` (0 to 1) of the scale, as the colour bar shows it.
uint32_t cell_colour(const picture_model& m, uint64_t count);
uint32_t scale_colour(double fraction);

// The worst-gap line's point in column `i`; false where the line breaks: no row came
// then, or the worst gap has no place on a log scale (0 or below).
bool worst_point(const picture_model& m, int i, double* y);

// The base-10 logarithm of x > 0, the same on every platform.
double log10_exact_ops(double x);

// A span of time in whole units, cut down: "10 s", "5 min", "2 h", "1 day", "3 days".
void span_words(int64_t ms, char* text, size_t size);

// A band as a range of whole milliseconds: "101 to 200 ms", "negative", "above 5000 ms".
void band_range_words(int band, char* text, size_t size);

// The time span of column `i`, for a tooltip: "13:14:00 to 13:14:10 UTC" (with dates
// when the picture spans more than a day).
void column_span_words(const picture_model& m, int i, char* text, size_t size);
