// Feeds arbitrary rows (any value in every field, any valid time) and run boundaries to
// the report's folds, printers and page: nothing may overflow or read out of bounds, the
// stall figures must stay ranges (at least <= at most), and the picture's line and ticks
// must lie within its axes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "report/events/row_events.h"
#include "report/fold/heat_grid.h"
#include "report/fold/report_figures.h"
#include "report/fold/run_fold.h"
#include "report/outputs/event_lines.h"
#include "report/outputs/html_page.h"
#include "report/outputs/picture.h"
#include "report/outputs/prom_file.h"
#include "report/outputs/summary.h"
#include "report/util/report_time.h"

namespace {

// Bytes that encode one row: the time's fields, then the row's numbers as they come.
constexpr size_t row_bytes = 8 + 6 * 8 + 14 * 4 + 8;

template <typename T>
T take(const uint8_t* data) {
    T value;
    memcpy(&value, data, sizeof value);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FILE* sink = fopen("/dev/null", "w");
    if (size < 9) {
        return 0;
    }
    const auto fold = std::make_unique<run_fold>();
    const auto grid = std::make_unique<heat_grid>();
    const int64_t stall_ms = 1 + data[0] % 5001;
    input_stage in{};
    start_input(&in, INT64_MIN, INT64_MAX);
    stall_rule rule;
    start_stall_rule(&rule, stall_ms * 1'000'000);
    start_fold(fold.get(), stall_ms * 1'000'000);
    event_lines text_lines, json_lines;
    open_event_lines(&text_lines, sink, false);
    open_event_lines(&json_lines, sink, true);
    start_heat(grid.get());
    const auto prom = std::make_unique<prom_file>();
    prom->path = "unwritten";  // folded, never written
    long line = 0;
    for (size_t at = 1; at + row_bytes <= size; at += row_bytes) {
        const uint8_t* p = data + at;
        ++line;
        if (p[0] % 16 == 0) {
            input_run_line(&in, p[1] % 2 == 0 ? "Starting at 07:00:00.000" : "", p[1] % 2 != 0);
            continue;
        }
        report_row row{};
        row.timestamp.wYear = static_cast<uint16_t>(1601 + take<uint16_t>(p + 1) % 29228);
        row.timestamp.wMonth = static_cast<uint16_t>(1 + p[3] % 12);
        row.timestamp.wDay = static_cast<uint16_t>(1 + p[4] % 28);
        row.timestamp.wHour = static_cast<uint16_t>(p[5] % 24);
        row.timestamp.wMinute = static_cast<uint16_t>(p[6] % 60);
        row.timestamp.wSecond = static_cast<uint16_t>(p[7] % 60);
        int64_t* const numbers[] = {&row.diff_report,       &row.diff_avg,
                                    &row.min_diff_this_rep, &row.min_diff_ever,
                                    &row.max_diff_this_rep, &row.max_diff_ever};
        for (int i = 0; i < 6; ++i) {
            *numbers[i] = take<int64_t>(p + 8 + 8 * i);
        }
        for (int b = 0; b < band_count; ++b) {
            row.*band_columns[b] = take<uint32_t>(p + 56 + 4 * b);
        }
        row.printf_latency = take<int64_t>(p + 112);
        window_row w;
        if (input_row(&in, row, line, &w)) {
            learn_clock(&rule, row);
            row_events events = find_row_events(row, threshold_in_force(&rule).threshold_ns);
            // Figures of any value, for the rules of a cause and their words.
            cause_figures f{};
            f.have = static_cast<uint32_t>(row.diff_avg) & 0x1ffffu;
            f.span_ns = f.interrupt_ns = f.row_due_ns = row.diff_report;
            f.run_delay_ns = f.monitor_cpu_ns = f.throttled_ns = row.min_diff_ever;
            f.wait_excess_ns = f.throttled_periods = row.max_diff_ever;
            f.steal_ns = f.cpu_steal_ns = f.clock_set_ns = row.printf_latency;
            f.psi_memory_full_us = f.major_faults = f.group_memory_full_us = row.min_diff_this_rep;
            f.suspended_ns = f.cpu_limit_millicpus = row.diff_avg;
            f.watch_gap_ns = f.involuntary_switches = row.max_diff_this_rep;
            f.stopped = p[0] & 1;
            f.frozen = (p[0] >> 1) & 1;
            events.cause = name_cause(f, events.largest_gap_ns, step_back_only_ns(events));
            // Culprits of any name and figure, for their words and their fold.
            events.culprits.count = p[1] % (max_culprits + 1);
            for (int i = 0; i < events.culprits.count; ++i) {
                culprit& c = events.culprits.top[i];
                c.pid = static_cast<long>(row.min_diff_ever);
                c.cpu_ns = row.max_diff_ever;
                memcpy(c.name, p + 8 + i, sizeof c.name - 1);
                c.name[sizeof c.name - 1] = '\0';
                memcpy(c.cgroup, p + 40, 20);
                c.cgroup[20] = '\0';
            }
            fold_row(fold.get(), w, events);
            fold_heat(grid.get(), w, events);
            event_lines_row(&text_lines, row, line, events, f);
            event_lines_row(&json_lines, row, line, events, f);
            fold_prom(prom.get(), row, events);
        }
    }
    finish_fold(fold.get());
    for (const stall_figures& s : fold->stall.figures) {
        if (s.gaps_low > s.gaps_high || s.time_low_ns > s.time_high_ns) {
            fprintf(stderr, "stall range upside down at %lld ns\n",
                    static_cast<long long>(s.threshold_ns));
            abort();
        }
    }
    log_facts facts{};
    facts.name = "fuzz";
    facts.lines = line;
    facts.input = &in;
    facts.ended = input_end::end_of_input;
    const report_figures figures{fold.get(), grid.get(), &rule, &facts};
    text_out out = to_file(sink);
    print_summary(&out, figures);
    print_json(sink, figures, true);
    print_json(sink, figures, false);
    if (grid->rows >= 2) {
        const auto m = std::make_unique<picture_model>();
        build_picture(m.get(), grid.get(), fold->stall.asked_ns);
        for (int i = 0; i < grid->count; ++i) {
            double y = 0;
            if (worst_point(*m, i, &y) && (y < m->worst_low || y > m->worst_high)) {
                fprintf(stderr, "worst gap of column %d off its axis\n", i);
                abort();
            }
        }
        for (int k = 0; k < m->time_tick_count; ++k) {
            if (m->time_ticks[k].at < 0 || m->time_ticks[k].at > grid->count) {
                fprintf(stderr, "time tick %d off its axis\n", k);
                abort();
            }
        }
    }
    static const std::string page = "/tmp/clockgap-fuzz-" + std::to_string(process_id()) + ".html";
    char reason[160];
    if (!write_html_page(page.c_str(), figures, reason, sizeof reason)) {
        fprintf(stderr, "page not written: %s\n", reason);
        abort();
    }
    return 0;
}
