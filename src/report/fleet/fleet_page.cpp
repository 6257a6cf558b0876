#include "report/fleet/fleet_page.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>

#include "report/fleet/host_names.h"
#include "report/input/log_facts.h"
#include "report/os/whole_file.h"
#include "report/outputs/html_page.h"
#include "report/outputs/picture.h"
#include "report/util/report_time.h"

namespace {

constexpr double label_width = 170, plot_width = 960, cause_width = 120, top = 30;
// Lanes this many or fewer are named beside themselves; more are named in a list.
constexpr size_t named_lanes = 40;

const char style[] = R"(<style>
:root { color-scheme: light dark; --fg: #1b1b1b; --bg: #ffffff; --muted: #5f5f5f; }
@media (prefers-color-scheme: dark) { :root { --fg: #e8e8e8; --bg: #161616; --muted: #a0a0a0; } }
body { margin: 1.5em; background: var(--bg); color: var(--fg); font: 15px/1.4 system-ui, sans-serif; }
svg text { fill: var(--fg); font: 11px system-ui, sans-serif; }
.band { fill: #d62728; fill-opacity: 0.25; }
.step { fill: var(--fg); }
.chief { fill: var(--muted); }
table { border-collapse: collapse; } td, th { padding: 2px 8px; text-align: left; }
td:not(:last-child) { white-space: nowrap; }
.names { columns: 4; font-size: 12px; }
@page { size: landscape; margin: 1cm; }
@media print { body { margin: 0; font-size: 9px; } h1 { font-size: 14px; margin: 0 0 4px; }
  h2 { font-size: 12px; margin: 6px 0 2px; } td, th { padding: 0 4px; }
  svg { width: 100%; height: auto; } }
</style>
)";

// The cell's colour: the worst gap on the colours of the host page, 1 ms to 5 s and
// more on a log scale.
uint32_t gap_colour(int64_t worst_ns) {
    const double ms = static_cast<double>(std::max<int64_t>(worst_ns, 1'000'000)) / 1e6;
    return scale_colour(std::log10(ms) / std::log10(5000.0));
}

struct layout {
    int64_t first_ms, column_ms;
    int columns;
    double lane, cell;
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
    l.lane = std::clamp(480.0 / static_cast<double>(std::max<size_t>(hosts.size(), 1)), 1.0, 18.0);
    return l;
}

// The host's worst gap in each of the page's columns, from its own grid's columns.
std::vector<int64_t> lane_of(const fleet_host& h, const layout& l) {
    std::vector<int64_t> worst(static_cast<size_t>(l.columns), -1);
    for (size_t i = 0; i < h.worst_ns.size(); ++i) {
        if (h.worst_ns[i] < 0) {
            continue;
        }
        const int64_t ms = (h.first_column + static_cast<int64_t>(i)) * h.column_ms;
        const int64_t c = std::clamp<int64_t>((ms - l.first_ms) / l.column_ms, 0, l.columns - 1);
        worst[static_cast<size_t>(c)] = std::max(worst[static_cast<size_t>(c)], h.worst_ns[i]);
    }
    return worst;
}

double x_of(const layout& l, int64_t ms) {
    return label_width +
           static_cast<double>(ms - l.first_ms) / static_cast<double>(l.column_ms) * l.cell;
}

// One host's lane at `y`: its name and chief cause when lanes are named, its cells, and
// its clock steps.
void put_lane(FILE* out, const fleet_host& h, double y, bool named, const layout& l) {
    fprintf(out, "<g class=\"lane\" data-host=\"");
    put_text(out, h.name);
    fprintf(out, "\">");
    if (named) {
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", label_width - 6,
                y + l.lane * 0.75);
        put_text(out, h.name);
        fputs("</text>", out);
        // Its chief cause at the lane's end.
        const char* chief = chief_cause(h);
        fprintf(out, "<text class=\"chief\" x=\"%.1f\" y=\"%.1f\">%s</text>",
                label_width + plot_width + 6, y + l.lane * 0.75, chief != nullptr ? chief : "");
    }
    const std::vector<int64_t> worst = lane_of(h, l);
    for (int c = 0; c < l.columns; ++c) {
        const int64_t w = worst[static_cast<size_t>(c)];
        if (w < 0) {
            continue;
        }
        char gap[48];
        fprintf(out,
                "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
                "fill=\"#%06" PRIx32 "\"><title>",
                label_width + c * l.cell, y, l.cell + 0.05, std::max(l.lane - 1, 0.8),
                gap_colour(w));
        put_text(out, h.name);
        fprintf(out, ": worst gap %s</title></rect>", format_duration(w, gap, sizeof gap));
    }
    // The host's own clock steps: a mark where a stretch of steps began.
    for (const fleet_kind kind : {fleet_kind::clock_set_back, fleet_kind::gap_above_5s}) {
        const std::vector<event_second>& steps = h.events[static_cast<int>(kind)];
        for (size_t e = 0; e < steps.size(); ++e) {
            if (e > 0 && steps[e].s >= steps[e - 1].s && steps[e].s <= steps[e - 1].s + 1) {
                continue;  // the stretch goes on
            }
            fprintf(out,
                    "<rect class=\"step\" x=\"%.2f\" y=\"%.2f\" width=\"1.5\" "
                    "height=\"%.2f\"><title>%s</title></rect>",
                    x_of(l, steps[e].s * 1000), y, std::max(l.lane - 1, 0.8),
                    fleet_kind_name(kind));
        }
    }
    fputs("</g>\n", out);
}

void put_lanes(FILE* out, const std::vector<const fleet_host*>& hosts,
               const std::vector<shared_moment>& moments, const layout& l) {
    const double height = top + l.lane * static_cast<double>(hosts.size()) + 30;
    fprintf(out,
            "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %.0f %.0f\" width=\"%.0f\" "
            "height=\"%.0f\" role=\"img\" aria-label=\"hosts side by side\">\n",
            label_width + plot_width + cause_width, height, label_width + plot_width + cause_width,
            height);
    for (size_t i = 0; i < hosts.size(); ++i) {
        put_lane(out, *hosts[i], top + l.lane * static_cast<double>(i), hosts.size() <= named_lanes,
                 l);
    }
    const double bottom = top + l.lane * static_cast<double>(hosts.size());
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
    char a[40], b[40];
    format_utc(l.first_ms, false, a, sizeof a);
    format_utc(l.first_ms + l.column_ms * l.columns, false, b, sizeof b);
    fprintf(out, "<text x=\"%.0f\" y=\"%.0f\">%s</text>", label_width, bottom + 18, a);
    fprintf(out, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\">%s UTC</text>",
            label_width + plot_width, bottom + 18, b);
    fprintf(out,
            "<text x=\"%.0f\" y=\"16\">each cell: the worst gap of its %s, yellow 1 ms to "
            "violet 5 s; bands: shared moments; black marks: a host's clock steps; at the "
            "right: each host's chief cause</text>\n",
            label_width, format_duration(l.column_ms * 1'000'000, a, sizeof a));
    fputs("</svg>\n", out);
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
    put_lanes(out, hosts, moments, l);
    if (hosts.size() > named_lanes) {
        fputs("<ol class=\"names\">", out);
        for (const fleet_host* h : hosts) {
            fputs("<li>", out);
            put_text(out, h->name);
            if (const char* chief = chief_cause(*h); chief != nullptr) {
                fprintf(out, " (%s)", chief);
            }
            fputs("</li>", out);
        }
        fputs("</ol>\n", out);
    }
    put_moments(out, hosts, moments);
    fputs("</body>\n</html>\n", out);
    return commit_whole_file(&page, reason, reason_size);
}
