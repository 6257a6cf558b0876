// Who ran on the CPU the monitor waited for, from the kernel's context-switch records
// (os/cpu_switches.h): a pure reading of the records, fed in time order, with no system
// call and nothing allocated, so that recorded rings test it.
//
// Each record names the task switched out and the one switched in on its CPU, so the
// records of a CPU say who ran on it from one switch to the next. The monitor waits for
// a CPU from the moment it is switched out while still runnable (preempted), or, when it
// went to sleep, from when its sleep ends: the records do not say when it woke, so the
// end is taken from its shortest sleeps of late (its pause and the timer's own delay,
// when nothing held it), never less than its pause. Its wait is for the CPU
// it was preempted on, or that it comes back on after a sleep (the only one it may run
// on, when it is pinned to one). What other tasks ran on that CPU during the wait is
// counted for the window of rows in which the wait ended. A CPU whose records were lost
// leaves a hole: what ran there is counted from the kernel's note of the loss on, and
// the count is then at least what it says, never the whole.
#pragma once

#include <cstdint>

#include "report/os/cpu_switches.h"

// One record as the kernel wrote it: a switch on `cpu`, or (`comm`) a task's new name.
struct switch_record {
    int64_t at_ns;  // monotonic
    int32_t cpu;
    bool out;        // `pid`/`tid` switched out, `other_*` in; else `pid` in, `other_*` out
    bool preempted;  // switched out while still runnable
    int32_t pid, tid;
    int32_t other_pid, other_tid;
    bool comm;  // a task took the name `name` (an exec): no switch
    char name[16];
};

// Unread bytes of a ring, as the kernel lays them out; `at` moves past each record read.
struct ring_view {
    const char* data;
    uint64_t size;  // a power of two
    uint64_t at, head;
};
enum class ring_item { none, record, lost };
// The next item of the ring: a record, or a note that the kernel lost `*lost` records
// there (at `r->at_ns`, `r->cpu`). Records of other kinds are passed over. none at the
// end, or at a record that is not whole.
ring_item next_ring_item(ring_view* v, switch_record* r, uint64_t* lost);

// Tasks and the time each ran, in a table of fixed size: time that finds no place is
// counted in `untallied_ns`.
inline constexpr int tallied_tasks = 64;
struct task_time {
    int32_t pid, tid;
    int64_t ns;
};
struct switch_tally {
    int count;
    task_time tasks[tallied_tasks];
    int64_t untallied_ns;
    uint64_t lost;  // records the kernel lost meanwhile, on the CPUs watched
};
void add_task_time(switch_tally* t, int32_t pid, int32_t tid, int64_t ns);

inline constexpr int pending_tasks = 8;
struct pending_tally {
    int count;
    task_time tasks[pending_tasks];
    int64_t untallied_ns;
};

struct cpu_now {
    bool known;  // who runs is known: from the CPU's first record, and again after a loss
    int32_t pid, tid;
    int64_t since_ns;  // since when (after a loss: since the loss, at least)
};

struct switch_account {
    int32_t monitor;   // its process id
    int64_t pause_ns;  // its sleep period
    // Its shortest sleep (switched out asleep to back in) in this run of sleeps and the
    // one before (INT64_MAX: none yet), and how many sleeps this run has had.
    int64_t shortest_sleep_ns[2];
    int sleeps;
    bool asleep;      // it was switched out asleep (not preempted)
    int64_t left_ns;  // when it was switched out
    int pinned_slot;  // the one CPU it may run on; -1 when several
    int cpus;         // watched: `cpu_of[slot]`
    int32_t cpu_of[max_switch_cpus];
    int16_t slot_of[1024];  // by CPU number; -1 not watched
    cpu_now on[max_switch_cpus];
    bool away;      // the monitor is switched out
    int wait_slot;  // the CPU it waits for; -1 until it comes back (a sleep, not pinned)
    int64_t wait_from_ns;
    pending_tally pending[max_switch_cpus];  // ran on each CPU since the wait began
    switch_tally window;                     // waits that ended since the last row
    switch_tally previous;                   // the window before
};

// From `opened_ns`, on the CPUs `cpus` (ascending), the monitor being `monitor` with a
// sleep period of `pause_ns`.
void start_switch_account(switch_account* a, int32_t monitor, int64_t pause_ns, const int* cpus,
                          int count, int64_t opened_ns);
// Records are fed in time order across CPUs.
void account_switch(switch_account* a, const switch_record& r);
// The kernel lost `lost` records of `cpu` before `at_ns`: who ran there is known again
// from its next record on, and counted from `at_ns`.
void account_lost(switch_account* a, int32_t cpu, int64_t at_ns, uint64_t lost);
// A row: the tally over its span (with the window before when `join`), and a new window.
void close_switch_window(switch_account* a, bool join, switch_tally* span);
