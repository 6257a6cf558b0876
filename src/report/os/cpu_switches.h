// The kernel's record of every context switch on chosen CPUs, read without tracing: on
// Linux a CPU-wide software perf event with context-switch records, one ring a CPU that
// the kernel writes and the watch reads. Each record is timed by monotonic_ns()'s clock.
// Elsewhere (Windows) there are none: opening fails and says so.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int max_switch_cpus = 256;

struct switch_ring {
    int fd;
    int cpu;
    void* map;         // the control page, then the data
    size_t map_size;   // bytes mapped
    const char* data;  // the data: `size` bytes, a power of two
    uint64_t size;
};

struct cpu_switches {
    int count;
    switch_ring rings[max_switch_cpus];
};

enum class switches_refused {
    no,         // opened
    by_rights,  // the kernel asks for CAP_PERFMON (or a lower perf_event_paranoid)
    by_system,  // this kernel or system has no such records
};

// Opens the records on each CPU of `cpus`, from now on. On failure nothing stays open:
// returns false with why, and the system's words in `reason`.
bool open_cpu_switches(const int* cpus, int count, cpu_switches* s, switches_refused* why,
                       char* reason, size_t reason_size);
void close_cpu_switches(cpu_switches* s);

// The ring's unread bytes: from `*tail` to `*head`, positions that only grow (byte i is
// data[i % size]).
void unread_switches(const switch_ring* r, uint64_t* tail, uint64_t* head);
// The watch has read up to `tail`: the kernel may write there again.
void release_switches(switch_ring* r, uint64_t tail);

// The CPUs process `pid` may run on (its affinity), up to `capacity`, ascending: how
// many; 0 where the system does not say.
int process_cpus(long pid, int* cpus, int capacity);

// The value of the kernel's perf_event_paranoid setting; INT32_MIN where there is none.
int perf_paranoia();
