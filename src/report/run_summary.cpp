#include "report/run_summary.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>

#include "stats/gap_stats.h"

namespace {

constexpr int64_t long_wait_ns = 1'500'000'000;

int band_of_rank(const uint64_t bands[band_count], uint64_t total, double quantile) {
    if (total == 0) {
        return -1;
    }
    // The gap of rank ceil(q * total), counting from the most negative.
    const auto rank = static_cast<uint64_t>(std::ceil(quantile * static_cast<double>(total)));
    uint64_t seen = 0;
    for (int i = 0; i < band_count; ++i) {
        seen += bands[i];
        if (seen >= rank && bands[i] > 0) {
            return i;
        }
    }
    return band_count - 1;
}

// A duration in the unit that suits it.
const char* duration(int64_t ns, char* text, size_t size) {
    const double v = static_cast<double>(ns);
    const double a = std::fabs(v);
    if (a < 1e3) {
        snprintf(text, size, "%" PRId64 " ns", ns);
    } else if (a < 1e6) {
        snprintf(text, size, "%.1f us", v / 1e3);
    } else if (a < 1e9) {
        snprintf(text, size, "%.2f ms", v / 1e6);
    } else if (a < 86'400e9) {
        snprintf(text, size, "%.3f s", v / 1e9);
    } else {
        snprintf(text, size, "%.1f days", v / 86'400e9);
    }
    return text;
}

// What a band says about a gap that falls in it.
const char* band_bound(int band, char* text, size_t size) {
    if (band == 0) {
        snprintf(text, size, "negative (the clock was set back)");
    } else if (band == band_count - 1) {
        snprintf(text, size, "above 5000 ms");
    } else {
        snprintf(text, size, "at most %" PRIu32 " ms (below %" PRIu32 " ms)", intervals[band - 1],
                 intervals[band - 1] + 1);
    }
    return text;
}

void print_time(FILE* out, const report_row& row) {
    const SYSTEMTIME& t = row.timestamp;
    fprintf(out, "%04hu-%02hu-%02hu %02hu:%02hu:%02hu.%03hu", t.wYear, t.wMonth, t.wDay, t.wHour,
            t.wMinute, t.wSecond, t.wMilliseconds);
}

}  // namespace

void row_counts(const report_row& row, uint32_t counts[band_count]) {
    for (int b = 0; b < band_count; ++b) {
        counts[b] = row.*band_columns[b];
    }
}

run_summary summarize(const std::vector<logged_row>& rows) {
    run_summary s{};
    s.rows = rows.size();
    s.smallest_row = -1;
    s.largest_row = -1;
    std::vector<int64_t> latencies;
    for (size_t i = 0; i < rows.size(); ++i) {
        const report_row& row = rows[i].row;
        s.covered_seconds += static_cast<double>(row.diff_report) / 1e9;
        uint32_t counts[band_count];
        row_counts(row, counts);
        for (int b = 0; b < band_count; ++b) {
            s.bands[b] += counts[b];
            s.readings += counts[b];
        }
        if (s.smallest_row < 0 ||
            row.min_diff_this_rep <
                rows[static_cast<size_t>(s.smallest_row)].row.min_diff_this_rep) {
            s.smallest_row = static_cast<long>(i);
        }
        if (s.largest_row < 0 ||
            row.max_diff_this_rep >
                rows[static_cast<size_t>(s.largest_row)].row.max_diff_this_rep) {
            s.largest_row = static_cast<long>(i);
        }
        if (row.neg > 0 || row.out_to_lunch > 0) {
            s.clock_events.push_back(i);
        }
        if (row.diff_report > long_wait_ns) {
            s.long_waits.push_back(i);
        }
        if (i > 0) {
            latencies.push_back(row.printf_latency);
        }
    }
    s.median_band = band_of_rank(s.bands, s.readings, 0.5);
    s.p99_band = band_of_rank(s.bands, s.readings, 0.99);
    s.p999_band = band_of_rank(s.bands, s.readings, 0.999);
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        s.has_latency = true;
        s.median_latency = latencies[(latencies.size() - 1) / 2];
        s.largest_latency = latencies.back();
    }
    return s;
}

void print_summary(FILE* out, const std::vector<logged_row>& rows, const run_summary& s) {
    char a[64];
    char b[64];
    if (rows.empty()) {
        fprintf(out, "No rows: the log holds no report yet.\n");
        return;
    }
    fprintf(out, "Rows:        %zu, from ", s.rows);
    print_time(out, rows.front().row);
    fprintf(out, " to ");
    print_time(out, rows.back().row);
    fprintf(out, " UTC\n");
    fprintf(out, "Time:        %.3f s covered by the rows (their diff_report added up)\n",
            s.covered_seconds);
    fprintf(out, "Readings:    %" PRIu64 " (%.0f per second)\n\n", s.readings,
            s.covered_seconds > 0 ? static_cast<double>(s.readings) / s.covered_seconds : 0.0);

    fprintf(out, "Gaps by band, the whole run:\n");
    const uint64_t most = *std::max_element(s.bands, s.bands + band_count);
    for (int i = 0; i < band_count; ++i) {
        const double share = s.readings > 0 ? 100.0 * static_cast<double>(s.bands[i]) /
                                                  static_cast<double>(s.readings)
                                            : 0.0;
        int width = most > 0 ? static_cast<int>(40.0 * static_cast<double>(s.bands[i]) /
                                                static_cast<double>(most))
                             : 0;
        if (s.bands[i] > 0 && width == 0) {
            width = 1;
        }
        fprintf(out, "  %-12s %12" PRIu64 " %9.5f %%  %.*s\n", band_names[i], s.bands[i], share,
                width, "########################################");
    }
    if (s.readings > 0) {
        fprintf(out, "\nFrom the bands: median gap %s\n", band_bound(s.median_band, a, sizeof a));
        fprintf(out, "                p99 %s\n", band_bound(s.p99_band, a, sizeof a));
        fprintf(out, "                p99.9 %s\n", band_bound(s.p999_band, a, sizeof a));
    }

    const logged_row& small = rows[static_cast<size_t>(s.smallest_row)];
    const logged_row& large = rows[static_cast<size_t>(s.largest_row)];
    fprintf(out, "\nSmallest gap: %" PRId64 " ns (%s), in the row of ", small.row.min_diff_this_rep,
            duration(small.row.min_diff_this_rep, a, sizeof a));
    print_time(out, small.row);
    fprintf(out, " (line %ld)\n", small.line);
    fprintf(out, "Largest gap:  %" PRId64 " ns (%s), in the row of ", large.row.max_diff_this_rep,
            duration(large.row.max_diff_this_rep, a, sizeof a));
    print_time(out, large.row);
    fprintf(out, " (line %ld)\n", large.line);

    fprintf(out, "\nClock set back, set forward or process held up:%s\n",
            s.clock_events.empty() ? " never" : "");
    for (const size_t i : s.clock_events) {
        const logged_row& r = rows[i];
        fprintf(out, "  ");
        print_time(out, r.row);
        fprintf(out, " (line %ld):", r.line);
        if (r.row.neg > 0) {
            fprintf(out, " clock set back (%" PRIu32 " negative gap%s, down to %s)", r.row.neg,
                    r.row.neg == 1 ? "" : "s", duration(r.row.min_diff_this_rep, a, sizeof a));
        }
        if (r.row.out_to_lunch > 0) {
            fprintf(out, "%s", r.row.neg > 0 ? ";" : "");
            fprintf(out,
                    " clock set forward or process held up (%" PRIu32 " gap%s above 5 s, up to %s)",
                    r.row.out_to_lunch, r.row.out_to_lunch == 1 ? "" : "s",
                    duration(r.row.max_diff_this_rep, a, sizeof a));
        }
        fprintf(out, "\n");
    }

    fprintf(out, "\nStretches of more than 1.5 s without a row:%s\n",
            s.long_waits.empty() ? " none" : "");
    for (const size_t i : s.long_waits) {
        const logged_row& r = rows[i];
        fprintf(out, "  %s without a row before ", duration(r.row.diff_report, a, sizeof a));
        print_time(out, r.row);
        fprintf(out, " (line %ld)\n", r.line);
    }

    if (s.has_latency) {
        fprintf(out, "\nRow write time (printf_latency): median %s, largest %s\n",
                duration(s.median_latency, a, sizeof a), duration(s.largest_latency, b, sizeof b));
    }
}
