// Clock readings and the pause on POSIX systems.
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>
#include <limits>

#include "clock/clock_sample.h"

namespace {

constexpr int64_t seconds_1601_to_1970 = 11'644'473'600;
constexpr int64_t ticks_per_second = 10'000'000;
// The latest reading a calendar record can hold: 2^63 - 1 ticks (year 30828).
constexpr uint64_t last_tick = std::numeric_limits<int64_t>::max();

uint64_t ticks_since_1601(const timespec& now) {
    // Clamp readings outside 1601..30828 instead of wrapping them into nonsense.
    constexpr int64_t first_second = -seconds_1601_to_1970;
    constexpr int64_t last_second =
        static_cast<int64_t>(last_tick / ticks_per_second) - seconds_1601_to_1970 - 1;
    if (now.tv_sec < first_second) {
        return 0;
    }
    if (now.tv_sec > last_second) {
        return last_tick;
    }
    // Finer digits than 100 ns are cut, not rounded.
    return static_cast<uint64_t>((now.tv_sec + seconds_1601_to_1970) * ticks_per_second +
                                 now.tv_nsec / 100);
}

}  // namespace

void GetSystemTimeAsFileTime(FILETIME* sample) {
    // Through the C library, not a raw system call: it takes the fast vDSO path, and it
    // is the call that clock-shifting test tools intercept.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t all = ticks_since_1601(now);
    sample->dwLowDateTime = static_cast<uint32_t>(all);
    sample->dwHighDateTime = static_cast<uint32_t>(all >> 32);
}

void Sleep(uint32_t milliseconds) {
    if (milliseconds == 0) {
        // Give up the rest of the time slice to any ready thread, as the Windows call
        // does; a zero-length nanosleep would cost a timer round trip every pass.
        sched_yield();
        return;
    }
    // The kernel may wake a sleeper up to its timer slack late (50 us by default);
    // asking for the smallest slack once keeps the pause close to what was asked.
    static const int slack_set = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    (void)slack_set;
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1'000'000L};
    // A signal that interrupts the pause does not shorten it: resume with what is left.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
