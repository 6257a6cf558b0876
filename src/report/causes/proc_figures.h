// The counters that Linux keeps in /proc for the causes of a stall, read from a folder
// that holds /proc's layout: /proc itself, or a recorded copy in tests. Each reader
// parses one kind of file from a buffer the caller owns (nothing is allocated), sets its
// bits in `have` when the file is there and parses, and leaves them clear otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "report/causes/figure_bits.h"
#include "report/os/processes.h"

inline constexpr int max_cpus = 1024;
inline constexpr int max_threads = 16;
inline constexpr int max_softirq_cpus = 256;

struct proc_counters {
    uint32_t have;  // cause_figure bits of what was read
    int64_t steal_ns;
    int cpus;                        // CPU lines read
    int64_t cpu_steal_ns[max_cpus];  // by CPU number
    int64_t cpu_irq_ns[max_cpus];    // time in hard and soft interrupts, by CPU number
    int softirq_cpus;  // CPUs whose softirqs were read (by number, below max_softirq_cpus)
    int64_t softirqs[max_softirq_cpus][softirq_kinds];  // by CPU, then kind (softirq_table)
    int64_t psi_memory_full_us;                         // all tasks stalled on memory
    // The monitor's threads, added up.
    int64_t run_ns, run_delay_ns, slices;
    int64_t major_faults, involuntary_switches;
    int last_cpu;  // the CPU its first thread last ran on
    bool stopped;  // a thread is stopped (state T) or traced (t)
    bool gone;     // its process is no longer there
};

struct proc_reader {
    const char* root;     // "/proc", or a recorded copy
    int64_t ns_per_tick;  // of /proc/stat's times (USER_HZ)
    long pid;
    long tids[max_threads];
    int threads;
    char* buffer;  // the caller's, for one file at a time
    size_t size;
};

// /proc/stat's steal time, the machine's and each CPU's, and each CPU's time in
// interrupts (irq and softirq).
void read_cpu_times(const proc_reader* r, proc_counters* c);
// /proc/softirqs: the softirqs run on each CPU so far, by kind.
void read_softirqs(const proc_reader* r, proc_counters* c);
// The memory pressure total of /proc/pressure/memory (all tasks stalled).
void read_pressure(const proc_reader* r, proc_counters* c);
// The monitor's threads: run delay, state, faults, switches and CPU; `gone` when the
// process has ended.
void read_threads(const proc_reader* r, proc_counters* c);
// Only whether a thread of the monitor is stopped (cheap, for the watch's ticks).
void read_stopped(const proc_reader* r, proc_counters* c);
// Every process's CPU time and last CPU, from ROOT/PID/stat, up to `capacity`, sorted by
// process id: how many.
int read_processes(const proc_reader* r, long* pids, process_time* out, int capacity);

// A thread's CPU time so far and the CPU it last ran on.
struct thread_time {
    long pid, tid;
    int cpu;
    int64_t cpu_ns;
};
// The threads of process `pid`, from ROOT/PID/task/TID/stat, up to `capacity`, sorted by
// thread id: how many.
int read_process_threads(const proc_reader* r, long pid, long* tids, thread_time* out,
                         int capacity);
// A process's name (its first thread's, as ROOT/PID/comm gives it); false if it has ended.
bool read_process_name(const proc_reader* r, long pid, char* name, size_t size);

// The value of "total=" on the line of a pressure file's text that begins with `kind`
// ("some", "full").
bool pressure_total(const char* text, const char* kind, int64_t* total_us);
