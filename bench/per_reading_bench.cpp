// The work done for every reading, each beside a bare clock reading.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "clock/clock_sample.h"
#include "stats/gap_stats.h"

namespace {

void bare_clock_reading(benchmark::State& state) {
    FILETIME t;
    for (auto _ : state) {
        GetSystemTimeAsFileTime(&t);
        benchmark::DoNotOptimize(t);
    }
}
BENCHMARK(bare_clock_reading);

void filetime_diff(benchmark::State& state) {
    FILETIME a;
    FILETIME b;
    GetSystemTimeAsFileTime(&a);
    GetSystemTimeAsFileTime(&b);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        benchmark::DoNotOptimize(filetime_diff_in_nsec(&a, &b));
    }
}
BENCHMARK(filetime_diff);

// Gaps as the default loop sees them: almost all a few hundred ns, a few scheduler
// waits of milliseconds, a rare long one and a rare negative one.
std::vector<int64_t> realistic_gaps() {
    std::mt19937_64 random(42);
    std::vector<int64_t> gaps(1 << 16);
    for (int64_t& gap : gaps) {
        const uint64_t roll = random() % 10'000;
        if (roll < 9'900) {
            gap = 100 + static_cast<int64_t>(random() % 400);
        } else if (roll < 9'990) {
            gap = static_cast<int64_t>(random() % 30'000'000);
        } else if (roll < 9'999) {
            gap = static_cast<int64_t>(random() % 3'000'000'000);
        } else {
            gap = -static_cast<int64_t>(random() % 1'000'000);
        }
    }
    return gaps;
}

void update_stats_mix(benchmark::State& state) {
    const std::vector<int64_t> gaps = realistic_gaps();
    size_t i = 0;
    for (auto _ : state) {
        update_stats(gaps[i]);
        i = (i + 1) & (gaps.size() - 1);
    }
    benchmark::DoNotOptimize(gap_stats);
}
BENCHMARK(update_stats_mix);

void calendar_fields(benchmark::State& state) {
    // Readings about 230 ns apart, as the default loop takes them.
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    uint64_t ticks = (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
    SYSTEMTIME fields;
    for (auto _ : state) {
        ticks += 2 + (ticks & 1);
        t.dwLowDateTime = static_cast<uint32_t>(ticks);
        t.dwHighDateTime = static_cast<uint32_t>(ticks >> 32);
        FileTimeToSystemTime(&t, &fields);
        benchmark::DoNotOptimize(fields);
    }
}
BENCHMARK(calendar_fields);

}  // namespace

BENCHMARK_MAIN();
