#include "report/plot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool on_path(const char* program) {
    const char* path = getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const size_t colon = dirs.find(':');
        const std::string candidate = std::string(dirs.substr(0, colon)) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
    }
    return false;
}

// Seconds since 1970 of a row's reading, for gnuplot's time axis.
double epoch_seconds(const SYSTEMTIME& t) {
    namespace c = std::chrono;
    const c::sys_days date{c::year{t.wYear} / c::month{t.wMonth} / c::day{t.wDay}};
    return static_cast<double>(date.time_since_epoch().count()) * 86'400.0 + t.wHour * 3'600.0 +
           t.wMinute * 60.0 + t.wSecond + t.wMilliseconds / 1000.0;
}

// A gap in ms for a logarithmic axis; gaps of 0 or below have no place on it.
void gap_ms(FILE* out, int64_t ns) {
    if (ns > 0) {
        fprintf(out, " %.6g", static_cast<double>(ns) / 1e6);
    } else {
        fprintf(out, " NaN");
    }
}

// Single quotes end a gnuplot string; the file name is given without them.
std::string quoted(const char* text) {
    std::string out = "'";
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\'') {
            out += "''";
        } else {
            out += *p;
        }
    }
    return out + "'";
}

}  // namespace

plot_result plot_run(const std::vector<logged_row>& rows, const char* path) {
    const std::string_view name = path;
    const bool svg = name.ends_with(".svg");
    if (!svg && !name.ends_with(".png")) {
        return plot_result::bad_name;
    }
    if (!on_path("gnuplot")) {
        return plot_result::no_gnuplot;
    }
    remove(path);
    // gnuplot may end early; its pipe must not end this program.
    signal(SIGPIPE, SIG_IGN);
    FILE* gp = popen("gnuplot", "w");
    if (gp == nullptr) {
        return plot_result::failed;
    }

    // One data line a row: time, largest and mean gap (ms), the largest gap again where
    // the row had a negative gap and where it had one above 5 s, then the 14 counts.
    fprintf(gp, "$rows << EOD\n");
    for (const logged_row& r : rows) {
        fprintf(gp, "%.3f", epoch_seconds(r.row.timestamp));
        gap_ms(gp, r.row.max_diff_this_rep);
        gap_ms(gp, r.row.diff_avg);
        // A gap above 5 s is marked on the largest gap; a negative gap on the mean, so that
        // both show on a row that has both (at 1 us when the row has no mean).
        const int64_t on_mean = r.row.diff_avg > 0 ? r.row.diff_avg : 1'000;
        gap_ms(gp, r.row.neg > 0 ? on_mean : 0);
        gap_ms(gp, r.row.out_to_lunch > 0 ? r.row.max_diff_this_rep : 0);
        uint32_t counts[band_count];
        row_counts(r.row, counts);
        for (const uint32_t c : counts) {
            if (c > 0) {
                fprintf(gp, " %u", c);
            } else {
                fprintf(gp, " NaN");
            }
        }
        fprintf(gp, "\n");
    }
    fprintf(gp, "EOD\n");

    fprintf(gp, "set terminal %s size 1200,900 font ',10' noenhanced\n",
            svg ? "svg dynamic" : "pngcairo");
    // Times of day, with the date when the log spans more than a day.
    const bool days = !rows.empty() && epoch_seconds(rows.back().row.timestamp) -
                                               epoch_seconds(rows.front().row.timestamp) >
                                           86'400.0;
    fprintf(gp, "set output %s\n", quoted(path).c_str());
    fprintf(gp,
            "set multiplot layout 2,1 title 'clockgap: %zu rows (times UTC)'\n"
            "set xdata time\nset timefmt '%%s'\nset format x '%s'\n"
            "set grid\nset key outside right top\nset logscale y\nset format y '%%g'\n"
            "set ylabel 'gap (ms)'\n"
            "set title 'Largest and mean gap of each row'\n"
            "plot $rows using 1:2 with lines lw 2 lc rgb '#c03030' title 'largest gap', "
            "$rows using 1:3 with lines lw 1 lc rgb '#3060c0' title 'mean gap', "
            "$rows using 1:4 with points pt 9 ps 2 lc rgb '#000000' "
            "title 'negative gap (clock set back)', "
            "$rows using 1:5 with points pt 7 ps 2 lc rgb '#e08000' title 'gap above 5 s'\n"
            "set ylabel 'gaps in the row'\nset yrange [0.5:*]\n"
            "set title 'Band counts of each row'\n",
            rows.size(), days ? "%m-%d %H:%M" : "%H:%M:%S");
    fprintf(gp, "plot");
    for (int b = 0; b < band_count; ++b) {
        fprintf(gp, "%s $rows using 1:%d with linespoints pt 7 ps 0.5 title '%s'", b > 0 ? "," : "",
                6 + b, band_names[b]);
    }
    fprintf(gp, "\nunset multiplot\n");
    const int status = pclose(gp);
    struct stat drawn {};
    if (status != 0 || stat(path, &drawn) != 0 || drawn.st_size == 0) {
        return plot_result::failed;
    }
    return plot_result::drawn;
}
