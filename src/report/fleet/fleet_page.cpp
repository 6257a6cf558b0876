#include "report/fleet/fleet_page.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <string>

#include "report/fleet/host_names.h"
#include "report/input/log_facts.h"
#include "report/os/whole_file.h"
#include "report/outputs/html_page.h"
#include "report/outputs/picture.h"
#include "report/util/report_time.h"

namespace {

constexpr double label_width = 170, plot_width = 960, cause_width = 120, top = 30;
constexpr double strip_height = 14;  // each strip of the folded band
// The cells' colours: 1 ms to 5 s on a log scale in this many steps, so that a run of
// cells of one step is drawn as one.
constexpr int colour_levels = 40;

const char style[] = R"(<style>
:root { color-scheme: light dark; --fg: #1b1b1b; --bg: #ffffff; --muted: #5f5f5f; }
@media (prefers-color-scheme: dark) { :root { --fg: #e8e8e8; --bg: #161616; --muted: #a0a0a0; } }
body { margin: 1.5em; background: var(--bg); color: var(--fg); font: 15px/1.4 system-ui, sans-serif; }
svg text { fill: var(--fg); font: 11px system-ui, sans-serif; }
svg text.hit { font-weight: bold; }
.band { fill: #d62728; fill-opacity: 0.25; }
.step, .count-step { fill: var(--fg); }
.count-stall { fill: #d62728; }
.count-silence { fill: var(--muted); }
.chief { fill: var(--muted); }
#find input { font: inherit; width: 16em; }
svg[hidden] { display: none; }
table { border-collapse: collapse; } td, th { padding: 2px 8px; text-align: left; }
td:not(:last-child) { white-space: nowrap; }
.names { columns: 4; font-size: 12px; }
@page { size: landscape; margin: 1cm; }
@media print { body { margin: 0; font-size: 9px; } h1 { font-size: 14px; margin: 0 0 4px; }
  h2 { font-size: 12px; margin: 6px 0 2px; } td, th { padding: 0 4px; }
  svg { width: 100%; height: auto; } #find, #found-lane { display: none; } }
</style>
)";

struct layout {
    int64_t first_ms, column_ms;
    int columns;
    double lane, cell;
    size_t named, folded;  // hosts in named lanes, and in the folded band
};

layout lay_out(const std::vector<const fleet_host*>& hosts) {
    int64_t first = INT64_MAX, last = INT64_MIN;
    for (const fleet_host* h : hosts) {
        if (h->rows > 0) {
            first = std::min(first, h->first_ms);
            last = std::max(last, h->last_ms);
        }
    }
    layout l{};
    if (first > last) {
        first = last = 0;
    }
    const int64_t span = last - first + 1000;
    // The narrowest round column that fits the span into fleet_columns.
    constexpr int64_t steps[] = {1'000,      2'000,      5'000,     10'000,    15'000,
                                 30'000,     60'000,     120'000,   300'000,   600'000,
                                 900'000,    1'800'000,  3'600'000, 7'200'000, 10'800'000,
                                 21'600'000, 43'200'000, 86'400'000};
    l.column_ms = (span + fleet_columns - 1) / fleet_columns;
    for (const int64_t step : steps) {
        if (step >= l.column_ms) {
            l.column_ms = step;
            break;
        }
    }
    l.first_ms = floor_div(first, l.column_ms) * l.column_ms;
    l.columns = static_cast<int>((last - l.first_ms) / l.column_ms) + 1;
    l.cell = plot_width / l.columns;
    l.named = std::min(hosts.size(), fleet_named_lanes);
    l.folded = hosts.size() - l.named;
    l.lane = std::clamp(480.0 / static_cast<double>(std::max<size_t>(l.named, 1)), 12.0, 18.0);
    return l;
}

int column_of(const layout& l, int64_t ms) {
    return static_cast<int>(
        std::clamp<int64_t>(floor_div(ms - l.first_ms, l.column_ms), 0, l.columns - 1));
}

double x_of(const layout& l, int64_t ms) {
    return label_width +
           static_cast<double>(ms - l.first_ms) / static_cast<double>(l.column_ms) * l.cell;
}

// A worst gap as the page keeps it: whole microseconds, rounded.
int64_t micros(int64_t ns) {
    return ns / 1000 + (ns % 1000 >= 500 ? 1 : 0);
}

// The colour step of a worst gap of `us` microseconds; the script computes the same.
int gap_level(int64_t us) {
    const double ms = static_cast<double>(std::max<int64_t>(us, 1000)) / 1000;
    const double at = std::log10(ms) / std::log10(5000.0) * (colour_levels - 1);
    return std::clamp(static_cast<int>(std::lround(at)), 0, colour_levels - 1);
}

// A worst gap of `us` microseconds in words, the last digit rounded half to even; the
// script writes the same: "850 us", "1.13 ms", "6.501 s", "1.5 days".
std::string micros_text(int64_t us) {
    const auto rounded = [us](int64_t unit, size_t places) {
        int64_t q = us / unit;
        const int64_t r = us - q * unit;
        if (2 * r > unit || (2 * r == unit && q % 2 == 1)) {
            ++q;
        }
        std::string s = std::to_string(q);
        s.insert(0, s.size() <= places ? places + 1 - s.size() : 0, '0');
        return s.insert(s.size() - places, ".");
    };
    if (us < 1000) {
        return std::to_string(us) + " us";
    }
    if (us < 1'000'000) {
        return rounded(10, 2) + " ms";
    }
    if (us < 86'400'000'000) {
        return rounded(1000, 3) + " s";
    }
    return rounded(8'640'000'000, 1) + " days";
}

uint32_t level_colour(int level) {
    return scale_colour(static_cast<double>(level) / (colour_levels - 1));
}

// The host's worst gap in each of the page's columns (microseconds; -1 without rows),
// from its own grid's columns.
std::vector<int64_t> lane_of(const fleet_host& h, const layout& l) {
    std::vector<int64_t> worst(static_cast<size_t>(l.columns), -1);
    for (size_t i = 0; i < h.worst_ns.size(); ++i) {
        if (h.worst_ns[i] < 0) {
            continue;
        }
        const int c = column_of(l, (h.first_column + static_cast<int64_t>(i)) * h.column_ms);
        int64_t& w = worst[static_cast<size_t>(c)];
        w = std::max(w, micros(h.worst_ns[i]));
    }
    return worst;
}

// The seconds where a stretch of the host's clock steps began, with the kind's letter.
template <typename F>
void each_step(const fleet_host& h, F&& f) {
    for (const fleet_kind kind : {fleet_kind::clock_set_back, fleet_kind::gap_above_5s}) {
        const std::vector<event_second>& steps = h.events[static_cast<int>(kind)];
        for (size_t e = 0; e < steps.size(); ++e) {
            if (e == 0 || steps[e].s < steps[e - 1].s || steps[e].s > steps[e - 1].s + 1) {
                f(kind, steps[e].s);
            }
        }
    }
}

// One named lane at `y`: its name and chief cause, its cells (a run of one colour step
// drawn as one, its title the worst gap of the run), and its clock steps.
void put_lane(FILE* out, const fleet_host& h, double y, const layout& l) {
    fprintf(out, "<g class=\"lane\" data-host=\"");
    put_text(out, h.name);
    fprintf(out, "\"><text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", label_width - 6,
            y + l.lane * 0.75);
    put_text(out, h.name);
    const char* chief = chief_cause(h);
    fprintf(out, "</text><text class=\"chief\" x=\"%.1f\" y=\"%.1f\">%s</text>",
            label_width + plot_width + 6, y + l.lane * 0.75, chief != nullptr ? chief : "");
    const std::vector<int64_t> worst = lane_of(h, l);
    for (int c = 0; c < l.columns;) {
        const int64_t first = worst[static_cast<size_t>(c)];
        const int level = first >= 0 ? gap_level(first) : -1;
        int end = c + 1;
        int64_t most = first;
        while (first >= 0 && end < l.columns && worst[static_cast<size_t>(end)] >= 0 &&
               gap_level(worst[static_cast<size_t>(end)]) == level) {
            most = std::max(most, worst[static_cast<size_t>(end)]);
            ++end;
        }
        if (first >= 0) {
            fprintf(out,
                    "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
                    "fill=\"#%06" PRIx32 "\"><title>",
                    label_width + c * l.cell, y, (end - c) * l.cell + 0.05, l.lane - 1,
                    level_colour(level));
            put_text(out, h.name);
            fprintf(out, ": worst gap %s</title></rect>", micros_text(most).c_str());
        }
        c = end;
    }
    each_step(h, [&](fleet_kind kind, int64_t s) {
        fprintf(out,
                "<rect class=\"step\" x=\"%.2f\" y=\"%.2f\" width=\"1.5\" "
                "height=\"%.2f\"><title>%s</title></rect>",
                x_of(l, s * 1000), y, l.lane - 1, fleet_kind_name(kind));
    });
    fputs("</g>\n", out);
}

// The folded hosts' strips: a stall, a clock step, a silence.
constexpr int strips = 3;
constexpr const char* strip_names[strips] = {"stall", "step", "silence"};
constexpr const char* strip_words[strips] = {"had a stall", "had a clock step", "fell silent"};

int strip_of(fleet_kind kind) {
    switch (kind) {
        case fleet_kind::stall:
            return 0;
        case fleet_kind::clock_set_back:
        case fleet_kind::gap_above_5s:
            return 1;
        case fleet_kind::no_rows:
            break;
    }
    return 2;
}

// How many of the folded hosts had each strip's event in each column (each host once).
std::vector<uint32_t> folded_counts(const std::vector<const fleet_host*>& hosts, const layout& l) {
    const size_t columns = static_cast<size_t>(l.columns);
    std::vector<uint32_t> count(strips * columns, 0);
    std::vector<size_t> counted(strips * columns, SIZE_MAX);  // the last host counted
    for (size_t i = l.named; i < hosts.size(); ++i) {
        for (int k = 0; k < fleet_kinds; ++k) {
            const size_t strip = static_cast<size_t>(strip_of(static_cast<fleet_kind>(k)));
            for (const event_second& e : hosts[i]->events[k]) {
                const size_t at = strip * columns + static_cast<size_t>(column_of(l, e.s * 1000));
                if (counted[at] != i) {
                    counted[at] = i;
                    ++count[at];
                }
            }
        }
    }
    return count;
}

// The folded band at `y`: for each strip, a bar a column, its height the share of the
// folded hosts with the event, its title the count.
void put_folded(FILE* out, const std::vector<const fleet_host*>& hosts, double y, const layout& l) {
    const std::vector<uint32_t> count = folded_counts(hosts, l);
    fprintf(out,
            "<g class=\"folded\"><text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">the other "
            "%zu</text>\n",
            label_width - 6, y + strip_height * 0.75, l.folded);
    for (int s = 0; s < strips; ++s) {
        const double y0 = y + s * strip_height;
        fprintf(out, "<text class=\"chief\" x=\"%.1f\" y=\"%.1f\">%s</text>",
                label_width + plot_width + 6, y0 + strip_height * 0.75, strip_names[s]);
        for (int c = 0; c < l.columns; ++c) {
            const uint32_t n = count[static_cast<size_t>(s) * static_cast<size_t>(l.columns) +
                                     static_cast<size_t>(c)];
            if (n == 0) {
                continue;
            }
            const double h = std::max(1.5, (strip_height - 2) * n / static_cast<double>(l.folded));
            char from[40], to[40];
            format_utc(l.first_ms + c * l.column_ms, false, from, sizeof from);
            format_utc(l.first_ms + (c + 1) * l.column_ms, false, to, sizeof to);
            fprintf(out,
                    "<rect class=\"count-%s\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" "
                    "height=\"%.2f\"><title>%s to %s UTC: %" PRIu32
                    " of the other %zu %s</title>"
                    "</rect>",
                    strip_names[s], label_width + c * l.cell, y0 + strip_height - 1 - h,
                    std::max(l.cell - 0.3, 0.6), h, from, strncmp(from, to, 11) == 0 ? to + 11 : to,
                    n, l.folded, strip_words[s]);
        }
        fputc('\n', out);
    }
    fputs("</g>\n", out);
}

void put_moment_bands(FILE* out, const std::vector<shared_moment>& moments, double bottom,
                      const layout& l) {
    for (const shared_moment& m : moments) {
        char when[40];
        format_utc(m.first_s * 1000, false, when, sizeof when);
        const double x = x_of(l, m.first_s * 1000);
        const double w = std::max(2.0, x_of(l, m.last_s * 1000 + 1000) - x);
        fprintf(out,
                "<rect class=\"band\" data-start=\"%" PRId64
                "\" data-kind=\"%s\" x=\"%.2f\" "
                "y=\"%.0f\" width=\"%.2f\" height=\"%.2f\"><title>%s at %s: %zu of %d hosts"
                "</title></rect>\n",
                m.first_s, fleet_kind_name(m.kind), x, top - 4, w, bottom - top + 8,
                fleet_kind_name(m.kind), when, m.hosts.size(), m.of);
    }
}

void put_lanes(FILE* out, const std::vector<const fleet_host*>& hosts,
               const std::vector<shared_moment>& moments, const layout& l) {
    const double lanes_end = top + l.lane * static_cast<double>(l.named);
    const double bottom = lanes_end + (l.folded > 0 ? strips * strip_height + 6 : 0);
    const double width = label_width + plot_width + cause_width, height = bottom + 30;
    fprintf(out,
            "<svg id=\"lanes\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %.0f %.0f\" "
            "width=\"%.0f\" height=\"%.0f\" role=\"img\" aria-label=\"hosts side by side\">\n",
            width, height, width, height);
    for (size_t i = 0; i < l.named; ++i) {
        put_lane(out, *hosts[i], top + l.lane * static_cast<double>(i), l);
    }
    if (l.folded > 0) {
        put_folded(out, hosts, lanes_end + 6, l);
    }
    put_moment_bands(out, moments, bottom, l);
    char a[40], b[40];
    format_utc(l.first_ms, false, a, sizeof a);
    format_utc(l.first_ms + l.column_ms * l.columns, false, b, sizeof b);
    fprintf(out, "<text x=\"%.0f\" y=\"%.0f\">%s</text>", label_width, bottom + 18, a);
    fprintf(out, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\">%s UTC</text>",
            label_width + plot_width, bottom + 18, b);
    span_words(l.column_ms, a, sizeof a);  // the columns are round
    fprintf(out,
            "<text x=\"%.0f\" y=\"16\">each cell: the worst gap of its %s, yellow 1 ms to "
            "violet 5 s; bands: shared moments; black marks: a host's clock steps; at the "
            "right: each host's chief cause</text>\n",
            label_width, a);
    fputs("</svg>\n", out);
}

// The search box and the lane it draws: hidden until the script shows them.
void put_search(FILE* out, const layout& l) {
    fputs(
        "<p id=\"find\" hidden><label>Find a host: <input id=\"find-name\" type=\"search\" "
        "list=\"find-names\" autocomplete=\"off\" spellcheck=\"false\"></label> "
        "<span id=\"find-said\"></span></p><datalist id=\"find-names\"></datalist>\n",
        out);
    fprintf(out,
            "<svg id=\"found-lane\" hidden xmlns=\"http://www.w3.org/2000/svg\" "
            "viewBox=\"0 0 %.0f %.0f\" width=\"%.0f\" height=\"%.0f\"></svg>\n",
            label_width + plot_width + cause_width, l.lane + 4,
            label_width + plot_width + cause_width, l.lane + 4);
}

// The folded hosts by name, worst first, each with its chief cause.
void put_folded_names(FILE* out, const std::vector<const fleet_host*>& hosts, const layout& l) {
    if (l.folded == 0) {
        return;
    }
    fprintf(out,
            "<details class=\"others\"><summary>The other %zu %s, worst first (ranked %zu to "
            "%zu)</summary><ol class=\"names\" start=\"%zu\">",
            l.folded, l.folded == 1 ? "host" : "hosts", l.named + 1, hosts.size(), l.named + 1);
    for (size_t i = l.named; i < hosts.size(); ++i) {
        fputs("<li>", out);
        put_text(out, hosts[i]->name);
        if (const char* chief = chief_cause(*hosts[i]); chief != nullptr) {
            fprintf(out, " (%s)", chief);
        }
        fputs("</li>", out);
    }
    fputs("</ol></details>\n", out);
}

void put_moments(FILE* out, const std::vector<const fleet_host*>& hosts,
                 const std::vector<shared_moment>& moments) {
    fprintf(out, "<h2>Shared moments: %zu</h2>\n", moments.size());
    if (moments.empty()) {
        return;
    }
    fputs(
        "<table><tr><th>start (UTC)</th><th>kind</th><th>hosts</th><th>largest</th>"
        "<th>causes</th><th>which</th></tr>\n",
        out);
    for (const shared_moment& m : moments) {
        char when[40], gap[48];
        format_utc(m.first_s * 1000, false, when, sizeof when);
        fprintf(out, "<tr class=\"moment\"><td>%s</td><td>%s</td><td>%zu of %d</td><td>%s</td><td>",
                when, fleet_kind_name(m.kind), m.hosts.size(), m.of,
                format_duration(m.largest_gap_ns, gap, sizeof gap));
        const char* separator = "";
        for (int k = 0; k < cause_kinds; ++k) {
            if (m.causes[k] > 0) {
                fprintf(out, "%s%s %" PRIu32, separator, cause_name(static_cast<cause_kind>(k)),
                        m.causes[k]);
                separator = ", ";
            }
        }
        // The hosts in a line, folded; every name on demand.
        fputs("</td><td><details><summary>", out);
        put_text(out, moment_host_names(m, hosts, "\u2026"));
        fputs("</summary>", out);
        for (size_t i = 0; i < m.hosts.size(); ++i) {
            fputs(i == 0 ? "" : ", ", out);
            put_text(out, hosts[static_cast<size_t>(m.hosts[i])]->name);
        }
        fputs("</details></td></tr>\n", out);
    }
    fputs("</table>\n", out);
}

// A string for the page's data: JSON, with <, > and & escaped so that no name can end
// the script element that holds it.
void put_data_string(FILE* out, const std::string& text) {
    fputc('"', out);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
        } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
            fprintf(out, "\\u%04x", c);
        } else {
            fputc(c, out);
        }
    }
    fputc('"', out);
}

// Every host's lane in a compact form, worst first: [name, chief cause, the worst gap of
// each column in microseconds (empty without rows), its clock steps as "b" (set back) or
// "g" (a gap above 5 s) and the second from the page's start].
void put_data(FILE* out, const std::vector<const fleet_host*>& hosts, const layout& l) {
    fprintf(out,
            "<script type=\"application/json\" id=\"fleet-data\">{\"first_ms\":%" PRId64
            ",\"column_ms\":%" PRId64
            ",\"columns\":%d,\"named\":%zu,\"levels\":%d,\"x\":%.0f,\"cell\":%.4f,"
            "\"lane\":%.2f,\"stops\":[",
            l.first_ms, l.column_ms, l.columns, l.named, colour_levels, label_width, l.cell,
            l.lane);
    for (size_t i = 0; i < std::size(colour_stops); ++i) {
        fprintf(out, "%s\"#%06" PRIx32 "\"", i == 0 ? "" : ",", colour_stops[i]);
    }
    fputs("],\"hosts\":[\n", out);
    for (size_t i = 0; i < hosts.size(); ++i) {
        const fleet_host& h = *hosts[i];
        fputs(i == 0 ? "[" : ",\n[", out);
        put_data_string(out, h.name);
        const char* chief = chief_cause(h);
        fprintf(out, ",\"%s\",\"", chief != nullptr ? chief : "");
        const std::vector<int64_t> worst = lane_of(h, l);
        for (size_t c = 0; c < worst.size(); ++c) {
            if (c > 0) {
                fputc(',', out);
            }
            if (worst[c] >= 0) {
                fprintf(out, "%" PRId64, worst[c]);
            }
        }
        fputs("\",\"", out);
        const char* separator = "";
        each_step(h, [&](fleet_kind kind, int64_t s) {
            fprintf(out, "%s%c%" PRId64, separator, kind == fleet_kind::clock_set_back ? 'b' : 'g',
                    s - floor_div(l.first_ms, 1000));
            separator = " ";
        });
        fputs("\"]", out);
    }
    fprintf(out, "]}</script>\n<script>%s</script>\n", fleet_page_script);
}

}  // namespace

bool write_fleet_page(const char* path, const std::vector<const fleet_host*>& hosts,
                      const std::vector<shared_moment>& moments, const fleet_page_end& end,
                      char* reason, size_t reason_size) {
    whole_file page{};
    if (!begin_whole_file(&page, path, false, reason, reason_size)) {
        return false;
    }
    FILE* const out = page.file;
    fprintf(out,
            "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<title>clockgap: a fleet of %zu hosts</title>\n%s</head>\n<body>\n"
            "<h1>clockgap: a fleet of %zu hosts</h1>\n",
            hosts.size(), style, hosts.size());
    if (end.ended != input_end::end_of_input) {
        fprintf(out,
                "<p class=\"note\">The read was ended by %s: this is everything read before, "
                "%zu %s not read.</p>\n",
                end_words(end.ended), end.not_started, end.not_started == 1 ? "host" : "hosts");
    }
    const layout l = lay_out(hosts);
    put_search(out, l);
    put_lanes(out, hosts, moments, l);
    put_folded_names(out, hosts, l);
    put_moments(out, hosts, moments);
    put_data(out, hosts, l);
    fputs("</body>\n</html>\n", out);
    return commit_whole_file(&page, reason, reason_size);
}
