#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "report/events/row_events.h"
#include "report/fold/heat_grid.h"
#include "report/fold/run_fold.h"
#include "report/input/line_source.h"
#include "report/input/log_reader.h"
#include "report/outputs/day_keeper.h"
#include "report/outputs/day_log.h"
#include "report/outputs/picture.h"
#include "report/outputs/prom_file.h"
#include "report/util/json_writer.h"
#include "report/util/report_time.h"

namespace {

// Two pieces of text as one string.
std::string joined(std::string_view a, std::string_view b) {
    std::string text(a);
    text.insert(text.end(), b.begin(), b.end());
    return text;
}

const char* const example =
    "2031-03-04 05:06:07,000,1000000000,1562,0,0,15625000,15625000,0, 639936,0,0, 0,64,0, "
    "0,0,0, 0,0,0, 0,0";

TEST(ReadLogLine, Kinds) {
    struct Case {
        std::string text;
        log_line_kind kind;
    };
    const std::string header = report_header;
    const std::vector<Case> cases = {
        {report_header, log_line_kind::header},
        {joined(header, "\r"), log_line_kind::header},
        {"Starting at 07:06:50.144", log_line_kind::preamble},
        {"Starting at 07:06:50.144\r", log_line_kind::preamble},
        {"Sleep period adjusted to 250 ms", log_line_kind::preamble},
        {"Warning: sleep period = 1001 ms sounds a little too high.", log_line_kind::preamble},
        {"abc does not look like an integer.", log_line_kind::preamble},
        {example, log_line_kind::row},
        {joined(example, "\r"), log_line_kind::row},
        {"", log_line_kind::bad},
        {"timestamp,ts_ms", log_line_kind::bad},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read_log_line(c.text).kind, c.kind) << c.text;
    }
}

TEST(ReadLogLine, ReadsEveryColumnOfARow) {
    const log_line line = read_log_line(example);
    ASSERT_EQ(line.kind, log_line_kind::row) << line.error;
    const report_row& r = line.row;
    EXPECT_EQ(r.timestamp.wYear, 2031);
    EXPECT_EQ(r.timestamp.wMonth, 3);
    EXPECT_EQ(r.timestamp.wDay, 4);
    EXPECT_EQ(r.timestamp.wHour, 5);
    EXPECT_EQ(r.timestamp.wMinute, 6);
    EXPECT_EQ(r.timestamp.wSecond, 7);
    EXPECT_EQ(r.timestamp.wMilliseconds, 0);
    EXPECT_EQ(r.diff_report, 1'000'000'000);
    EXPECT_EQ(r.diff_avg, 1562);
    EXPECT_EQ(r.max_diff_this_rep, 15'625'000);
    EXPECT_EQ(r.band_1ms, 639'936u);
    EXPECT_EQ(r.band_20ms, 64u);
    EXPECT_EQ(r.printf_latency, 0);
}

TEST(ReadLogLine, RowsTheMonitorWritesReadBackUnchanged) {
    report_row rows[3]{};
    rows[0].timestamp = {30828, 9, 0, 14, 2, 48, 5, 477};
    rows[0].diff_report = INT64_MIN;
    rows[0].max_diff_ever = INT64_MAX;
    rows[0].out_to_lunch = 4'294'967'295u;
    rows[1].timestamp = {10000, 1, 0, 1, 0, 0, 0, 7};
    rows[1].min_diff_this_rep = -100;
    rows[1].band_5s = 3;
    rows[2].timestamp = {1601, 12, 0, 31, 23, 59, 59, 999};
    rows[2].printf_latency = 31'100;
    for (const report_row& row : rows) {
        char text[report_row_capacity];
        const int length = format_report_row(&row, text, sizeof text);
        const log_line line =
            read_log_line(std::string_view(text, static_cast<size_t>(length) - 1));
        ASSERT_EQ(line.kind, log_line_kind::row) << text << line.error;
        EXPECT_EQ(memcmp(&line.row, &row, sizeof row), 0) << text;
        report_row fast{};
        ASSERT_TRUE(read_row(std::string_view(text, static_cast<size_t>(length) - 1), &fast));
        EXPECT_EQ(memcmp(&fast, &row, sizeof row), 0) << text;
    }
}

TEST(ReadLogLine, SaysWhatIsWrongWithABadRow) {
    struct Case {
        std::string text;
        const char* error;
    };
    std::string negative_count = example;
    negative_count.replace(negative_count.find(" 639936"), 7, " -5");
    std::string word = example;
    word.replace(word.find("1562"), 4, "abc");
    std::string overflow = example;
    overflow.replace(overflow.find("1000000000"), 10, "9223372036854775808");
    const std::vector<Case> cases = {
        {"2031-03-04 05:06:07,000,1",
         "has 3 fields where a row has 23: '2031-03-04 05:06:07,000,1'"},
        {joined(example, ",7"), "has 24 fields where a row has 23"},
        {word, "field 4 (diff_avg) is not a number: 'abc'"},
        {negative_count, "field 10 (1ms) is not a count: ' -5'"},
        {overflow, "field 3 (diff_report) is not a number: '9223372036854775808'"},
        {joined("2031-13-04", std::string_view(example).substr(10)),
         "field 1 (timestamp) is not a date and time"},
        {joined("2031-03-04 05:06:07,00", std::string_view(example).substr(23)),
         "field 2 (ts_ms) is not three digits of milliseconds: '00'"},
    };
    for (const Case& c : cases) {
        const log_line line = read_log_line(c.text);
        EXPECT_EQ(line.kind, log_line_kind::bad) << c.text;
        EXPECT_NE(strstr(line.error, c.error), nullptr) << line.error;
        report_row row;
        EXPECT_FALSE(read_row(c.text, &row)) << c.text;
    }
    // A long bad line is shown by its start only.
    const log_line long_line = read_log_line(std::string(5000, 'x'));
    EXPECT_LT(strlen(long_line.error), 120u);
}

// A row at second `second` past 2026-12-01 07:08:00 UTC with the given counts and gaps.
report_row row_at(int second, int64_t diff_report, std::vector<uint32_t> counts, int64_t min_gap,
                  int64_t max_gap, int64_t latency) {
    report_row r{};
    const int64_t ms = unix_ms(SYSTEMTIME{2026, 12, 0, 1, 7, 8, 0, 0}) + second * int64_t{1000};
    r.timestamp = SYSTEMTIME{2026, 12, 0, 1, 7, 8, 0, 0};
    r.timestamp.wMinute = static_cast<uint16_t>(ms / 60'000 % 60);
    r.timestamp.wHour = static_cast<uint16_t>(ms / 3'600'000 % 24);
    r.timestamp.wSecond = static_cast<uint16_t>(ms / 1000 % 60);
    r.diff_report = diff_report;
    r.min_diff_this_rep = r.min_diff_ever = min_gap;
    r.max_diff_this_rep = r.max_diff_ever = max_gap;
    r.printf_latency = latency;
    for (size_t i = 0; i < counts.size(); ++i) {
        r.*band_columns[i] = counts[i];
    }
    return r;
}

// The input stage, the stall rule and the fold, as the report runs them.
struct Fold {
    input_stage in{};
    stall_rule rule{};
    std::unique_ptr<run_fold> f = std::make_unique<run_fold>();
    explicit Fold(int64_t stall_ms = 10, int64_t from = std::numeric_limits<int64_t>::min(),
                  int64_t to = std::numeric_limits<int64_t>::max()) {
        start_input(&in, from, to);
        start_stall_rule(&rule, stall_ms * 1'000'000);
        start_fold(f.get(), stall_ms * 1'000'000);
    }
};

// One row through both; false when the window leaves it out.
bool feed(Fold* fold, const report_row& row, long line) {
    window_row w;
    if (!input_row(&fold->in, row, line, &w)) {
        return false;
    }
    learn_clock(&fold->rule, row);
    fold_row(fold->f.get(), w, find_row_events(row, threshold_in_force(&fold->rule).threshold_ns));
    return true;
}

TEST(RowEvents, EachEventAtItsEdge) {
    struct Case {
        const char* what;
        void (*set)(report_row*);
        bool any;
        row_events expected;  // stall_ns and largest_gap_ns are filled in below
    };
    const Case cases[] = {
        {"a quiet row", [](report_row*) {}, false, {}},
        {"the clock set back 2 s",
         [](report_row* r) {
             r->neg = 1;
             r->min_diff_this_rep = -2'000'000'000;
         },
         true,
         {.negative_gaps = 1, .step_back_ns = 2'000'000'000}},
        {"set back as far as a gap goes",
         [](report_row* r) {
             r->neg = 3;
             r->min_diff_this_rep = INT64_MIN;
         },
         true,
         {.negative_gaps = 3, .step_back_ns = INT64_MAX}},
        {"a gap at the threshold",
         [](report_row* r) { r->max_diff_this_rep = 10'000'000; },
         true,
         {.stall = true}},
        {"a gap just below it", [](report_row* r) { r->max_diff_this_rep = 9'999'999; }, false, {}},
        {"a gap above 5 s is also a stall",
         [](report_row* r) {
             r->out_to_lunch = 1;
             r->max_diff_this_rep = 7'000'000'000;
         },
         true,
         {.gaps_above_5s = 1, .stall = true}},
        {"a band wholly above the threshold, in a row not the monitor's",
         [](report_row* r) { r->band_50ms = 1; },
         true,
         {.stall = true}},
        {"a band the threshold cuts, below the largest gap",
         [](report_row* r) { r->band_10ms = 1; },
         false,
         {}},
        {"1.5 s without a row", [](report_row* r) { r->diff_report = 1'500'000'000; }, false, {}},
        {"just more",
         [](report_row* r) { r->diff_report = 1'500'000'001; },
         true,
         {.without_row_ns = 1'500'000'001}},
        {"a write of 100 ms", [](report_row* r) { r->printf_latency = 100'000'000; }, false, {}},
        {"just more",
         [](report_row* r) { r->printf_latency = 100'000'001; },
         true,
         {.slow_write_ns = 100'000'001}},
    };
    const auto fields = [](const row_events& x) {
        return std::tuple(x.negative_gaps, x.step_back_ns, x.gaps_above_5s, x.stall,
                          x.largest_gap_ns, x.stall_ns, x.without_row_ns, x.slow_write_ns);
    };
    for (const Case& c : cases) {
        report_row row{};
        row.timestamp = {2026, 12, 0, 7, 7, 0, 0, 0};
        row.diff_report = 1'000'000'000;
        row.max_diff_this_rep = 300'000;
        c.set(&row);
        row_events expected = c.expected;
        expected.stall_ns = 10'000'000;
        expected.largest_gap_ns = row.max_diff_this_rep;
        const row_events e = find_row_events(row, 10'000'000);
        EXPECT_EQ(fields(e), fields(expected)) << c.what;
        EXPECT_EQ(any_event(e), c.any) << c.what;
    }
}

TEST(RunFold, TotalsExtremesAndEvents) {
    Fold fold;
    run_fold* f = fold.f.get();
    input_run_line(&fold.in, "", true);
    const report_row rows[] = {
        row_at(1, 900'000'000, {0, 980, 15, 5}, 100, 4'000'000, 0),
        row_at(2, 1'000'000'000, {1, 990}, -3'600'000'000'000, 300'000, 40'000),
        row_at(9, 7'000'000'000, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 7'000'000'000,
               7'000'000'000, 30'000),
        row_at(10, 1'000'000'000, {0, 1000}, 150, 250'000, 20'000),
    };
    long line = 3;
    for (const report_row& r : rows) {
        EXPECT_TRUE(feed(&fold, r, line++));
    }
    finish_fold(f);
    EXPECT_EQ(f->totals.rows, 4u);
    EXPECT_EQ(f->totals.covered_ns, 9'900'000'000);
    EXPECT_EQ(f->totals.readings, 2992u);
    EXPECT_EQ(f->named.smallest.line, 4);
    EXPECT_EQ(f->named.largest.line, 5);
    EXPECT_EQ(f->named.clock_events.total, 2u);
    EXPECT_EQ(f->named.long_waits.total, 1u);
    EXPECT_EQ(f->named.long_waits.kept[0].line, 5);
    EXPECT_EQ(f->run_list.runs_with_rows, 1);
    EXPECT_FALSE(fold.in.start_missing);
    EXPECT_EQ(f->named.worst_count, 4);
    EXPECT_EQ(f->named.worst[0].line, 5);
    EXPECT_EQ(f->named.worst[1].line, 3);
    const fold_reading r = read_fold(f, &fold.rule);
    // 2970 of 2992 gaps are below 2 ms; rank 2989.008 (p99.9) lies among the 5 ms gaps.
    EXPECT_EQ(r.p50_band, 1);
    EXPECT_EQ(r.p99_band, 1);
    EXPECT_EQ(r.p999_band, 3);
    // The first row's write time (always 0) is left out: 40, 30 and 20 us remain.
    ASSERT_TRUE(r.has_latency);
    EXPECT_LE(r.latency_median_low, 30'000);
    EXPECT_GE(r.latency_median_high, 30'000);
    EXPECT_GT(r.latency_median_low, 30'000 * 7 / 8);
    EXPECT_EQ(r.table_ms, 0) << "ten seconds need no table";
}

TEST(RunFold, StallBoundsFromBandsAndExactLargestGaps) {
    struct Case {
        const char* what;
        int64_t stall_ms;
        std::vector<report_row> rows;
        uint64_t rows_with, gaps_low, gaps_high, time_low, time_high;
    };
    const std::vector<Case> cases = {
        {"one stall in a row: exact",
         10,
         {row_at(1, 1'000'000'000, {0, 500, 0, 0, 0, 0, 1}, 100, 37'000'000, 0)},
         1,
         1,
         1,
         37'000'000,
         37'000'000},
        {"three in a row: the largest exact, the others within their band",
         10,
         {row_at(1, 1'000'000'000, {0, 500, 0, 0, 0, 2, 1}, 100, 37'000'000, 0)},
         1,
         3,
         3,
         37'000'000 + 2 * 11'000'000,
         37'000'000 + 2 * 20'999'999},
        {"a threshold inside a band: its gaps may or may not be stalls",
         8,
         {row_at(1, 1'000'000'000, {0, 500, 0, 0, 3}, 100, 9'500'000, 0)},
         1,
         1,
         3,
         9'500'000,
         3 * 9'500'000},
        {"below the threshold: none, whatever the bands",
         50,
         {row_at(1, 1'000'000'000, {0, 500, 0, 0, 3, 4}, 100, 20'000'000, 0)},
         0,
         0,
         0,
         0,
         0},
        {"above 5 s: bounded by the row's largest gap",
         10,
         {row_at(1, 17'000'000'000, {0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 100, 8'000'000'000,
                 0)},
         1,
         2,
         2,
         8'000'000'000 + 5'001'000'000,
         16'000'000'000},
        // Rows built to the limit: their gaps fill the whole second.
        {"no more stall time than the row's diff_report, no more stalls than fit in it",
         7,
         {[] {
             report_row r = row_at(1, 1'000'000'000, {0, 0, 0, 0, 160}, 6'000'000, 10'500'000, 0);
             r.diff_avg = 6'250'000;
             return r;
         }()},
         1,
         1,
         1'000'000'000 / 7'000'000,
         10'500'000,
         1'000'000'000},
        {"with the clock set back, the mean bounds them",
         7,
         {[] {
             report_row r = row_at(1, 1'000'000'000, {1, 0, 0, 0, 100}, -5'000'000, 10'500'000, 0);
             r.diff_avg = 8'000'000;
             return r;
         }()},
         1,
         1,
         100,
         10'500'000,
         100 * 8'000'000 + 100},
    };
    for (const Case& c : cases) {
        Fold fold(c.stall_ms);
        for (const report_row& r : c.rows) {
            feed(&fold, r, 3);
        }
        const stall_figures& s = *read_fold(fold.f.get(), &fold.rule).stalls;
        EXPECT_EQ(s.rows, c.rows_with) << c.what;
        EXPECT_EQ(s.gaps_low, c.gaps_low) << c.what;
        EXPECT_EQ(s.gaps_high, c.gaps_high) << c.what;
        EXPECT_EQ(s.time_low_ns, c.time_low) << c.what;
        EXPECT_EQ(s.time_high_ns, c.time_high) << c.what;
    }
}

TEST(RunFold, ACoarseClockDoesNotCountOneTickAsAStall) {
    Fold fold;
    for (int i = 0; i < 10; ++i) {
        // 64 steps of 15.625 ms a second and readings that repeat; one row held 40 ms.
        const bool held = i == 6;
        feed(&fold,
             row_at(i, 1'000'000'000, {0, 600'000, 0, 0, 0, 63, held ? 1u : 0u}, 0,
                    held ? 40'000'000 : 15'625'000, 0),
             i + 3);
    }
    const fold_reading r = read_fold(fold.f.get(), &fold.rule);
    EXPECT_TRUE(r.rule.coarse);
    EXPECT_EQ(r.rule.tick_ns, 15'625'000);
    EXPECT_EQ(r.stalls->threshold_ns, 21'000'000) << "from the band above the tick's";
    EXPECT_EQ(r.stalls->rows, 1u);
    EXPECT_EQ(r.stalls->gaps_low, 1u);
}

TEST(RunFold, RunsWindowAndFragments) {
    Fold fold(10, unix_ms(row_at(2, 0, {}, 0, 0, 0).timestamp),
              std::numeric_limits<int64_t>::max());
    run_fold* f = fold.f.get();
    // A fragment (rows first), then a second run that starts before the first ended.
    EXPECT_FALSE(feed(&fold, row_at(1, 1'000'000'000, {0, 5}, 0, 1, 0), 1)) << "outside";
    EXPECT_TRUE(feed(&fold, row_at(5, 1'000'000'000, {0, 5}, 0, 1, 0), 2));
    input_run_line(&fold.in, "", true);
    input_run_line(&fold.in, "", true);
    EXPECT_TRUE(feed(&fold, row_at(3, 700'000'000, {0, 7}, 0, 1, 0), 5));
    EXPECT_TRUE(feed(&fold, row_at(4, 1'000'000'000, {0, 7}, 0, 1, 0), 6));
    finish_fold(f);
    EXPECT_TRUE(fold.in.start_missing);
    EXPECT_EQ(fold.in.rows_outside, 1u);
    ASSERT_EQ(f->run_list.runs_with_rows, 2);
    EXPECT_FALSE(f->run_list.runs[0].has_start);
    EXPECT_TRUE(f->run_list.runs[1].has_start);
    EXPECT_TRUE(f->run_list.runs[1].earlier);
    EXPECT_EQ(f->run_list.runs[1].rows, 2u);
    EXPECT_EQ(f->run_list.runs[1].covered_ns, 1'700'000'000);
    EXPECT_EQ(f->run_list.runs[1].first_line, 5);
    // Only the monitor's first row of a run carries no write time: the first row of the
    // fragment, whose start is missing, carries one.
    EXPECT_EQ(f->latency.rows, 2u);
    EXPECT_EQ(f->latency.slowest.line, 2);
}

TEST(RunFold, TableTakesLongerSpansWhenFullAndKeepsTotals) {
    Fold fold;
    run_fold* f = fold.f.get();
    // One row every 30 minutes for 30 days: 1440 hours, more than the table holds.
    report_row r = row_at(0, 1'000'000'000, {0, 100}, 0, 5'000, 0);
    r.timestamp = SYSTEMTIME{2026, 12, 0, 1, 0, 0, 0, 0};
    const int64_t start = unix_ms(r.timestamp);
    for (int i = 0; i < 1440; ++i) {
        const int64_t ms = start + i * int64_t{1'800'000};
        const int64_t days = floor_div(ms, ms_per_day);
        const int64_t in_day = ms - days * ms_per_day;
        r.timestamp.wDay = static_cast<uint16_t>(1 + days - floor_div(start, ms_per_day));
        r.timestamp.wHour = static_cast<uint16_t>(in_day / ms_per_hour);
        r.timestamp.wMinute = static_cast<uint16_t>(in_day / 60'000 % 60);
        r.max_diff_this_rep = i == 700 ? 9'000'000 : 5'000;
        feed(&fold, r, i + 3);
    }
    const fold_reading reading = read_fold(f, &fold.rule);
    EXPECT_EQ(reading.table_ms, ms_per_day);
    period_entry lines[kept_periods];
    const int count = table_lines(&f->table, reading.table_ms, lines, kept_periods);
    ASSERT_EQ(count, 30);
    uint64_t rows = 0;
    for (int i = 0; i < count; ++i) {
        rows += lines[i].rows;
        EXPECT_EQ(lines[i].rows, 48u);
        EXPECT_EQ(lines[i].worst_ns, i == 14 ? 9'000'000 : 5'000) << i;
    }
    EXPECT_EQ(rows, 1440u);
}

TEST(HeatGrid, ColumnsWidenToHoldTheLogAndKeepEveryCount) {
    const auto grid = std::make_unique<heat_grid>();
    start_heat(grid.get());
    const report_row r =
        row_at(0, 1'000'000'000, {1, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, -5, 6'000'000'000, 0);
    const row_events events = find_row_events(r, 10'000'000);
    const int64_t start = 1'796'601'600'000;  // a whole day
    // A week, one row a minute, then one row before the first (an earlier run).
    for (int64_t m = 0; m < 7 * 1440; ++m) {
        fold_heat(grid.get(), window_row{&r, start + m * 60'000, 1, 1, true, 1}, events);
    }
    fold_heat(grid.get(), window_row{&r, start - 3 * ms_per_hour, 1, 1, true, 1}, events);
    EXPECT_LE(grid->count, heat_columns);
    EXPECT_EQ(grid->width_ms, 1'200'000);
    EXPECT_EQ(grid->rows, 7u * 1440 + 1);
    uint64_t rows = 0, counts = 0, set_back = 0;
    for (int i = 0; i < grid->count; ++i) {
        rows += grid->cells[i].rows;
        counts += grid->cells[i].bands[1];
        set_back += grid->cells[i].set_back.rows;
    }
    EXPECT_EQ(rows, grid->rows);
    EXPECT_EQ(counts, 10 * grid->rows);
    EXPECT_EQ(set_back, grid->rows);
    EXPECT_EQ(grid->first * grid->width_ms, start - 3 * ms_per_hour);
}

// A grid of `rows` rows, `step_ms` apart from 2026-12-07 00:00:00 UTC, each with
// `count` gaps in band 1 and a largest gap of `worst_ns`.
std::unique_ptr<heat_grid> grid_of(int64_t rows, int64_t step_ms, uint32_t count,
                                   int64_t worst_ns) {
    auto grid = std::make_unique<heat_grid>();
    start_heat(grid.get());
    report_row r = row_at(0, 1'000'000'000, {0, count}, 100, worst_ns, 0);
    for (int64_t i = 0; i < rows; ++i) {
        const window_row in{&r, 1'796'601'600'000 + i * step_ms, static_cast<long>(i + 3), 1, true,
                            1};
        fold_heat(grid.get(), in, find_row_events(r, 10'000'000));
    }
    return grid;
}

TEST(Picture, TimeTicksSuitTheSpan) {
    struct Case {
        int64_t rows, step_ms;
        std::vector<std::string> first_labels;
        int ticks;
    };
    const Case cases[] = {
        {60, 1000, {"00:00:00", "00:00:10", "00:00:20"}, 7},  // a minute: 10 s apart
        {3600, 1000, {"00:00", "00:10", "00:20"}, 7},         // an hour: 10 min apart
        {7 * 1440, 60'000, {"2026-12-07", "2026-12-08"}, 8},  // a week: a day apart
        {3 * 1440, 60'000, {"12-07 00:00", "12-07 12:00"}, 7},
    };
    for (const Case& c : cases) {
        const auto grid = grid_of(c.rows, c.step_ms, 5, 300'000);
        picture_model m;
        build_picture(&m, grid.get(), 10'000'000);
        EXPECT_EQ(m.time_tick_count, c.ticks) << c.rows;
        for (size_t k = 0; k < c.first_labels.size(); ++k) {
            EXPECT_EQ(m.time_ticks[k].label, c.first_labels[k]) << c.rows;
        }
        for (int k = 0; k < m.time_tick_count; ++k) {
            EXPECT_GE(m.time_ticks[k].at, 0) << c.rows;
            EXPECT_LE(m.time_ticks[k].at, grid->count) << c.rows;
        }
    }
}

TEST(Picture, AYearOfFiveDigitsIsWrittenWhole) {
    const auto grid = std::make_unique<heat_grid>();
    start_heat(grid.get());
    const report_row r = row_at(0, 1'000'000'000, {0, 5}, 100, 300'000, 0);
    const int64_t start = unix_ms(SYSTEMTIME{20000, 1, 0, 1, 0, 0, 0, 0});
    for (int64_t day = 0; day < 7; ++day) {
        fold_heat(grid.get(), window_row{&r, start + day * ms_per_day, 1, 1, true, 1},
                  find_row_events(r, 10'000'000));
    }
    picture_model m;
    build_picture(&m, grid.get(), 10'000'000);
    EXPECT_STREQ(m.time_ticks[0].label, "20000-01-01");
    EXPECT_NE(strstr(m.title, "20000-01-01 00:00:00 to 20000-01-07 00:10:00 UTC"), nullptr)
        << m.title;
    char span[64];
    column_span_words(m, 0, span, sizeof span);
    EXPECT_STREQ(span, "20000-01-01 00:00 to 00:10 UTC");
}

TEST(Picture, ColourScaleEndsAtAPowerOfTenAboveTheLargestCount) {
    struct Case {
        uint32_t count;
        std::vector<std::string> labels;
    };
    const Case cases[] = {
        {1, {"1", "10"}},
        {10, {"1", "10"}},
        {11, {"1", "10", "100"}},
        {999'999, {"1", "10", "100", "1k", "10k", "100k", "1M"}},
        {4'000'000'000u, {"1", "10", "100", "1k", "10k", "100k", "1M", "10M", "100M", "1G", "10G"}},
    };
    for (const Case& c : cases) {
        const auto grid = grid_of(10, 1000, c.count, 300'000);
        picture_model m;
        build_picture(&m, grid.get(), 10'000'000);
        ASSERT_EQ(m.colour_tick_count, static_cast<int>(c.labels.size())) << c.count;
        for (int k = 0; k < m.colour_tick_count; ++k) {
            EXPECT_EQ(m.colour_ticks[k].label, c.labels[static_cast<size_t>(k)]);
        }
        EXPECT_EQ(m.colour_ticks[m.colour_tick_count - 1].at, 1.0);
        // The ends and the middle of the scale are its stops, exactly.
        EXPECT_EQ(cell_colour(m, 1), colour_stops[0]);
        EXPECT_EQ(cell_colour(m, m.colour_top), colour_stops[4]);
        EXPECT_EQ(scale_colour(0.5), colour_stops[2]);
    }
}

TEST(Picture, WorstGapAxisHoldsTheLineAndTheStallThreshold) {
    struct Case {
        int64_t worst_ns, stall_ns;
        const char *lowest, *highest;
    };
    const Case cases[] = {
        {300'000, 10'000'000, "100 µs", "10 ms"},
        {30'001'000'000, 10'000'000, "10 ms", "100 s"},
        {INT64_MAX, 1'000'000, "1 ms", "300 years"},
    };
    for (const Case& c : cases) {
        const auto grid = grid_of(100, 1000, 5, c.worst_ns);
        picture_model m;
        build_picture(&m, grid.get(), c.stall_ns);
        EXPECT_STREQ(m.worst_ticks[0].label, c.lowest);
        EXPECT_STREQ(m.worst_ticks[m.worst_tick_count - 1].label, c.highest);
        double y = 0;
        ASSERT_TRUE(worst_point(m, 0, &y));
        EXPECT_GE(y, m.worst_low);
        EXPECT_LE(y, m.worst_high);
        EXPECT_GE(m.stall_at, m.worst_low);
    }
    // No rows, or a worst gap that a log scale cannot place: the line breaks.
    const auto gappy = grid_of(2, 5000, 5, 300'000);
    picture_model m;
    build_picture(&m, gappy.get(), 10'000'000);
    double y = 0;
    EXPECT_TRUE(worst_point(m, 0, &y));
    EXPECT_FALSE(worst_point(m, 1, &y));
    const auto flat = grid_of(2, 1000, 5, 0);
    build_picture(&m, flat.get(), 10'000'000);
    EXPECT_FALSE(worst_point(m, 0, &y));
}

TEST(Picture, LogarithmAndBandWords) {
    for (const double x : {1e-6, 0.001, 0.3, 1.0, 2.0, 10.0, 12345.678, 1e12, 9.2e12}) {
        EXPECT_NEAR(log10_exact_ops(x), std::log10(x), 1e-13) << x;
    }
    const std::pair<int, const char*> bands[] = {{0, "negative (the clock set back)"},
                                                 {1, "0 to 1 ms"},
                                                 {2, "2 ms"},
                                                 {8, "101 to 200 ms"},
                                                 {12, "2001 to 5000 ms"},
                                                 {13, "above 5000 ms"}};
    for (const auto& [band, words] : bands) {
        char text[48];
        band_range_words(band, text, sizeof text);
        EXPECT_STREQ(text, words);
    }
    const std::pair<int64_t, const char*> spans[] = {
        {10'000, "10 s"},      {300'000, "5 min"},      {7'200'000, "2 h"},
        {86'400'000, "1 day"}, {172'800'000, "2 days"}, {90'000'000, "1 day"}};
    for (const auto& [ms, words] : spans) {
        char text[32];
        span_words(ms, text, sizeof text);
        EXPECT_STREQ(text, words);
    }
}

TEST(ReportTime, ParsesAndFormatsUtc) {
    struct Case {
        const char* text;
        bool ok;
        const char* iso;
    };
    const Case cases[] = {
        {"2026-12-07T08:30:00Z", true, "2026-12-07T08:30:00.000Z"},
        {"2026-12-07 08:30", true, "2026-12-07T08:30:00.000Z"},
        {"2026-12-07", true, "2026-12-07T00:00:00.000Z"},
        {"2026-12-07T08:30:05.5", true, "2026-12-07T08:30:05.500Z"},
        {"1601-01-01T00:00:00.000Z", true, "1601-01-01T00:00:00.000Z"},
        {"30828-09-14", false, ""},
        {"2026-02-30", false, ""},
        {"2026-12-07T24:00", false, ""},
        {"2026-12-07T08:30+01:00", true, "2026-12-07T07:30:00.000Z"},
        {"2026-12-07T08:30:00.250-0530", true, "2026-12-07T14:00:00.250Z"},
        {"2026-12-07T08:30+01", true, "2026-12-07T07:30:00.000Z"},
        {"2026-12-07T08:30+1:00", false, ""},
        {"2026-12-07T08:30+01:00Z", false, ""},
        {"yesterday", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        int64_t ms = 0;
        EXPECT_EQ(parse_utc(c.text, &ms), c.ok) << c.text;
        if (c.ok) {
            char text[40];
            format_utc(ms, true, text, sizeof text);
            EXPECT_STREQ(text, c.iso);
        }
    }
    EXPECT_EQ(unix_ms(SYSTEMTIME{1970, 1, 0, 1, 0, 0, 1, 2}), 1002);
    EXPECT_EQ(floor_div(-1, 1000), -1);
}

// The lines of `bytes`, as a file read through the line source.
std::vector<std::pair<line_status, std::string>> lines_of(const std::string& bytes) {
    const std::string path = testing::TempDir() + "line_source_test.log";
    FILE* file = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    log_input input{};
    char reason[160];
    EXPECT_TRUE(open_log(path.c_str(), &input, reason, sizeof reason)) << reason;
    line_source source{};
    open_line_source(&source, input);
    std::vector<std::pair<line_status, std::string>> out;
    for (;;) {
        std::string_view text;
        const line_status status = next_line(&source, &text, reason, sizeof reason);
        if (status == line_status::end) {
            break;
        }
        out.emplace_back(status, std::string(text));
    }
    close_log(&input);
    remove(path.c_str());
    return out;
}

// The JSON writer keeps what is open itself: the right bracket closes each, and a
// caller's mistake stops the program instead of writing a document that does not parse.
TEST(JsonWriter, ClosesWhatItOpenedAndStopsOnMisuse) {
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    json_writer w = json_start(out, false);
    json_open_object(&w, nullptr);
    json_open_array(&w, "a \"b\"");
    json_int(&w, nullptr, -1);
    json_open_object(&w, nullptr);
    json_close(&w);
    json_close(&w);
    json_null(&w, "c");
    json_close(&w);
    rewind(out);
    char text[256] = "";
    EXPECT_GT(fread(text, 1, sizeof text - 1, out), 0u);
    fclose(out);
    EXPECT_STREQ(text, "{\"a \\\"b\\\"\": [-1, {}], \"c\": null}\n");
    // qemu-user cannot run a death test: a forked child that aborts hangs there, and a
    // child that execs this program cannot start it without the emulator.
    if (getenv("CLOCKGAP_EMULATED") != nullptr) {
        GTEST_SKIP() << "death tests do not run under qemu-user";
    }
    const auto misuse = [](void (*use)(json_writer*)) {
        json_writer m = json_start(stderr, false);
        use(&m);
    };
    EXPECT_DEATH(misuse([](json_writer* m) { json_close(m); }), "closing what is not open");
    EXPECT_DEATH(misuse([](json_writer* m) {
                     json_open_array(m, nullptr);
                     json_int(m, "key", 1);
                 }),
                 "a key outside an object");
    EXPECT_DEATH(misuse([](json_writer* m) {
                     json_open_object(m, nullptr);
                     json_int(m, nullptr, 1);
                 }),
                 "without a key");
    EXPECT_DEATH(misuse([](json_writer* m) {
                     for (int i = 0; i <= json_deepest; ++i) {
                         json_open_array(m, nullptr);
                     }
                 }),
                 "nested too deep");
}

TEST(LineSource, LineEndsCutLinesAndOverlongLines) {
    using L = std::vector<std::pair<line_status, std::string>>;
    EXPECT_EQ(lines_of("a\nb\r\n\nc"), (L{{line_status::line, "a"},
                                          {line_status::line, "b"},
                                          {line_status::line, ""},
                                          {line_status::cut_short, "c"}}));
    EXPECT_EQ(lines_of(""), L{});
    const std::string longer(longest_line + 1, 'x');
    EXPECT_EQ(lines_of(longer + "\nz\n"),
              (L{{line_status::too_long, longer}, {line_status::line, "z"}}));
    // A line across the buffer's edge comes whole.
    const std::string filler(1'048'570, 'y');
    const L across = lines_of(filler + "\n" + std::string(100, 'q') + "\n");
    ASSERT_EQ(across.size(), 2u);
    EXPECT_EQ(across[0].first, line_status::too_long);
    EXPECT_EQ(across[1], (std::pair{line_status::line, std::string(100, 'q')}));
}

}  // namespace

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Every file this process writes stops at `bytes` while it lives, as on a full disk: a
// write past it fails (EFBIG) instead of ending the process.
struct small_files {
    rlimit before{};
    explicit small_files(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &before);
        const rlimit limit{bytes, before.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~small_files() { setrlimit(RLIMIT_FSIZE, &before); }
};

std::string read_whole(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n = 0;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
            text.append(buffer, n);
        }
        fclose(f);
    }
    return text;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

// Each file sink on writes that fail: it says so once, remembers it for the exit status,
// keeps whole what was written before, and says when it writes again.
TEST(Sinks, AFailingWriteIsReportedOnceAndRemembered) {
    char folder[] = "/tmp/clockgap-sinks-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string log_path = std::string(folder) + "/run.log";
    const std::string prom_path = std::string(folder) + "/clockgap.prom";
    report_row row{};
    row.timestamp = {2026, 12, 0, 7, 7, 0, 1, 0};
    row.diff_report = 1'000'000'000;
    const std::string line(2000, '7');  // longer than the limit below
    char reason[160] = "";

    day_log days{};
    long held_by = 0;
    ASSERT_TRUE(start_day_log(&days, log_path.c_str(), 0, false, reason, sizeof reason, &held_by))
        << reason;
    const auto prom = std::make_unique<prom_file>();
    ASSERT_TRUE(start_prom_file(prom.get(), prom_path.c_str(), reason, sizeof reason)) << reason;
    const auto fold = std::make_unique<run_fold>();
    start_fold(fold.get(), 10'000'000);
    fold_prom(prom.get(), row, find_row_events(row, 10'000'000));
    write_prom(prom.get(), fold.get());
    const std::string first_prom = read_whole(prom_path);
    ASSERT_NE(first_prom.find("clockgap_rows_total"), std::string::npos);

    testing::internal::CaptureStderr();
    {
        const small_files full(1500);  // room for what is said, not for a line or the metrics
        log_row(&days, line, row);
        EXPECT_TRUE(days.failing);
        log_row(&days, line, row);  // tried again, not said again
        for (int i = 0; i < 2; ++i) {
            fold_prom(prom.get(), row, find_row_events(row, 10'000'000));
            write_prom(prom.get(), fold.get());
        }
        EXPECT_TRUE(prom->failing);
    }
    log_row(&days, "a row", row);
    fold_prom(prom.get(), row, find_row_events(row, 10'000'000));
    write_prom(prom.get(), fold.get());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(finish_day_log(&days)) << "lines were lost";
    EXPECT_FALSE(prom->failing);
    EXPECT_EQ(count_of(said, "cannot write to " + log_path), 1u) << said;
    EXPECT_EQ(count_of(said, "lines reach " + log_path + " again"), 1u) << said;
    EXPECT_EQ(count_of(said, "cannot write " + prom_path), 1u) << said;
    EXPECT_EQ(count_of(said, prom_path + " is written again"), 1u) << said;
    // The log holds whole lines only; the metrics file was never a part.
    EXPECT_EQ(read_whole(log_path), std::string(report_header) + "\na row\n");
    EXPECT_EQ(prom->row_bands[1], 4u);
    remove(log_path.c_str());
    remove(prom_path.c_str());
    rmdir(folder);
}
#endif

// Only the files that a pattern could have written are ever removed by --keep.
TEST(DayKeeper, RemovesOnlyNamesThePatternCouldHaveWritten) {
    const struct {
        const char* pattern;
        const char* name;
        bool matches;
    } cases[] = {
        {"/var/log/clockgap/clockgap-%Y-%m-%d.log", "clockgap-2026-12-08.log", true},
        {"/var/log/clockgap/clockgap-%Y-%m-%d.log", "clockgap-2026-12-08.log.gz", true},
        {"/var/log/clockgap/clockgap-%Y-%m-%d.log", "clockgap-10000-01-01.log", true},
        {"/var/log/clockgap/clockgap-%Y-%m-%d.log", "clockgap-2026-12-08.log.bak", false},
        {"/var/log/clockgap/clockgap-%Y-%m-%d.log", "clockgap-2026-12-08.log.gz.part-42", false},
        {"/var/log/clockgap/clockgap-%Y-%m-%d.log", "clockgap-today.log", false},
        {"/var/log/clockgap/clockgap-%Y-%m-%d.log", "clockgap-2026-12.log", false},
        {"/var/log/clockgap/clockgap-%Y-%m-%d.log", "notes.txt", false},
        {"/var/log/clockgap/clockgap-%Y-%m-%d.log", ".clockgap-%Y-%m-%d.log.order", false},
        {"clockgap-%F.log", "clockgap-2026-12-08.log", true},
        {"run-%a-%d.log", "run-Tue-08.log", true},
        {"run-%a-%d.log", "run-2-08.log", false},
        {"100%%-%j.log", "100%-342.log", true},
        {"100%%-%j.log", "100x-342.log", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pattern_could_write(c.pattern, c.name), c.matches) << c.pattern << " " << c.name;
    }
    EXPECT_TRUE(day_pattern_ok("/var/log/clockgap/clockgap-%Y-%m-%d.log"));
    EXPECT_FALSE(day_pattern_ok("/var/log/clockgap/clockgap.log"));
    EXPECT_FALSE(day_pattern_ok("/var/log/%Y/clockgap-%m-%d.log"));
}
