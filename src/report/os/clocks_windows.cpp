#include <windows.h>

#include <cstdint>

#include "report/os/clocks.h"
#include "report/os/windows_calls.h"

int64_t monotonic_ns() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const int64_t f = frequency.QuadPart;
    return now.QuadPart / f * 1'000'000'000 + now.QuadPart % f * 1'000'000'000 / f;
}

int64_t wall_clock_ns() {
    // The precise call (Windows 8 and later) reads the clock to well under a
    // microsecond; the one before it, to a tick of up to 15.6 ms.
    static const auto precise =
        find_call<void(WINAPI*)(LPFILETIME)>("GetSystemTimePreciseAsFileTime");
    FILETIME now;
    if (precise != nullptr) {
        precise(&now);
    } else {
        GetSystemTimeAsFileTime(&now);
    }
    // 100 ns units since 1601; 1970 is 11644473600 s later.
    const auto ticks =
        static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    const int64_t since_1970 = ticks - 116'444'736'000'000'000;
    if (since_1970 > INT64_MAX / 100 || since_1970 < INT64_MIN / 100) {
        return since_1970 < 0 ? INT64_MIN : INT64_MAX;
    }
    return since_1970 * 100;
}
