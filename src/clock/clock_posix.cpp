// Clock readings and the pause on POSIX systems (on Linux with the smallest timer slack).
#include <sched.h>
#include <time.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>

#include "clock/clock_sample.h"

void GetSystemTimeAsFileTime(FILETIME* sample) {
    // Through the C library, not a raw system call: it takes the fast vDSO path, and it
    // is the call that clock-shifting test tools intercept.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t all = ticks_since_1601(now.tv_sec, now.tv_nsec);
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
#ifdef __linux__
    // Linux may wake a sleeper up to its timer slack late (50 us by default); asking for
    // the smallest slack once keeps the pause close to what was asked.
    static const int slack_set = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    (void)slack_set;
#endif
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1'000'000L};
    // A signal that interrupts the pause does not shorten it: resume with what is left.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
