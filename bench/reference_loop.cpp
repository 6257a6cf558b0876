// The reference for the monitor's rate: a bare loop of one wall-clock reading and one
// yield of the time slice, counting its passes. Usage: reference_loop SECONDS
// Prints the passes per second.
#include <sched.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int64_t seconds = argc > 1 ? atoi(argv[1]) : 5;
    timespec start{};
    clock_gettime(CLOCK_REALTIME, &start);
    const int64_t start_ns = start.tv_sec * 1'000'000'000LL + start.tv_nsec;
    const int64_t end_ns = start_ns + seconds * 1'000'000'000LL;
    int64_t passes = 0;
    int64_t now_ns = start_ns;
    while (now_ns < end_ns) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        now_ns = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
        ++passes;
        sched_yield();
    }
    printf("%.0f\n", static_cast<double>(passes) * 1e9 / static_cast<double>(now_ns - start_ns));
}
