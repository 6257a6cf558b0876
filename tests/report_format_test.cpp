#include "monitor/report_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

std::string render(const report_row& row) {
    char text[report_row_capacity];
    const int length = format_report_row(&row, text, sizeof text);
    EXPECT_GT(length, 0);
    EXPECT_LT(static_cast<size_t>(length), sizeof text);
    return std::string(text);
}

report_row row_with(SYSTEMTIME t) {
    report_row row{};
    row.timestamp = t;
    return row;
}

TEST(ReportFormat, Rows) {
    struct Case {
        const char* name;
        report_row row;
        const char* expected;
    };
    report_row worked = row_with({2031, 3, 2, 4, 5, 6, 7, 0});
    worked.diff_report = 1'000'000'000;
    worked.diff_avg = 1562;
    worked.max_diff_this_rep = 15'625'000;
    worked.max_diff_ever = 15'625'000;
    worked.band_1ms = 639'936;
    worked.band_20ms = 64;

    report_row negative = row_with({2024, 12, 0, 31, 23, 59, 59, 999});
    negative.diff_report = -3'599'000'000'000;
    negative.min_diff_this_rep = -100;
    negative.min_diff_ever = -9'223'372'036'854'775'807 - 1;
    negative.neg = 1;

    report_row untouched = row_with({1601, 1, 1, 1, 0, 0, 0, 0});
    untouched.min_diff_this_rep = 1'000'000'000;
    untouched.min_diff_ever = 1'000'000'000;

    report_row widest = row_with({30828, 9, 4, 14, 2, 48, 5, 477});
    widest.diff_report = -9'223'372'036'854'775'807 - 1;
    widest.diff_avg = 9'223'372'036'854'775'807;
    widest.min_diff_this_rep = -9'223'372'036'854'775'807 - 1;
    widest.min_diff_ever = -9'223'372'036'854'775'807 - 1;
    widest.max_diff_this_rep = 9'223'372'036'854'775'807;
    widest.max_diff_ever = 9'223'372'036'854'775'807;
    for (uint32_t report_row::*count : band_columns) {
        widest.*count = 4'294'967'295u;
    }
    widest.printf_latency = -9'223'372'036'854'775'807 - 1;

    const Case cases[] = {
        {"worked example: month 03, day 04, ms 000", worked,
         "2031-03-04 05:06:07,000,1000000000,1562,0,0,15625000,15625000,0, 639936,0,0, 0,64,0, "
         "0,0,0, 0,0,0, 0,0\n"},
        {"negative values keep their sign", negative,
         "2024-12-31 23:59:59,999,-3599000000000,0,-100,-9223372036854775808,0,0,1, 0,0,0, 0,0,0, "
         "0,0,0, 0,0,0, 0,0\n"},
        {"an untouched minimum is one second; counts unpadded", untouched,
         "1601-01-01 00:00:00,000,0,0,1000000000,1000000000,0,0,0, 0,0,0, 0,0,0, 0,0,0, 0,0,0, "
         "0,0\n"},
        {"the widest row fits", widest,
         "30828-09-14 02:48:05,477,-9223372036854775808,9223372036854775807,-9223372036854775808,"
         "-9223372036854775808,9223372036854775807,9223372036854775807,4294967295, "
         "4294967295,4294967295,4294967295, 4294967295,4294967295,4294967295, "
         "4294967295,4294967295,4294967295, 4294967295,4294967295,4294967295, "
         "4294967295,-9223372036854775808\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render(c.row), c.expected) << c.name;
    }
}

TEST(ReportFormat, HeaderAndRowsLineUpFieldForField) {
    const std::string header = report_header;
    EXPECT_EQ(header,
              "timestamp,ts_ms,diff_report,diff_avg,min_diff_this_rep,min_diff_ever,"
              "max_diff_this_rep,max_diff_ever,neg, 1ms,2ms,5ms, 10ms,20ms,50ms, 100ms,200ms,"
              "500ms, 1s,2s,5s, out_to_lunch,printf_latency");
    const std::string row = render(row_with({2031, 3, 2, 4, 5, 6, 7, 0}));
    // The same separators in the same places: 22 commas, a space after the same five.
    auto separators = [](const std::string& line) {
        std::string out;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == ',') {
                out += (i + 1 < line.size() && line[i + 1] == ' ') ? ";" : ",";
            }
        }
        return out;
    };
    EXPECT_EQ(separators(header), separators(row));
    EXPECT_EQ(separators(header).size(), 22u);

    // The column names are the header's fields.
    std::string names;
    for (const char* name : report_columns) {
        names += names.empty() ? "" : ",";
        names += name;
    }
    std::string fields = header;
    fields.erase(std::remove(fields.begin(), fields.end(), ' '), fields.end());
    EXPECT_EQ(fields, names);
}

}  // namespace
