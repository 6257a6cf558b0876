#include "report/outputs/html_page.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "report/os/whole_file.h"
#include "report/outputs/picture.h"
#include "report/outputs/summary.h"
#include "report/util/report_time.h"

namespace {

// The page's style: a light theme, a dark one when the reader's system asks for it, and
// a print in landscape with the figures and the picture on the first page, the summary's
// text after it.
const char page_style[] = R"(<style>
:root { color-scheme: light dark; --fg: #1b1b1b; --bg: #ffffff; --muted: #5f5f5f;
  --grid: #dcdcdc; --line: #c03030; --mark: #000000; --above: #e08000; }
@media (prefers-color-scheme: dark) {
  :root { --fg: #e4e4e4; --bg: #15171b; --muted: #a8a8a8; --grid: #3b3f46;
    --line: #ff6b6b; --mark: #ffffff; --above: #ffa033; } }
body { margin: 1.2em auto; max-width: 1400px; padding: 0 1em; background: var(--bg);
  color: var(--fg); font: 15px/1.4 system-ui, sans-serif; }
h1 { font-size: 1.25em; margin: 0 0 .5em; overflow-wrap: anywhere; }
h2 { font-size: 1.1em; margin: 1.2em 0 .4em; }
dl { display: grid; grid-template-columns: max-content minmax(0, 1fr); gap: .15em 1.2em;
  margin: 0; }
dt { color: var(--muted); }
dd { margin: 0; overflow-wrap: anywhere; min-width: 0; }
svg { display: block; width: 100%; height: auto; margin: 1em 0; }
svg text { fill: var(--fg); font: 13px system-ui, sans-serif; }
svg .title { font-size: 15px; }
.frame { fill: none; stroke: var(--fg); }
.grid { stroke: var(--grid); }
.tick { stroke: var(--fg); }
.worst { fill: none; stroke: var(--line); stroke-width: 1.5; }
.stall { stroke: var(--muted); stroke-dasharray: 6 4; }
.set-back { fill: var(--mark); }
.above-5s { fill: var(--above); }
.cause-unknown { fill: #8c8c8c; } .cause-cpu_contention { fill: #2ca02c; }
.cause-hypervisor { fill: #9467bd; } .cause-memory { fill: #8c564b; }
.cause-interrupts { fill: #e377c2; } .cause-stopped { fill: #1f77b4; }
.cause-suspended { fill: #17becf; } .cause-unexplained { fill: #bcbd22; }
.cause-throttled { fill: #ff7f0e; } .cause-frozen { fill: #393b79; }
.cause-clock_set { fill: #d62728; }
pre { font: 12.5px/1.35 ui-monospace, monospace; overflow-x: auto; }
.note { font-style: italic; }
@page { size: landscape; margin: 7mm; }
@media print {
  :root { --fg: #000000; --bg: #ffffff; --muted: #505050; --grid: #d0d0d0;
    --line: #c03030; --mark: #000000; --above: #e08000; }
  body { max-width: none; margin: 0; padding: 0; font-size: 8pt; }
  h1 { font-size: 11pt; margin: 0 0 .3em; }
  dl { grid-template-columns: repeat(4, max-content minmax(0, 1fr)); }
  svg { margin: .3em 0 0; max-height: 150mm; }
  h2 { break-before: page; margin-top: 0; }
  pre { font-size: 6.5pt; columns: 2; column-gap: 2em; white-space: pre-wrap; }
}
</style>
)";

// Text for the page: the characters HTML gives a meaning are written as references.

// A number to `places` decimals (a coordinate takes 1, a scale 4), written from integers
// so that every platform writes the same digits.
void put_num(FILE* out, double v, int places = 1) {
    long long unit = 1;
    for (int k = 0; k < places; ++k) {
        unit *= 10;
    }
    const long long scaled = std::llround(v * static_cast<double>(unit));
    const long long size = scaled < 0 ? -scaled : scaled;
    fprintf(out, "%s%lld", scaled < 0 ? "-" : "", size / unit);
    long long rest = size % unit;
    for (long long digit = unit / 10; rest != 0; digit /= 10) {
        fprintf(out, "%s%lld", digit == unit / 10 ? "." : "", rest / digit);
        rest %= digit;
    }
}

// Writes `format` with each '@' replaced by the next number to a tenth, and each '#' by
// the next to four decimals.
void put_shape(FILE* out, const char* format, std::initializer_list<double> numbers) {
    const double* next = numbers.begin();
    for (const char* p = format; *p != '\0'; ++p) {
        if ((*p == '@' || *p == '#') && next != numbers.end()) {
            put_num(out, *next++, *p == '@' ? 1 : 4);
        } else {
            fputc(*p, out);
        }
    }
}

struct frame {
    double left, right, top, bottom;
};

// The picture's layout in pixels of its 1400 x 900 view box, as gnuplot's screen margins
// place the same panels.
constexpr double view_width = 1400, view_height = 900;
constexpr frame worst_frame{112, 1204, 72, 306};
constexpr frame heat_frame{112, 1204, 342, 792};
constexpr frame bar_frame{1232, 1253, 342, 792};

double x_at(const picture_model& m, double columns) {
    return heat_frame.left + columns * (heat_frame.right - heat_frame.left) / m.grid->count;
}

double worst_y(const picture_model& m, double v) {
    return worst_frame.bottom - (v - m.worst_low) / (m.worst_high - m.worst_low) *
                                    (worst_frame.bottom - worst_frame.top);
}

void put_frame(FILE* out, const frame& f) {
    put_shape(out, "<rect class=\"frame\" x=\"@\" y=\"@\" width=\"@\" height=\"@\"/>\n",
              {f.left, f.top, f.right - f.left, f.bottom - f.top});
}

// The time ticks under a panel: grid lines up through it, and labels when asked.
void put_time_ticks(FILE* out, const picture_model& m, const frame& f, bool labels) {
    for (int k = 0; k < m.time_tick_count; ++k) {
        const double x = x_at(m, m.time_ticks[k].at);
        put_shape(out, "<line class=\"grid\" x1=\"@\" x2=\"@\" y1=\"@\" y2=\"@\"/>\n",
                  {x, x, f.top, f.bottom});
        if (labels) {
            put_shape(out, "<text x=\"@\" y=\"@\" text-anchor=\"middle\">", {x, f.bottom + 20});
            put_text(out, m.time_ticks[k].label);
            fputs("</text>\n", out);
        }
    }
}

void put_axis_label(FILE* out, double x, double y, const char* text) {
    put_shape(out, "<text transform=\"translate(@ @) rotate(-90)\" text-anchor=\"middle\">",
              {x, y});
    put_text(out, text);
    fputs("</text>\n", out);
}

// A mark's tooltip: how many rows of the column it marks, and the first of them.
void put_mark(FILE* out, const picture_model& m, const char* cls, const char* shape, double x,
              double y, const heat_mark& mark, const char* what) {
    char t[40], where[4200] = "";
    if (m.facts != nullptr) {
        place_words(*m.facts, mark.line, where, sizeof where);
    } else {
        snprintf(where, sizeof where, "line %ld", mark.line);
    }
    format_utc(mark.ms, false, t, sizeof t);
    fprintf(out, "<path class=\"%s\" d=\"", cls);
    put_shape(out, shape, {x, y});
    fprintf(out, "\"><title>%s in %" PRIu32 " row%s, the first at %.19s UTC (%s)</title></path>\n",
            what, mark.rows, mark.rows == 1 ? "" : "s", t, where);
}

// A dot on the worst gap of each column with stalls, in the colour of the cause of most
// of them, with each cause's rows in its tooltip.
void put_stall_causes(FILE* out, const picture_model& m) {
    for (int i = 0; i < m.grid->count; ++i) {
        const heat_cell& c = m.grid->cells[i];
        int chief = -1;
        for (int k = 0; k < cause_kinds; ++k) {
            if (c.stall_causes[k] > 0 && (chief < 0 || c.stall_causes[k] > c.stall_causes[chief])) {
                chief = k;
            }
        }
        double v = 0;
        if (chief < 0 || !worst_point(m, i, &v)) {
            continue;
        }
        fprintf(out, "<circle class=\"cause-%s\" r=\"4\" ",
                cause_name(static_cast<cause_kind>(chief)));
        put_shape(out, "cx=\"@\" cy=\"@\"><title>stall rows by cause:",
                  {x_at(m, i + 0.5), worst_y(m, v)});
        for (int k = 0; k < cause_kinds; ++k) {
            if (c.stall_causes[k] > 0) {
                fprintf(out, " %s %" PRIu32, cause_name(static_cast<cause_kind>(k)),
                        c.stall_causes[k]);
            }
        }
        fputs("</title></circle>\n", out);
    }
}

// The legend of the causes: each that stall rows have, with their number.
void put_cause_legend(FILE* out, const picture_model& m, double lx) {
    uint64_t rows[cause_kinds] = {};
    for (int i = 0; i < m.grid->count; ++i) {
        for (int k = 0; k < cause_kinds; ++k) {
            rows[k] += m.grid->cells[i].stall_causes[k];
        }
    }
    if (std::all_of(rows, rows + cause_kinds, [](uint64_t n) { return n == 0; })) {
        return;
    }
    double y = 212;
    put_shape(out, "<text x=\"@\" y=\"194\">stall rows by cause</text>\n", {lx});
    for (int k = 0; k < cause_kinds; ++k) {
        if (rows[k] == 0) {
            continue;
        }
        fprintf(out, "<circle class=\"cause-%s\" r=\"4\" ", cause_name(static_cast<cause_kind>(k)));
        put_shape(out, "cx=\"@\" cy=\"@\"/>", {lx + 14, y - 4});
        put_shape(out, "<text x=\"@\" y=\"@\">", {lx + 36, y});
        fprintf(out, "%s %" PRIu64, cause_name(static_cast<cause_kind>(k)), rows[k]);
        const culprit_tally* top =
            m.culprits != nullptr ? top_culprit(m.culprits, static_cast<cause_kind>(k)) : nullptr;
        if (top != nullptr) {
            fputs(", mostly ", out);
            put_text(out, top->name);
            put_text(out, seen_note(tally_seen(*top)));
        }
        fputs("</text>\n", out);
        y += 18;
    }
}

// Top: the worst gap of each column, broken where no row came, the stall threshold, the
// marks and the legend.
void put_worst_panel(FILE* out, const picture_model& m) {
    const frame& f = worst_frame;
    for (int k = 0; k < m.worst_tick_count; ++k) {
        const double y = worst_y(m, m.worst_ticks[k].at);
        put_shape(out, "<line class=\"grid\" x1=\"@\" x2=\"@\" y1=\"@\" y2=\"@\"/>\n",
                  {f.left, f.right, y, y});
        put_shape(out, "<text x=\"@\" y=\"@\" text-anchor=\"end\">", {f.left - 8, y + 4});
        put_text(out, m.worst_ticks[k].label);
        fputs("</text>\n", out);
    }
    put_time_ticks(out, m, f, false);
    put_axis_label(out, 40, (f.top + f.bottom) / 2, "worst gap");
    const double stall_y = worst_y(m, m.stall_at);
    if (stall_y >= f.top && stall_y <= f.bottom) {
        put_shape(out, "<line class=\"stall\" x1=\"@\" x2=\"@\" y1=\"@\" y2=\"@\">",
                  {f.left, f.right, stall_y, stall_y});
        fprintf(out, "<title>%s</title></line>\n", m.stall_words);
    }
    bool open = false;
    for (int i = 0; i < m.grid->count; ++i) {
        double v = 0;
        if (!worst_point(m, i, &v)) {
            fputs(open ? "\"/>\n" : "", out);
            open = false;
            continue;
        }
        fputs(open ? " " : "<polyline class=\"worst\" points=\"", out);
        put_shape(out, "@,@", {x_at(m, i + 0.5), worst_y(m, v)});
        open = true;
    }
    fputs(open ? "\"/>\n" : "", out);
    put_stall_causes(out, m);
    const double height = f.bottom - f.top;
    for (int i = 0; i < m.grid->count; ++i) {
        const heat_cell& c = m.grid->cells[i];
        const double x = x_at(m, i + 0.5);
        if (c.set_back.rows > 0) {
            put_mark(out, m, "set-back", "M@ @h14l-7 12z", x - 7,
                     f.bottom - height * set_back_mark_height - 6, c.set_back, "clock set back");
        }
        if (c.above_5s.rows > 0) {
            put_mark(out, m, "above-5s", "M@ @h14l-7-12z", x - 7,
                     f.bottom - height * above_5s_mark_height + 6, c.above_5s, "gap above 5 s");
        }
    }
    put_frame(out, f);
    // The legend, right of the panel.
    const double lx = f.right + 16;
    put_shape(out, "<line class=\"worst\" x1=\"@\" x2=\"@\" y1=\"@\" y2=\"@\"/>",
              {lx, lx + 28, 88, 88});
    put_shape(out, "<text x=\"@\" y=\"92\">worst gap</text>\n", {lx + 36});
    put_shape(out, "<line class=\"stall\" x1=\"@\" x2=\"@\" y1=\"@\" y2=\"@\"/>",
              {lx, lx + 28, 112, 112});
    put_shape(out, "<text x=\"@\" y=\"116\">", {lx + 36});
    put_text(out, m.stall_words);
    fputs("</text>\n", out);
    put_shape(out, "<path class=\"set-back\" d=\"M@ 130 h14 l-7 12z\"/>", {lx + 7});
    put_shape(out, "<text x=\"@\" y=\"140\">clock set back</text>\n", {lx + 36});
    put_shape(out, "<path class=\"above-5s\" d=\"M@ 166 h14 l-7 -12z\"/>", {lx + 7});
    put_shape(out, "<text x=\"@\" y=\"164\">gap above 5 s</text>\n", {lx + 36});
    put_cause_legend(out, m, lx);
}

// Bottom: a cell for each band of each column that holds gaps, with its tooltip.
void put_heat_panel(FILE* out, const picture_model& m) {
    const frame& f = heat_frame;
    const double band_height = (f.bottom - f.top) / band_count;
    put_time_ticks(out, m, f, true);
    // Each cell is a use of one unit square, which keeps a week's page small.
    fputs("<defs><rect id=\"cell\" width=\"1\" height=\"1\"/></defs>\n", out);
    put_shape(out, "<g transform=\"translate(@ @) scale(# #)\" shape-rendering=\"crispEdges\">\n",
              {f.left, f.top, (f.right - f.left) / m.grid->count, band_height});
    for (int i = 0; i < m.grid->count; ++i) {
        char span[64];
        column_span_words(m, i, span, sizeof span);
        for (int b = 0; b < band_count; ++b) {
            const uint64_t n = m.grid->cells[i].bands[b];
            if (n == 0) {
                continue;
            }
            char range[48];
            band_range_words(b, range, sizeof range);
            fprintf(out,
                    "<use href=\"#cell\" x=\"%d\" y=\"%d\" fill=\"#%06" PRIx32
                    "\"><title>%s, %s: %" PRIu64 " gap%s</title></use>\n",
                    i, band_count - 1 - b, cell_colour(m, n), span, range, n, n == 1 ? "" : "s");
        }
    }
    fputs("</g>\n", out);
    for (int b = 0; b < band_count; ++b) {
        put_shape(out, "<text x=\"@\" y=\"@\" text-anchor=\"end\">",
                  {f.left - 8, f.bottom - (b + 0.5) * band_height + 4});
        put_text(out, band_names[b]);
        fputs("</text>\n", out);
    }
    put_frame(out, f);
    put_axis_label(out, 40, (f.top + f.bottom) / 2, "band");
    put_shape(out, "<text x=\"@\" y=\"@\" text-anchor=\"middle\">time (UTC)</text>\n",
              {(f.left + f.right) / 2, f.bottom + 46});
    put_shape(out, "<text x=\"@\" y=\"@\">", {f.left, view_height - 20});
    put_text(out, band_legend);
    fputs("</text>\n", out);
}

// The colour bar: the five colours of the scale, its ticks, its title above it.
void put_colour_bar(FILE* out, const picture_model& m) {
    const frame& f = bar_frame;
    fputs("<defs><linearGradient id=\"scale\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">", out);
    const int stops = static_cast<int>(std::size(colour_stops));
    for (int k = 0; k < stops; ++k) {
        fprintf(out, "<stop offset=\"%d%%\" stop-color=\"#%06" PRIx32 "\"/>", 100 * k / (stops - 1),
                colour_stops[k]);
    }
    fputs("</linearGradient></defs>\n", out);
    put_shape(out, "<rect x=\"@\" y=\"@\" width=\"@\" height=\"@\" fill=\"url(#scale)\"/>\n",
              {f.left, f.top, f.right - f.left, f.bottom - f.top});
    for (int k = 0; k < m.colour_tick_count; ++k) {
        const double y = f.bottom - m.colour_ticks[k].at * (f.bottom - f.top);
        put_shape(out, "<line class=\"tick\" x1=\"@\" x2=\"@\" y1=\"@\" y2=\"@\"/>",
                  {f.right, f.right + 5, y, y});
        put_shape(out, "<text x=\"@\" y=\"@\">", {f.right + 9, y + 4});
        put_text(out, m.colour_ticks[k].label);
        fputs("</text>\n", out);
    }
    put_shape(out, "<text x=\"@\" y=\"@\" text-anchor=\"middle\">gaps in a cell</text>\n",
              {(f.left + f.right) / 2 + 8, f.top - 14});
}

void put_picture(FILE* out, const heat_grid* grid, const culprit_fold* culprits,
                 const log_facts* facts, int64_t stall_ns) {
    const auto m = std::make_unique<picture_model>();
    build_picture(m.get(), grid, stall_ns);
    m->culprits = culprits;
    m->facts = facts;
    fprintf(out,
            "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %d %d\" role=\"img\" "
            "aria-label=\"",
            static_cast<int>(view_width), static_cast<int>(view_height));
    put_text(out, m->title);
    put_shape(out, "\">\n<text class=\"title\" x=\"@\" y=\"36\" text-anchor=\"middle\">",
              {view_width / 2});
    put_text(out, m->title);
    fputs("</text>\n", out);
    put_worst_panel(out, *m);
    put_heat_panel(out, *m);
    put_colour_bar(out, *m);
    fputs("</svg>\n", out);
}

// One figure of the list at the top.
void put_figure(FILE* out, const char* name, const char* value) {
    fprintf(out, "<dt>%s</dt><dd>", name);
    put_text(out, value);
    fputs("</dd>\n", out);
}

// The chief figures of the summary, from the same fold as the JSON; `s` the stall figures
// in force.
void put_figures(FILE* out, const run_fold* f, const stall_figures& s, const log_facts& facts) {
    char v[200], a[40], b[40];
    fputs("<dl>\n", out);
    // The log's name is the heading's, which wraps anywhere: a long one never narrows the
    // figures' columns.
    snprintf(v, sizeof v, "%" PRIu64, f->totals.rows);
    put_figure(out, "rows", v);
    if (f->totals.rows > 0) {
        format_utc(f->totals.first_ms, false, a, sizeof a);
        format_utc(f->totals.last_ms, false, b, sizeof b);
        snprintf(v, sizeof v, "%s to %s UTC", a, b);
        put_figure(out, "first and last row", v);
        snprintf(v, sizeof v, "%d", f->run_list.runs_with_rows);
        put_figure(out, "runs", v);
        snprintf(v, sizeof v, "%" PRIu64, f->totals.readings);
        put_figure(out, "readings", v);
        format_utc(unix_ms(f->named.largest.row.timestamp), false, a, sizeof a);
        char where[4200];
        snprintf(v, sizeof v, "%s, in the row of %.19s UTC (%s)",
                 format_duration(f->named.largest.row.max_diff_this_rep, b, sizeof b), a,
                 place_words(facts, f->named.largest.line, where, sizeof where));
        put_figure(out, "largest gap", v);
        threshold_text(s.threshold_ns, a, sizeof a);
        int used = snprintf(v, sizeof v, "%" PRIu64 " row%s with a gap of %s or more", s.rows,
                            s.rows == 1 ? "" : "s", a);
        const char* separator = "; by cause: ";
        for (int k = 0; k < cause_kinds && used > 0 && static_cast<size_t>(used) < sizeof v; ++k) {
            if (s.causes[k] > 0) {
                used += snprintf(v + used, sizeof v - static_cast<size_t>(used), "%s%s %" PRIu64,
                                 separator, cause_name(static_cast<cause_kind>(k)), s.causes[k]);
                separator = ", ";
            }
        }
        put_figure(out, "stalls", v);
        const uint64_t back = f->totals.bands[0], lunch = f->totals.bands[band_count - 1];
        snprintf(v, sizeof v, "%" PRIu64 " negative gap%s, %" PRIu64 " gap%s above 5 s", back,
                 back == 1 ? "" : "s", lunch, lunch == 1 ? "" : "s");
        put_figure(out, "clock events", v);
        snprintf(v, sizeof v, "%" PRIu64, f->named.long_waits.total);
        put_figure(out, "stretches without rows (over 1.5 s)", v);
    }
    if (facts.skipped_lines > 0) {
        char where[4200];
        snprintf(v, sizeof v, "%" PRIu64 " (the first is %s)", facts.skipped_lines,
                 place_words(facts, facts.first_skipped_line, where, sizeof where));
        put_figure(out, "lines skipped", v);
    }
    fputs("</dl>\n", out);
}

// The summary's text, as the summary prints it to standard output.
void put_summary(FILE* out, const report_figures& figures) {
    std::string text;
    text_out into = to_text(&text);
    print_summary(&into, figures);
    fputs("<h2>Summary</h2>\n<pre>", out);
    put_text(out, text);
    fputs("</pre>\n", out);
}

}  // namespace

void put_text(FILE* out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&':
                fputs("&amp;", out);
                break;
            case '<':
                fputs("&lt;", out);
                break;
            case '>':
                fputs("&gt;", out);
                break;
            case '"':
                fputs("&quot;", out);
                break;
            default:
                fputc(c, out);
        }
    }
}

bool page_name_ok(const char* path) {
    const std::string_view name = path;
    return name.ends_with(".html") || name.ends_with(".htm");
}

bool write_html_page(const char* path, const report_figures& figures, char* reason,
                     size_t reason_size) {
    whole_file page;
    if (!begin_whole_file(&page, path, false, reason, reason_size)) {
        return false;
    }
    FILE* const out = page.file;
    const log_facts& facts = *figures.facts;
    fputs(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>clockgap: ",
        out);
    put_text(out, facts.name);
    fprintf(out, "</title>\n%s</head>\n<body>\n<h1>clockgap: ", page_style);
    put_text(out, facts.name);
    fputs("</h1>\n", out);
    const stall_figures& stalls = *read_fold(figures.fold, figures.rule).stalls;
    put_figures(out, figures.fold, stalls, facts);
    if (figures.grid->rows >= 2) {
        put_picture(out, figures.grid, &figures.fold->culprits, figures.facts, stalls.threshold_ns);
    } else {
        fprintf(out,
                "<p class=\"note\">Too few rows for a picture: %" PRIu64
                " in the window; it takes 2 or more.</p>\n",
                figures.grid->rows);
    }
    put_summary(out, figures);
    fputs("</body>\n</html>\n", out);
    return commit_whole_file(&page, reason, reason_size);
}
