// The loop allocates nothing: every heap allocation of the process is counted while the
// loop runs two and six seconds of a scripted clock, writing rows to /dev/null.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "monitor/monitor.h"
#include "scripted_clock.h"

// The C library's own allocator, under the names it exports for interposers.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);

namespace {
long allocations = 0;
}

extern "C" {
void* malloc(size_t size) {
    ++allocations;
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    ++allocations;
    return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
    ++allocations;
    return __libc_realloc(block, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** block, size_t alignment, size_t size) {
    ++allocations;
    *block = __libc_memalign(alignment, size);
    return *block != nullptr ? 0 : ENOMEM;
}
}

namespace {

constexpr uint64_t start_ticks = 135'748'407'670'000'000;  // 2031-03-04 05:06:07 UTC

// Allocations made while the loop runs `seconds` of scripted time, a reading a
// millisecond, rows and all.
long allocations_in_loop(uint64_t seconds) {
    script = clock_script{};
    script.record_events = false;
    script.now_ticks = start_ticks;
    const uint64_t end = start_ticks + seconds * 10'000'000;
    script.reading = [end](int, uint64_t now) -> std::optional<uint64_t> {
        if (now > end) {
            return std::nullopt;
        }
        return now;
    };
    const FILETIME start{static_cast<uint32_t>(start_ticks),
                         static_cast<uint32_t>(start_ticks >> 32)};
    const long before = allocations;
    try {
        run_monitor(1, start);
    } catch (const script_over&) {
    }
    return allocations - before;
}

TEST(Allocation, LoopAllocatesNothingHoweverLongItRuns) {
    // Rows go to /dev/null, written as in a real run; stdout's buffer exists already,
    // as it does once the start line is written.
    fflush(stdout);
    const int saved = dup(1);
    const int null_device = open("/dev/null", O_WRONLY);
    ASSERT_GE(saved, 0);
    ASSERT_GE(null_device, 0);
    ASSERT_GE(dup2(null_device, 1), 0);
    printf("start-up\n");
    fflush(stdout);

    const long short_run = allocations_in_loop(2);
    const long long_run = allocations_in_loop(6);

    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null_device);

    EXPECT_EQ(short_run, long_run);
    // What remains is leaving the loop in the test: the scripted clock's exception.
    EXPECT_LE(long_run, 1);
    // The counter itself works.
    const long before = allocations;
    free(malloc(16));
    EXPECT_EQ(allocations - before, 1);
}

}  // namespace
