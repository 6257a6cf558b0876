// How far a pause of 1 ms overshoots: a bare nanosleep with the thread's default timer
// slack, then the monitor's Sleep(1), which asks for the smallest slack. Prints the
// median, 90th and 99th percentile and largest overshoot of each, in microseconds.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "clock/clock_sample.h"

namespace {

double now_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

template <typename Pause>
void measure(const char* name, int count, Pause pause) {
    std::vector<double> overshoot(static_cast<size_t>(count));
    for (double& o : overshoot) {
        const double before = now_us();
        pause();
        o = now_us() - before - 1000.0;
    }
    std::sort(overshoot.begin(), overshoot.end());
    auto at = [&](double q) { return overshoot[static_cast<size_t>(q * (count - 1))]; };
    printf("%-34s median %7.1f us  p90 %7.1f us  p99 %7.1f us  max %8.1f us  (%d pauses)\n", name,
           at(0.5), at(0.9), at(0.99), overshoot.back(), count);
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? atoi(argv[1]) : 3000;
    // Order matters: Sleep lowers the thread's timer slack for good.
    measure("nanosleep(1 ms), default slack", count, [] {
        timespec ms{0, 1'000'000};
        nanosleep(&ms, nullptr);
    });
    measure("Sleep(1), as the monitor pauses", count, [] { Sleep(1); });
}
