#include "report/heat_map.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "report/report_os.h"
#include "report/report_time.h"
#include "report/row_events.h"

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

void merge_cell(heat_cell* into, const heat_cell& from) {
    for (int b = 0; b < band_count; ++b) {
        into->bands[b] += from.bands[b];
    }
    if (from.rows > 0) {
        into->worst_ns = into->rows > 0 ? std::max(into->worst_ns, from.worst_ns) : from.worst_ns;
    }
    into->rows += from.rows;
    into->set_back += from.set_back;
    into->above_5s += from.above_5s;
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

// Single quotes end a gnuplot string; a quote in a name is doubled.
std::string quoted(const char* text) {
    std::string out = "'";
    for (const char* p = text; *p != '\0'; ++p) {
        out += *p;
        if (*p == '\'') {
            out += '\'';
        }
    }
    return out + "'";
}

// A column's middle, in Unix seconds for gnuplot's time axis.
double column_seconds(const heat_grid* g, int i) {
    return (static_cast<double>(g->first + i) + 0.5) * static_cast<double>(g->width_ms) / 1000.0;
}

// A span of time in words, for the title.
void span_words(int64_t ms, char* text, size_t size) {
    if (ms < 60'000) {
        snprintf(text, size, "%" PRId64 " s", ms / 1000);
    } else if (ms < ms_per_hour) {
        snprintf(text, size, "%" PRId64 " min", ms / 60'000);
    } else if (ms < ms_per_day) {
        snprintf(text, size, "%" PRId64 " h", ms / ms_per_hour);
    } else {
        snprintf(text, size, "%" PRId64 " days", ms / ms_per_day);
    }
}

}  // namespace

void start_heat(heat_grid* g) {
    memset(static_cast<void*>(g), 0, sizeof *g);
    g->width_ms = widths_ms[0];
}

void fold_heat(heat_grid* g, const report_row& row, int64_t ms) {
    for (;;) {
        const int64_t index = floor_div(ms, g->width_ms);
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
        heat_cell& cell = g->cells[index - g->first];
        heat_cell one{};
        for (int b = 0; b < band_count; ++b) {
            one.bands[b] = row.*band_columns[b];
        }
        one.rows = 1;
        one.worst_ns = row.max_diff_this_rep;
        // The marks: the row's clock events, as every output finds them.
        const row_events events = find_row_events(row, INT64_MAX);
        one.set_back = events.negative_gaps > 0 ? 1 : 0;
        one.above_5s = events.gaps_above_5s > 0 ? 1 : 0;
        merge_cell(&cell, one);
        ++g->rows;
        return;
    }
}

bool picture_name_ok(const char* path) {
    const std::string_view name = path;
    return name.ends_with(".png") || name.ends_with(".svg");
}

namespace {

// The counts, the worst-gap line and the marks, as gnuplot data blocks.
void write_data(FILE* gp, const heat_grid* g) {
    // The counts as a matrix: one line a band, one value a column; NaN leaves a cell empty.
    fprintf(gp, "$heat << EOD\n");
    for (int b = 0; b < band_count; ++b) {
        for (int i = 0; i < g->count; ++i) {
            const uint64_t n = g->cells[i].bands[b];
            if (n > 0) {
                fprintf(gp, "%s%" PRIu64, i > 0 ? " " : "", n);
            } else {
                fprintf(gp, "%sNaN", i > 0 ? " " : "");
            }
        }
        fprintf(gp, "\n");
    }
    fprintf(gp, "EOD\n");
    // The worst gap of each column in ms; a blank line breaks the line where no row came,
    // and where the worst gap has no place on a log scale (0 or below).
    fprintf(gp, "$worst << EOD\n");
    bool open = false;
    for (int i = 0; i < g->count; ++i) {
        const heat_cell& c = g->cells[i];
        if (c.rows == 0 || c.worst_ns <= 0) {
            if (open) {
                fprintf(gp, "\n");
            }
            open = false;
            continue;
        }
        fprintf(gp, "%.3f %.6g\n", column_seconds(g, i), static_cast<double>(c.worst_ns) / 1e6);
        open = true;
    }
    fprintf(gp, "EOD\n");
    // Columns with a clock set back or a gap above 5 s, marked at the top of the panel.
    fprintf(gp, "$marks << EOD\n");
    for (int i = 0; i < g->count; ++i) {
        const heat_cell& c = g->cells[i];
        if (c.set_back > 0 || c.above_5s > 0) {
            fprintf(gp, "%.3f %s %s\n", column_seconds(g, i), c.set_back > 0 ? "1" : "NaN",
                    c.above_5s > 0 ? "1" : "NaN");
        }
    }
    fprintf(gp, "EOD\n");
}

// The title, the time axis and the margins both panels share.
void write_layout(FILE* gp, const heat_grid* g, const char* path, const char* time_format) {
    const int64_t first_ms = g->first * g->width_ms;
    const int64_t span_ms = g->count * g->width_ms;
    char from[40], to[40], span[32], width[32];
    format_utc(first_ms, false, from, sizeof from);
    format_utc(first_ms + span_ms, false, to, sizeof to);
    span_words(span_ms, span, sizeof span);
    span_words(g->width_ms, width, sizeof width);
    const bool svg = std::string_view(path).ends_with(".svg");
    fprintf(gp, "set terminal %s size 1400,900 font ',11' noenhanced\n",
            svg ? "svg dynamic background '#ffffff'" : "pngcairo background '#ffffff'");
    fprintf(gp, "set output %s\n", quoted(path).c_str());
    fprintf(gp,
            "set multiplot title 'clockgap: %" PRIu64
            " rows, %.19s to %.19s UTC (%s; one column = %s)'\n",
            g->rows, from, to, span, width);
    fprintf(gp,
            "set xdata time\nset timefmt '%%s'\nset format x \"%s\"\n"
            "set xrange [%.3f:%.3f]\n"
            "set lmargin at screen 0.08\nset rmargin at screen 0.86\n",
            time_format, static_cast<double>(first_ms) / 1000.0,
            static_cast<double>(first_ms + span_ms) / 1000.0);
}

// Top: the worst gap of each column, the stall threshold and the marks.
void write_worst_panel(FILE* gp, int64_t stall_ns) {
    fprintf(gp,
            "set tmargin at screen 0.92\nset bmargin at screen 0.66\n"
            "set logscale y\nset ylabel 'worst gap'\n"
            "set ytics ('1 us' 0.001, '10 us' 0.01, '100 us' 0.1, '1 ms' 1, '10 ms' 10, "
            "'100 ms' 100, '1 s' 1e3, '10 s' 1e4, '100 s' 1e5, '1000 s' 1e6, '3 h' 1.08e7, "
            "'1 day' 8.64e7, '10 days' 8.64e8, '100 days' 8.64e9, '3 years' 9.47e10)\n"
            "set grid\nset format x ''\nset key outside right top\n"
            "set yrange [*:*]\nset offsets 0,0,graph 0.15,0\n"
            "set y2range [0:1]\nunset y2tics\n");
    fprintf(gp,
            "plot $worst using 1:2 with lines lw 1.5 lc rgb '#c03030' title 'worst gap', "
            "%.6g with lines dt 2 lc rgb '#606060' title 'stall (%.6g ms)', "
            "$marks using 1:(0.95*$2) axes x1y2 with points pt 11 ps 2 lc rgb '#000000' "
            "title 'clock set back', "
            "$marks using 1:(0.88*$3) axes x1y2 with points pt 9 ps 2 lc rgb '#e08000' "
            "title 'gap above 5 s'\n",
            static_cast<double>(stall_ns) / 1e6, static_cast<double>(stall_ns) / 1e6);
}

// Bottom: the heat map.
void write_heat_panel(FILE* gp, const heat_grid* g, const char* time_format) {
    fprintf(gp,
            "set tmargin at screen 0.62\nset bmargin at screen 0.09\n"
            "unset logscale y\nunset grid\nset offsets 0,0,0,0\nset ylabel 'band'\n"
            "set ytics auto\nset yrange [-0.5:13.5]\nset format x \"%s\"\nset xlabel 'time (UTC)'\n"
            "set ytics (",
            time_format);
    for (int b = 0; b < band_count; ++b) {
        fprintf(gp, "%s'%s' %d", b > 0 ? ", " : "", band_names[b], b);
    }
    fprintf(gp,
            ")\nset logscale cb\nset cblabel 'gaps in the cell'\nset format cb '%%.0e'\n"
            "set palette defined (0 '#fde725', 1 '#5ec962', 2 '#21918c', 3 '#3b528b', "
            "4 '#440154')\n"
            "set colorbox user origin screen 0.88, screen 0.09 size screen 0.015, screen 0.53\n"
            "plot $heat matrix using ((%" PRId64 ".0 + $1 + 0.5) * %" PRId64
            ".0 / 1000.0):2:3 with image notitle\n"
            "unset multiplot\n",
            g->first, g->width_ms);
}

}  // namespace

plot_result plot_heat_map(const heat_grid* g, const char* path, int64_t stall_ns) {
    if (g->rows < 2) {
        return plot_result::too_few_rows;
    }
    if (!program_on_path("gnuplot")) {
        return plot_result::no_gnuplot;
    }
    remove(path);
    FILE* gp = start_gnuplot();
    if (gp == nullptr) {
        return plot_result::failed;
    }
    const int64_t span_ms = g->count * g->width_ms;
    const char* const time_format = span_ms <= 10 * 60'000      ? "%H:%M:%S"
                                    : span_ms <= 2 * ms_per_day ? "%H:%M"
                                                                : "%m-%d\\n%H:%M";
    write_data(gp, g);
    write_layout(gp, g, path, time_format);
    write_worst_panel(gp, stall_ns);
    write_heat_panel(gp, g, time_format);
    const bool ended = finish_gnuplot(gp);
    if (!ended || !file_has_content(path)) {
        return plot_result::failed;
    }
    return plot_result::drawn;
}
