#include <ctime>

#include "report/os/clocks.h"

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int64_t wall_clock_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t ns = 0;
    if (__builtin_mul_overflow(static_cast<int64_t>(now.tv_sec), int64_t{1'000'000'000}, &ns) ||
        __builtin_add_overflow(ns, static_cast<int64_t>(now.tv_nsec), &ns)) {
        return now.tv_sec < 0 ? INT64_MIN : INT64_MAX;
    }
    return ns;
}
