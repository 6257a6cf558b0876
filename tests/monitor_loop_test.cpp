#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "scripted_clock.h"
#include "stats/gap_stats.h"

namespace {

const gap_stats_record start_values = gap_stats;

// 2031-03-04 05:06:07.000 UTC.
constexpr uint64_t second_s = 135'748'407'670'000'000;
constexpr uint64_t ticks_per_second = 10'000'000;
constexpr uint64_t hour_ticks = 3'600 * ticks_per_second;

struct row {
    std::string time;  // "HH:MM:SS.mmm"
    int64_t diff_report, diff_avg, min_this, min_ever, max_this, max_ever;
    uint32_t counts[14];
    int64_t printf_latency;

    uint64_t readings() const {
        uint64_t sum = 0;
        for (uint32_t c : counts) {
            sum += c;
        }
        return sum;
    }
};

row parse_row(const std::string& line) {
    row r{};
    unsigned year, month, day, hour, minute, second, ms;
    const int fields =
        sscanf(line.c_str(),
               "%u-%u-%u %u:%u:%u,%u,%" SCNd64 ",%" SCNd64 ",%" SCNd64 ",%" SCNd64 ",%" SCNd64
               ",%" SCNd64 ",%u, %u,%u,%u, %u,%u,%u, %u,%u,%u, %u,%u,%u, %u,%" SCNd64,
               &year, &month, &day, &hour, &minute, &second, &ms, &r.diff_report, &r.diff_avg,
               &r.min_this, &r.min_ever, &r.max_this, &r.max_ever, &r.counts[0], &r.counts[1],
               &r.counts[2], &r.counts[3], &r.counts[4], &r.counts[5], &r.counts[6], &r.counts[7],
               &r.counts[8], &r.counts[9], &r.counts[10], &r.counts[11], &r.counts[12],
               &r.counts[13], &r.printf_latency);
    EXPECT_EQ(fields, 28) << line;
    char time[32];
    snprintf(time, sizeof time, "%02u:%02u:%02u.%03u", hour, minute, second, ms);
    r.time = time;
    return r;
}

// Runs the loop from `start` until the script ends; returns the rows it wrote.
std::vector<row> run_script(int32_t sleep_period, uint64_t start, uint64_t first_now,
                            decltype(clock_script::reading) reading) {
    gap_stats = start_values;
    previous_printf_diff = 0;
    script = clock_script{};
    script.now_ticks = first_now;
    script.reading = std::move(reading);
    const FILETIME start_reading{static_cast<uint32_t>(start), static_cast<uint32_t>(start >> 32)};

    testing::internal::CaptureStdout();
    try {
        run_monitor(sleep_period, start_reading);
    } catch (const script_over&) {
    }
    std::istringstream out(testing::internal::GetCapturedStdout());
    std::vector<row> rows;
    for (std::string line; std::getline(out, line);) {
        rows.push_back(parse_row(line));
    }
    return rows;
}

// Readings at the virtual time, which only pauses move on, until `end`.
auto virtual_clock_until(uint64_t end) {
    return [end](int, uint64_t now) -> std::optional<uint64_t> {
        if (now > end) {
            return std::nullopt;
        }
        return now;
    };
}

// Like virtual_clock_until, but every reading itself takes a millisecond.
auto slow_clock_until(uint64_t end) {
    return [end](int, uint64_t now) -> std::optional<uint64_t> {
        if (now > end) {
            return std::nullopt;
        }
        script.now_ticks += ticks_per_ms;
        return now;
    };
}

TEST(ReportSchedule, Table) {
    struct Case {
        uint16_t ms;
        bool resync_before;
        int64_t diff_report;
        bool due;
        bool resync_after;
    };
    const Case cases[] = {
        // Second half: only more than a second since the last row writes one.
        {500, false, 1'000'000'100, true, true},
        {999, true, 1'000'000'100, true, true},
        {500, false, 1'000'000'000, false, false},
        {500, true, 1'000'000'000, false, true},
        {999, true, -3'600'000'000'000, false, true},
        // First half with a resync pending: a row at once.
        {0, true, 0, true, false},
        {499, true, -3'600'000'000'000, true, false},
        // First half without: half a second or more since the last row.
        {499, false, 500'000'000, true, false},
        {0, false, 500'000'000, true, false},
        {499, false, 499'999'999, false, false},
        {0, false, 499'999'900, false, false},
        {499, false, -3'600'000'000'000, false, false},
        {499, false, 1'000'000'100, true, false},
    };
    for (const Case& c : cases) {
        bool resync = c.resync_before;
        EXPECT_EQ(report_is_due(c.ms, c.diff_report, &resync), c.due)
            << c.ms << " ms, diff_report " << c.diff_report << ", resync " << c.resync_before;
        EXPECT_EQ(resync, c.resync_after)
            << c.ms << " ms, diff_report " << c.diff_report << ", resync " << c.resync_before;
    }
}

TEST(MonitorLoop, WalksASleepPeriodOf700ms) {
    const std::vector<row> rows =
        run_script(700, second_s, second_s, virtual_clock_until(second_s + 6'300 * ticks_per_ms));
    const char* times[] = {"05:06:08.400", "05:06:09.100", "05:06:10.500",
                           "05:06:11.200", "05:06:12.600", "05:06:13.300"};
    const int64_t diff_reports[] = {1'400'000'000, 700'000'000,   1'400'000'000,
                                    700'000'000,   1'400'000'000, 700'000'000};
    ASSERT_EQ(rows.size(), 6u);
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].time, times[i]) << "row " << i;
        EXPECT_EQ(rows[i].diff_report, diff_reports[i]) << "row " << i;
    }
    // Every pass ends with the pause, a pass that writes a row (two readings) too.
    EXPECT_EQ(script.events,
              "R P700 R P700 R R P700 R R P700 R P700 R R P700 R R P700 R P700 R R P700 "
              "R R P700 ");
    // The first row counts the gaps 0, 700 and 700 ms; its mean leaves nothing out.
    const row& first = rows[0];
    EXPECT_EQ(first.readings(), 3u);
    EXPECT_EQ(first.counts[1], 1u);
    EXPECT_EQ(first.counts[10], 2u);
    EXPECT_EQ(first.diff_avg, 466'666'666);
    EXPECT_EQ(first.min_this, 0);
    EXPECT_EQ(first.max_this, 700'000'000);
    EXPECT_EQ(first.printf_latency, 0);
    // Later rows count exactly the readings since the previous row.
    EXPECT_EQ(rows[1].readings(), 1u);
    EXPECT_EQ(rows[2].readings(), 2u);
}

TEST(MonitorLoop, TwoSecondPeriodInFirstHalves) {
    const std::vector<row> rows =
        run_script(2000, second_s, second_s, virtual_clock_until(second_s + 10 * ticks_per_second));
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].min_this, 0);
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].time.substr(8), ".000") << i;
        EXPECT_EQ(rows[i].max_this, 2'000'000'000) << i;
        if (i > 0) {
            // Its only gap is two seconds; the minimum never rose above one.
            EXPECT_EQ(rows[i].min_this, 1'000'000'000) << i;
            EXPECT_EQ(rows[i].readings(), 1u) << i;
            EXPECT_EQ(rows[i].min_ever, 0) << i;
        }
    }
}

TEST(MonitorLoop, TwoSecondPeriodInSecondHalvesKeepsTheResync) {
    const uint64_t start = second_s + 600 * ticks_per_ms;
    const std::vector<row> rows =
        run_script(2000, start, start, virtual_clock_until(start + 10 * ticks_per_second));
    // Each reading after the first writes a row, all of them in a second half.
    ASSERT_EQ(rows.size(), 5u);
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].time.substr(8), ".600") << i;
        EXPECT_EQ(rows[i].diff_report, 2'000'000'000) << i;
    }
}

TEST(MonitorLoop, MeasuresFromTheStartReadingAndAfterEachRow) {
    // The start line and header took 5 ms; every reading takes 1 ms.
    const std::vector<row> rows = run_script(2000, second_s, second_s + 5 * ticks_per_ms,
                                             slow_clock_until(second_s + 9 * ticks_per_second));
    ASSERT_EQ(rows.size(), 4u);
    // First row: from the start reading; its first gap includes the start-up writes.
    EXPECT_EQ(rows[0].time, "05:06:09.006");
    EXPECT_EQ(rows[0].diff_report, 2'006'000'000);
    EXPECT_EQ(rows[0].min_this, 5'000'000);
    EXPECT_EQ(rows[0].counts[3], 1u);
    EXPECT_EQ(rows[0].max_this, 2'001'000'000);
    EXPECT_EQ(rows[0].counts[12], 1u);
    EXPECT_EQ(rows[0].printf_latency, 0);
    for (size_t i = 1; i < rows.size(); ++i) {
        // From trigger to trigger: the write, the pause and the next reading.
        EXPECT_EQ(rows[i].diff_report, 2'002'000'000) << i;
        // The gap runs from the reading after the write, not from the trigger.
        EXPECT_EQ(rows[i].max_this, 2'001'000'000) << i;
        EXPECT_EQ(rows[i].diff_avg, 2'001'000'000) << i;
        // The previous row's write time: its trigger to the reading after it.
        EXPECT_EQ(rows[i].printf_latency, 1'000'000) << i;
    }
}

TEST(MonitorLoop, NegativeSleepPeriodPausesAsZero) {
    run_script(-1, second_s, second_s, [](int index, uint64_t now) -> std::optional<uint64_t> {
        if (index == 3) {
            return std::nullopt;
        }
        return now + uint64_t(index) * ticks_per_ms;
    });
    EXPECT_EQ(script.events, "R P0 R P0 R P0 ");
}

// The clock steps by `step` ticks (forward when positive) once the virtual time passes
// second_s + 1.25 s, just after the first row; readings every 300 ms.
std::vector<row> run_with_clock_step(int64_t step, uint64_t end) {
    const uint64_t step_at = second_s + 1'250 * ticks_per_ms;
    return run_script(300, second_s, second_s, [=](int, uint64_t now) -> std::optional<uint64_t> {
        if (now > end) {
            return std::nullopt;
        }
        return now < step_at ? now : now + static_cast<uint64_t>(step);
    });
}

TEST(MonitorLoop, ClockSetBackAnHourHoldsRowsUntilItCatchesUp) {
    const int64_t back = -static_cast<int64_t>(hour_ticks);
    const std::vector<row> rows =
        run_with_clock_step(back, second_s + hour_ticks + 3 * ticks_per_second);
    // A row at 08.200, then none until the clock, set back to 05:06:08.500, has passed
    // that row's reading by half a second again in a first half.
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0].time, "05:06:08.200");
    const row& caught_up = rows[1];
    EXPECT_EQ(caught_up.time, "05:06:09.100");
    EXPECT_EQ(caught_up.counts[0], 1u);
    EXPECT_EQ(caught_up.min_this, -3'599'700'000'000);
    EXPECT_EQ(caught_up.diff_report, 900'000'000);
    // Every reading of the hour in between is in that row.
    EXPECT_EQ(caught_up.readings(), 12'003u);
}

TEST(MonitorLoop, ClockSetForwardAnHourWritesARowAtOnce) {
    const std::vector<row> rows =
        run_with_clock_step(static_cast<int64_t>(hour_ticks), second_s + 2 * ticks_per_second);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].time, "05:06:08.200");
    EXPECT_EQ(rows[1].time, "06:06:08.500");
    EXPECT_EQ(rows[1].diff_report, 3'600'300'000'000);
    EXPECT_EQ(rows[1].counts[13], 1u);
}

}  // namespace
