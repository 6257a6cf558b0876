// One whole pass of the sampling loop (difference, calendar fields, statistics,
// schedule), with a scripted clock and no pause, beside a bare clock reading.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "clock/clock_sample.h"
#include "monitor/monitor.h"

namespace {

// The scripted clock: readings 230 ns apart, so rows come as often as in a real run
// (one every 4.3 million passes); the pause costs nothing. After `passes_left`
// readings the loop is left with a jump back out of run_monitor.
uint64_t now_ticks = 0;
int64_t passes_left = 0;
struct loop_done {};

}  // namespace

void GetSystemTimeAsFileTime(FILETIME* sample) {
    if (--passes_left < 0) {
        throw loop_done{};
    }
    now_ticks += 2 + (now_ticks & 1);
    sample->dwLowDateTime = static_cast<uint32_t>(now_ticks);
    sample->dwHighDateTime = static_cast<uint32_t>(now_ticks >> 32);
}

void Sleep(uint32_t) {}

namespace {

void loop_pass(benchmark::State& state) {
    // Rows go nowhere while the loop runs: the pass is measured, not the terminal.
    fflush(stdout);
    const int saved_stdout = dup(1);
    const int null_device = open("/dev/null", O_WRONLY);
    if (saved_stdout < 0 || null_device < 0 || dup2(null_device, 1) < 0) {
        state.SkipWithError("cannot send the rows to /dev/null");
        return;
    }
    FILETIME start{};
    now_ticks = 133'000'000'000'000'000;
    start.dwLowDateTime = static_cast<uint32_t>(now_ticks);
    start.dwHighDateTime = static_cast<uint32_t>(now_ticks >> 32);
    for (auto _ : state) {
        // Whole batches keep the cost of leaving the loop out of the figure.
        passes_left = state.range(0);
        try {
            run_monitor(0, start);
        } catch (const loop_done&) {
        }
    }
    fflush(stdout);
    dup2(saved_stdout, 1);
    close(saved_stdout);
    close(null_device);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    // Seconds per pass, printed with an SI prefix (n for nanoseconds).
    state.counters["time_per_pass"] =
        benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(loop_pass)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

void bare_clock_reading(benchmark::State& state) {
    timespec t;
    for (auto _ : state) {
        clock_gettime(CLOCK_REALTIME, &t);
        benchmark::DoNotOptimize(t);
    }
}
BENCHMARK(bare_clock_reading);

}  // namespace

BENCHMARK_MAIN();
