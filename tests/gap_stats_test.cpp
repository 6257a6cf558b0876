#include "stats/gap_stats.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <limits>

namespace {

constexpr int64_t int64_max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64_min = std::numeric_limits<int64_t>::min();
constexpr uint32_t uint32_max = std::numeric_limits<uint32_t>::max();
constexpr int32_t int32_max = std::numeric_limits<int32_t>::max();

// The record as the program starts with it, captured before any test touches it.
const gap_stats_record start_values = gap_stats;

class GapStats : public testing::Test {
protected:
    void SetUp() override { gap_stats = start_values; }
};

// The period fields as a new period starts them: no gaps, minimum one second, maximum 0.
void expect_fresh_period(const gap_stats_record& s) {
    for (uint32_t count : s.interval_stats) {
        EXPECT_EQ(count, 0u);
    }
    EXPECT_EQ(s.loop_count, 0);
    EXPECT_EQ(s.tm_diff_avg, 0);
    EXPECT_EQ(s.min_diff_this_report, 1'000'000'000);
    EXPECT_EQ(s.max_diff_this_report, 0);
}

TEST_F(GapStats, StartsWithTheStartValues) {
    expect_fresh_period(start_values);
    EXPECT_EQ(start_values.min_diff_ever, 1'000'000'000);
    EXPECT_EQ(start_values.max_diff_ever, 0);
}

TEST_F(GapStats, ClassifiesEachGapIntoOneBand) {
    struct Case {
        int64_t diff;
        int index;
    };
    const Case cases[] = {
        {int64_min, 0},
        {-1'000'000, 0},
        {-1, 0},
        {0, 1},
        {1'999'999, 1},
        {2'000'000, 2},
        {2'999'999, 2},
        {3'000'000, 3},
        {5'999'999, 3},
        {6'000'000, 4},
        {10'999'999, 4},
        {11'000'000, 5},
        {20'999'999, 5},
        {21'000'000, 6},
        {50'999'999, 6},
        {51'000'000, 7},
        {100'999'999, 7},
        {101'000'000, 8},
        {200'999'999, 8},
        {201'000'000, 9},
        {500'999'999, 9},
        {501'000'000, 10},
        {1'000'999'999, 10},
        {1'001'000'000, 11},
        {2'000'999'999, 11},
        {2'001'000'000, 12},
        {5'000'999'999, 12},
        {5'001'000'000, 13},
        // 2^32 whole milliseconds would wrap to 0 in a 32-bit comparison.
        {4'294'967'296'000'000, 13},
        {4'294'967'297'999'999, 13},
        {int64_max, 13},
    };
    for (const Case& c : cases) {
        // The one band rule, and the edges the report works with, agree with the count.
        EXPECT_EQ(band_of(c.diff), c.index) << c.diff;
        EXPECT_GE(c.diff, band_low_ns(c.index)) << c.diff;
        if (c.index < band_count - 1) {
            EXPECT_LT(c.diff, band_high_ns(c.index)) << c.diff;
        }
        gap_stats = start_values;
        update_stats(c.diff);
        for (int i = 0; i < band_count; ++i) {
            EXPECT_EQ(gap_stats.interval_stats[i], i == c.index ? 1u : 0u)
                << "gap " << c.diff << " counter " << i;
        }
        const bool counted = c.diff >= 0;
        EXPECT_EQ(gap_stats.loop_count, counted ? 1 : 0) << c.diff;
        EXPECT_EQ(gap_stats.tm_diff_avg, counted ? c.diff : 0) << c.diff;
        EXPECT_EQ(gap_stats.min_diff_this_report, c.diff < 1'000'000'000 ? c.diff : 1'000'000'000)
            << c.diff;
        EXPECT_EQ(gap_stats.max_diff_this_report, c.diff > 0 ? c.diff : 0) << c.diff;
    }
}

TEST_F(GapStats, ClosesAPeriodIntoMeanAndExtremes) {
    struct Case {
        const char* name;
        std::initializer_list<int64_t> gaps;
        int64_t mean, min, max;
    };
    const Case cases[] = {
        {"three gaps", {100, 200, 700}, 333, 100, 700},
        {"no gaps at all", {}, 0, 1'000'000'000, 0},
        {"a gap of 0", {0}, 0, 0, 0},
        {"only a negative gap", {-1}, 0, -1, 0},
        {"all negative", {-5, -300, -2}, 0, -300, 0},
        {"negative gaps stay out of the mean", {-1'000'000, 10, 20}, 15, -1'000'000, 20},
        {"all two seconds",
         {2'000'000'000, 2'000'000'000},
         2'000'000'000,
         1'000'000'000,
         2'000'000'000},
        {"mean truncates toward zero", {1, 2}, 1, 1, 2},
    };
    for (const Case& c : cases) {
        gap_stats = start_values;
        for (int64_t gap : c.gaps) {
            update_stats(gap);
        }
        finish_report_period();
        EXPECT_EQ(gap_stats.tm_diff_avg, c.mean) << c.name;
        EXPECT_EQ(gap_stats.min_diff_this_report, c.min) << c.name;
        EXPECT_EQ(gap_stats.max_diff_this_report, c.max) << c.name;
        // The run extremes already include this period.
        EXPECT_EQ(gap_stats.min_diff_ever, c.min < 1'000'000'000 ? c.min : 1'000'000'000) << c.name;
        EXPECT_EQ(gap_stats.max_diff_ever, c.max) << c.name;
    }
}

TEST_F(GapStats, RunExtremesSurviveResetsAndFoldOnlyWhenClosed) {
    update_stats(-7);
    update_stats(3'000'000'000);
    finish_report_period();
    reset_report_period();

    expect_fresh_period(gap_stats);
    EXPECT_EQ(gap_stats.min_diff_ever, -7);
    EXPECT_EQ(gap_stats.max_diff_ever, 3'000'000'000);

    // A more extreme period changes the run extremes only once it is closed.
    update_stats(-9);
    update_stats(4'000'000'000);
    EXPECT_EQ(gap_stats.min_diff_ever, -7);
    EXPECT_EQ(gap_stats.max_diff_ever, 3'000'000'000);
    finish_report_period();
    EXPECT_EQ(gap_stats.min_diff_ever, -9);
    EXPECT_EQ(gap_stats.max_diff_ever, 4'000'000'000);

    // A milder period leaves them alone.
    reset_report_period();
    update_stats(5);
    finish_report_period();
    EXPECT_EQ(gap_stats.min_diff_ever, -9);
    EXPECT_EQ(gap_stats.max_diff_ever, 4'000'000'000);
}

TEST_F(GapStats, CountersSaturateInsteadOfWrapping) {
    gap_stats.interval_stats[1] = uint32_max - 1;
    gap_stats.interval_stats[0] = uint32_max;
    gap_stats.interval_stats[13] = uint32_max;
    update_stats(0);
    update_stats(1);
    update_stats(-1);
    update_stats(int64_max / 2);
    EXPECT_EQ(gap_stats.interval_stats[1], uint32_max);
    EXPECT_EQ(gap_stats.interval_stats[0], uint32_max);
    EXPECT_EQ(gap_stats.interval_stats[13], uint32_max);
}

TEST_F(GapStats, MeanStaysExactWhenLoopCountIsFull) {
    // As if int32_max gaps of 10 ns had been counted.
    gap_stats.loop_count = int32_max;
    gap_stats.tm_diff_avg = int64_t{int32_max} * 10;
    update_stats(1'000'000);
    EXPECT_EQ(gap_stats.loop_count, int32_max);
    EXPECT_EQ(gap_stats.tm_diff_avg, int64_t{int32_max} * 10);
    EXPECT_EQ(gap_stats.interval_stats[1], 1u) << "the gap is still classified";
    EXPECT_EQ(gap_stats.max_diff_this_report, 1'000'000) << "and still an extreme";
    finish_report_period();
    EXPECT_EQ(gap_stats.tm_diff_avg, 10);
}

TEST_F(GapStats, SumNeverOverflows) {
    // Two clock jumps of about 200 years each would pass the 64-bit range together.
    const int64_t jump = 6'311'390'400'000'000'000;
    update_stats(jump);
    update_stats(jump);
    update_stats(int64_max);
    update_stats(4);
    EXPECT_EQ(gap_stats.interval_stats[13], 3u);
    EXPECT_EQ(gap_stats.loop_count, 2);
    EXPECT_EQ(gap_stats.tm_diff_avg, jump + 4);
    EXPECT_EQ(gap_stats.max_diff_this_report, int64_max);
    finish_report_period();
    EXPECT_EQ(gap_stats.tm_diff_avg, (jump + 4) / 2);

    // A sum that is exactly full still takes gaps of 0.
    reset_report_period();
    update_stats(int64_max);
    update_stats(0);
    EXPECT_EQ(gap_stats.loop_count, 2);
    EXPECT_EQ(gap_stats.tm_diff_avg, int64_max);
}

}  // namespace
