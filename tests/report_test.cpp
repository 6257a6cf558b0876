#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "report/log_reader.h"
#include "report/run_summary.h"

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
    }
    // A long bad line is shown by its start only.
    const log_line long_line = read_log_line(std::string(5000, 'x'));
    EXPECT_LT(strlen(long_line.error), 120u);
}

logged_row row_at(int second, int64_t diff_report, std::vector<uint32_t> counts, int64_t min_gap,
                  int64_t max_gap, int64_t latency) {
    logged_row r{};
    r.row.timestamp = {2026, 12, 1, 7, 8, 0, static_cast<uint16_t>(second), 0};
    r.row.diff_report = diff_report;
    r.row.min_diff_this_rep = min_gap;
    r.row.max_diff_this_rep = max_gap;
    r.row.printf_latency = latency;
    for (size_t i = 0; i < counts.size(); ++i) {
        r.row.*band_columns[i] = counts[i];
    }
    r.line = second + 3;
    return r;
}

TEST(Summarize, TotalsAreTheSumsOfTheRows) {
    const std::vector<logged_row> rows = {
        row_at(1, 900'000'000, {0, 980, 15, 5}, 100, 4'000'000, 0),
        row_at(2, 1'000'000'000, {1, 990, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, -3'600'000'000'000,
               300'000, 40'000),
        row_at(9, 7'000'000'000, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 7'000'000'000,
               7'000'000'000, 30'000),
        row_at(10, 1'000'000'000, {0, 1000}, 150, 250'000, 20'000),
    };
    const run_summary s = summarize(rows);
    EXPECT_EQ(s.rows, 4u);
    EXPECT_DOUBLE_EQ(s.covered_seconds, 9.9);
    EXPECT_EQ(s.readings, 2992u);
    const uint64_t bands[band_count] = {1, 2970, 15, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int b = 0; b < band_count; ++b) {
        EXPECT_EQ(s.bands[b], bands[b]) << band_names[b];
    }
    // 2970 of 2992 gaps are below 2 ms: the median and p99 lie there; p99.9 (rank 2990)
    // lies among the 5 ms gaps.
    EXPECT_EQ(s.median_band, 1);
    EXPECT_EQ(s.p99_band, 1);
    EXPECT_EQ(s.p999_band, 3);
    EXPECT_EQ(s.smallest_row, 1);
    EXPECT_EQ(s.largest_row, 2);
    EXPECT_EQ(s.clock_events, (std::vector<size_t>{1, 2}));
    EXPECT_EQ(s.long_waits, (std::vector<size_t>{2}));
    EXPECT_TRUE(s.has_latency);
    EXPECT_EQ(s.median_latency, 30'000);
    EXPECT_EQ(s.largest_latency, 40'000);
}

TEST(Summarize, EmptyAndSingleRowLogs) {
    const run_summary none = summarize({});
    EXPECT_EQ(none.rows, 0u);
    EXPECT_EQ(none.median_band, -1);
    EXPECT_EQ(none.smallest_row, -1);
    EXPECT_FALSE(none.has_latency);

    const run_summary one = summarize({row_at(1, 500'000'000, {0, 10}, 0, 5, 0)});
    EXPECT_EQ(one.readings, 10u);
    EXPECT_FALSE(one.has_latency) << "the first row's write time is always 0";
}

}  // namespace
