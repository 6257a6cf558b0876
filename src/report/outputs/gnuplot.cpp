#include "report/outputs/gnuplot.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "report/os/plotting.h"
#include "report/os/whole_file.h"
#include "report/outputs/picture.h"

bool picture_name_ok(const char* path) {
    const std::string_view name = path;
    return name.ends_with(".png") || name.ends_with(".svg");
}

namespace {

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

// The cells, the worst-gap line and the marks, as gnuplot data blocks.
void write_data(FILE* gp, const picture_model& m) {
    const heat_grid* g = m.grid;
    // A cell a line: its middle and its colour; an empty cell is left out.
    fprintf(gp, "$cells << EOD\n");
    for (int i = 0; i < g->count; ++i) {
        for (int b = 0; b < band_count; ++b) {
            if (const uint64_t n = g->cells[i].bands[b]; n > 0) {
                fprintf(gp, "%d.5 %d.5 %" PRIu32 "\n", i, b, cell_colour(m, n));
            }
        }
    }
    fprintf(gp, "EOD\n$bar << EOD\n");
    for (int k = 0; k < 100; ++k) {
        fprintf(gp, "%d.5 %" PRIu32 "\n", k, scale_colour((k + 0.5) / 100));
    }
    // A blank line breaks the worst-gap line.
    fprintf(gp, "EOD\n$worst << EOD\n");
    bool open = false;
    for (int i = 0; i < g->count; ++i) {
        double y = 0;
        if (!worst_point(m, i, &y)) {
            fprintf(gp, "%s", open ? "\n" : "");
            open = false;
            continue;
        }
        fprintf(gp, "%d.5 %.6f\n", i, y);
        open = true;
    }
    fprintf(gp, "EOD\n$marks << EOD\n");
    for (int i = 0; i < g->count; ++i) {
        const heat_cell& c = g->cells[i];
        if (c.set_back.rows > 0 || c.above_5s.rows > 0) {
            fprintf(gp, "%d.5 %s %s\n", i, c.set_back.rows > 0 ? "1" : "NaN",
                    c.above_5s.rows > 0 ? "1" : "NaN");
        }
    }
    fprintf(gp, "EOD\n");
}

// `set xtics` (or another axis) with the model's ticks; without labels when `labels` is
// false.
void write_ticks(FILE* gp, const char* axis, const picture_tick* ticks, int count, bool labels) {
    fprintf(gp, "set %s (", axis);
    for (int k = 0; k < count; ++k) {
        fprintf(gp, "%s%s %.6f", k > 0 ? ", " : "", labels ? quoted(ticks[k].label).c_str() : "''",
                ticks[k].at);
    }
    fprintf(gp, ")\n");
}

// Top: the worst gap of each column, the stall threshold and the marks.
void write_worst_panel(FILE* gp, const picture_model& m) {
    fprintf(gp,
            "set tmargin at screen 0.92\nset bmargin at screen 0.66\n"
            "set yrange [%.6f:%.6f]\nset ylabel 'worst gap'\nset grid\n"
            "set key outside right top\nset y2range [0:1]\nunset y2tics\n",
            m.worst_low, m.worst_high);
    write_ticks(gp, "ytics", m.worst_ticks, m.worst_tick_count, true);
    write_ticks(gp, "xtics", m.time_ticks, m.time_tick_count, false);
    fprintf(gp,
            "plot $worst using 1:2 with lines lw 1.5 lc rgb '#c03030' title 'worst gap', "
            "%.6f with lines dt 2 lc rgb '#606060' title %s, "
            "$marks using 1:(%.2f*$2) axes x1y2 with points pt 11 ps 2 lc rgb '#000000' "
            "title 'clock set back', "
            "$marks using 1:(%.2f*$3) axes x1y2 with points pt 9 ps 2 lc rgb '#e08000' "
            "title 'gap above 5 s'\n",
            m.stall_at, quoted(m.stall_words).c_str(), set_back_mark_height, above_5s_mark_height);
}

// Bottom: the heat map, its legend line and its colour bar.
void write_heat_panel(FILE* gp, const picture_model& m) {
    fprintf(gp,
            "set tmargin at screen 0.62\nset bmargin at screen 0.12\n"
            "unset grid\nset ylabel 'band'\nset xlabel 'time (UTC)'\n"
            "set yrange [0:%d]\n",
            band_count);
    picture_tick bands[band_count];
    for (int b = 0; b < band_count; ++b) {
        bands[b].at = b + 0.5;
        snprintf(bands[b].label, sizeof bands[b].label, "%s", band_names[b]);
    }
    write_ticks(gp, "ytics", bands, band_count, true);
    write_ticks(gp, "xtics", m.time_ticks, m.time_tick_count, true);
    // Each box reaches a little past its cell, so that no seam shows between neighbours.
    fprintf(gp,
            "set label 1 %s at screen 0.08, screen 0.03\n"
            "plot $cells using 1:2:(0.52):(0.52):3 with boxxyerror fs solid 1.0 noborder "
            "lc rgb variable notitle\n",
            quoted(band_legend).c_str());
    // The colour bar: its own small panel, its title above it.
    fprintf(gp,
            "unset label 1\nset lmargin at screen 0.88\nset rmargin at screen 0.895\n"
            "set xrange [0:1]\nunset xtics\nunset ytics\nunset ylabel\nunset xlabel\n"
            "set yrange [0:100]\nset y2range [0:1]\nset title 'gaps in a cell'\n");
    write_ticks(gp, "y2tics", m.colour_ticks, m.colour_tick_count, true);
    fprintf(gp,
            "plot $bar using (0.5):1:(0.5):(0.52):2 with boxxyerror fs solid 1.0 noborder "
            "lc rgb variable notitle\nunset multiplot\n");
}

}  // namespace

plot_result plot_heat_map(const heat_grid* g, const char* path, int64_t stall_ns) {
    if (g->rows < 2) {
        return plot_result::too_few_rows;
    }
    if (!program_on_path("gnuplot")) {
        return plot_result::no_gnuplot;
    }
    FILE* gp = start_gnuplot();
    if (gp == nullptr) {
        return plot_result::failed;
    }
    // gnuplot draws into the part; the picture is replaced only once it is drawn.
    char part[4200];
    part_name(path, part, sizeof part);
    const auto m = std::make_unique<picture_model>();
    build_picture(m.get(), g, stall_ns);
    write_data(gp, *m);
    const bool svg = std::string_view(path).ends_with(".svg");
    fprintf(gp, "set encoding utf8\nset terminal %s size 1400,900 font ',11' noenhanced\n",
            svg ? "svg dynamic background '#ffffff'" : "pngcairo background '#ffffff'");
    fprintf(gp,
            "set output %s\nset multiplot title %s\n"
            "set lmargin at screen 0.08\nset rmargin at screen 0.86\nset xrange [0:%d]\n",
            quoted(part).c_str(), quoted(m->title).c_str(), g->count);
    write_worst_panel(gp, *m);
    write_heat_panel(gp, *m);
    const bool ended = finish_gnuplot(gp);
    char reason[160];
    if (!ended) {
        remove(part);
        return plot_result::failed;
    }
    return commit_part(part, path, reason, sizeof reason) ? plot_result::drawn
                                                          : plot_result::failed;
}
