// The watch's live witness of why the monitor could not read the clock. It finds the
// monitor (the process of this user named clockgap that writes the watch's input, or
// the one the Windows service names), takes the machine's and the monitor's counters at
// every row, and wakes every tick_ms between rows to note that the watch itself ran and,
// once a row is late, whether the monitor is stopped. A row gets the figures over the
// two rows' time before it (a hold-up at the turn of a second may fall in either);
// figures are taken only for a live row, one whose time is the watch's own clock's.
// Who took the monitor's CPU, when a row's cause is waiting for one, is seen in the
// kernel's context-switch records of the CPUs the monitor may run on, read every tick;
// where the kernel refuses them (said once), the watch samples the CPU time of the
// threads of the processes that were busy, at each row that waits beyond the usual. A
// cgroup's quota is told by every process's CPU time, listed at each throttled row.
#pragma once

#include <atomic>
#include <cstdint>

#include "report/causes/cause_rules.h"
#include "report/causes/cgroup_figures.h"
#include "report/causes/culprits.h"
#include "report/causes/proc_figures.h"
#include "report/causes/switch_account.h"
#include "report/os/cpu_switches.h"
#include "report/os/processes.h"

// A row within this of the watch's clock is live.
inline constexpr int64_t live_row_ms = 2000;
inline bool is_live_row(int64_t row_ms, int64_t wall_ms) {
    return row_ms - wall_ms <= live_row_ms && wall_ms - row_ms <= live_row_ms;
}
// The usual wait for a CPU at each wake-up is taken from the last rows' (their median).
inline constexpr int usual_wait_rows = 64;
inline constexpr int64_t usual_wait_most_ns = 10'000;

// Processes listed at each row; a machine with more has the rest left out of culprits.
inline constexpr int max_processes = 8192;
// Threads sampled at a row, of the processes busy since the listing before.
inline constexpr int max_sampled_threads = 2048;
struct thread_sample {
    int count;
    int monitor_cpu;  // where the monitor was last seen then
    thread_time at[max_sampled_threads];
};
// Names of processes from the switch records (a new program started), for one that has
// ended before it is named.
inline constexpr int kept_names = 32;
struct process_name {
    int32_t pid;
    char name[16];
};

struct cause_sample {
    int64_t at_ns;
    int64_t wall_less_monotonic_ns;  // the wall clock less the monotonic clock
    proc_counters proc;
    cgroup_counters cgroup;
    os_counters os;
};

struct cause_watch {
    bool follow;
    int input_fd;                        // the input being read; -1 while none
    const std::atomic<long>* given_pid;  // the Windows service's monitor, or nullptr
    long pid;                            // the monitor; 0 while none is known
    int64_t next_search_ns;
    proc_reader reader;
    const char* sys_root;  // put before cgroup mount points: "" here, a copy in tests
    cgroup_place place;    // the monitor's cgroups
    char buffer[65536];
    cause_sample last, now;
    bool has_last;           // `last` is a sample of this monitor at a row
    cause_figures previous;  // over the time before the last row
    int64_t last_row_ns, last_wake_ns, watch_gap_ns;
    bool stopped_seen, frozen_seen;
    int64_t last_row_ms;  // Unix ms of the last live row
    // Every process's CPU time at up to three rows (a ring: the row each was taken at,
    // -1 none), and which of them began the last row's span; -1: none, and no culprits.
    int64_t rows;  // rows sampled
    process_time processes[3][max_processes];
    int process_count[3];
    int64_t process_row[3];
    int process_at, span_from;
    bool processes_said;
    long scratch[max_processes];
    thread_sample threads[3];  // beside `processes`, slot for slot: the busy ones' threads
    // The kernel's switch records of the monitor's CPUs: `switches.count` 0 while none
    // are open; `switches_tried` once they were opened or refused for this monitor.
    cpu_switches switches;
    switch_account account;
    switch_tally span_tally;    // over the last row's span
    int64_t span_run_delay_ns;  // the monitor's run delay over it; -1: not read
    bool switches_tried, switches_said;
    int cpus[max_switch_cpus];  // the monitor's, as the records were opened for
    int cpu_count;
    int64_t pause_ns;
    process_name names[kept_names];
    int names_at;
    char throttle_group[256];  // the CPU cgroup that was throttled most in the last row's span
    int64_t slice_wait_ns[usual_wait_rows];
    int waits, wait_at;  // how many are kept, and where the next goes
    uint32_t said;       // figures whose absence has been said
    bool no_monitor_said;
};

// What the counters grew by from `a` to `b`, the monitor's usual wait for a CPU at each
// wake-up being `usual_wait_ns`; `stopped` as `b` saw it. Without the watch's own figures.
cause_figures counters_between(const cause_sample& a, const cause_sample& b, int64_t usual_wait_ns);

void start_cause_watch(cause_watch* w, bool follow, const std::atomic<long>* given_pid);
// Lets go of what the watch holds open (the switch records).
void stop_cause_watch(cause_watch* w);

// The watch reads `fd` now (a new file of its input): its writer is looked for again.
void cause_input(cause_watch* w, int fd);

// Monotonic ms of the watch's next tick; INT64_MAX when it takes none.
int64_t next_cause_tick_ms(const cause_watch* w);
// The watch woke without a row.
void cause_tick(cause_watch* w);

// The monitor's sleep period as its log gives it (-1: none given, so 0).
void cause_pause(cause_watch* w, int32_t pause_ms);

// A row came whose time is `row_ms` (Unix ms); `wall_ms` is the watch's clock. The
// figures over its time (none when it is not live).
cause_figures cause_row_figures(cause_watch* w, int64_t row_ms, int64_t wall_ms);
// No row has come for a while: the figures since the last row, with the monitor's state
// as it is now.
cause_figures cause_silence_figures(cause_watch* w);
// Who took the CPU over the last row's span, for a row named `kind`: for cpu_contention
// those that ran on the monitor's CPU while it waited (or, sampled, whose threads were
// last seen there); for throttled those in the throttled cgroup; on a system without
// /proc, for unexplained, the busiest processes; none for other kinds.
void cause_culprits(cause_watch* w, cause_kind kind, culprit_list* who);
