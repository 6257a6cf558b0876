#include "monitor/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ScanDecimalInt, FollowsTheDecimalScanRules) {
    struct Case {
        const char* text;
        bool converted;
        int32_t value;
    };
    const Case cases[] = {
        {"250", true, 250},
        {"0", true, 0},
        {"-5", true, -5},
        {"+5", true, 5},
        {"15ms", true, 15},
        {"  7", true, 7},
        {"\t\n\v\f\r 8", true, 8},
        {"0x10", true, 0},
        {"007", true, 7},
        {"12 34", true, 12},
        {"2147483647", true, 2147483647},
        {"2147483648", true, 2147483647},
        {"99999999999", true, 2147483647},
        {"99999999999999999999999999999999999999", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"-2147483649", true, -2147483647 - 1},
        {"-99999999999999999999999999999999999999", true, -2147483647 - 1},
        {"abc", false, 0},
        {"", false, 0},
        {"   ", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"- 1", false, 0},
        {"+-1", false, 0},
        {"--1", false, 0},
        {"x12", false, 0},
    };
    for (const Case& c : cases) {
        const scanned_int got = scan_decimal_int(c.text);
        EXPECT_EQ(got.converted, c.converted) << '"' << c.text << '"';
        EXPECT_EQ(got.value, c.value) << '"' << c.text << '"';
    }
}

TEST(ParseSleepPeriod, AnswersEachArgumentWithItsLine) {
    struct Case {
        const char* argument;
        int32_t period;
        const char* line;
    };
    const Case cases[] = {
        {nullptr, 0, ""},
        {"250", 250, "Sleep period adjusted to 250 ms\n"},
        {"0", 0, "Sleep period adjusted to 0 ms\n"},
        {"1000", 1000, "Sleep period adjusted to 1000 ms\n"},
        {"1001", 1001, "Warning: sleep period = 1001 ms sounds a little too high.\n"},
        {"99999999999", 2147483647,
         "Warning: sleep period = 2147483647 ms sounds a little too high.\n"},
        {"-5", -5, "Sleep period adjusted to -5 ms\n"},
        {"15ms", 15, "Sleep period adjusted to 15 ms\n"},
        {"abc", 0, "abc does not look like an integer.\n"},
        {"", 0, " does not look like an integer.\n"},
        {" \t", 0, " \t does not look like an integer.\n"},
        {"%s%n", 0, "%s%n does not look like an integer.\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        const int32_t period = parse_sleep_period(c.argument);
        const std::string written = testing::internal::GetCapturedStdout();
        const char* name = c.argument == nullptr ? "(none)" : c.argument;
        EXPECT_EQ(period, c.period) << name;
        EXPECT_EQ(written, c.line) << name;
    }
}

TEST(PauseMilliseconds, NegativePeriodsPauseAsZero) {
    EXPECT_EQ(pause_milliseconds(0), 0u);
    EXPECT_EQ(pause_milliseconds(250), 250u);
    EXPECT_EQ(pause_milliseconds(2147483647), 2147483647u);
    EXPECT_EQ(pause_milliseconds(-1), 0u);
    EXPECT_EQ(pause_milliseconds(-2147483647 - 1), 0u);
}

}  // namespace
