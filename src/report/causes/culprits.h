// Who took the monitor's CPU over a span, most first, grouped by process, from what the
// watch could see (no names or cgroups: the watch adds those):
// - the kernel's switch records: what each task ran on the CPU while the monitor waited;
// - or samples of the threads' CPU time at the span's ends: a thread counts when it was
//   last seen on the monitor's CPU at either end, and a process only through such
//   threads (never by where its first thread sleeps);
// - or samples of every process's CPU time, on any CPU (a quota's group, or a system
//   that lists processes only).
#pragma once

#include "report/causes/cause_rules.h"
#include "report/causes/proc_figures.h"
#include "report/causes/switch_account.h"
#include "report/os/processes.h"

struct process_list {
    int count;
    process_time* at;  // `count` of them, sorted by process id
};

// Up to `capacity` processes into `out`, on any CPU, leaving out pid 0 (the idle task)
// and the `skips` ids in `skip`. Returns how many.
int rank_processes(const process_list& before, const process_list& after, const long* skip,
                   int skips, culprit* out, int capacity);

// The tasks of a span's switch tally, by process, leaving out `skip` (the monitor).
int rank_switch_tally(const switch_tally& tally, long skip, culprit* out, int capacity);

// A list of threads' times, sorted by process id, then thread id, taken when the monitor
// was last seen on `monitor_cpu`.
struct thread_list {
    int count;
    const thread_time* at;
    int monitor_cpu;
};
// Processes whose threads were last seen on the monitor's CPU at either end, by those
// threads' CPU time from the earliest of `starts` (oldest first) that holds the process;
// a process held by none is left out. Leaves out the `skips` ids in `skip`.
int rank_threads(const thread_list* starts, int start_count, const thread_list& end,
                 const long* skip, int skips, culprit* out, int capacity);
