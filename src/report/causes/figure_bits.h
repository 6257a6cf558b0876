// Which figures of the causes of a stall were taken: a bit each (a bit may cover several
// figures read together), set by the readers that took them. Below the rules
// (cause_rules.h), so that every reader of /proc and the cgroups can say what it read.
#pragma once

#include <cstdint>

// Which figures were taken: one bit each (a bit may cover several figures read together).
enum cause_figure : uint32_t {
    have_run_delay = 1u << 0,      // the monitor's threads: runnable but not running
    have_steal = 1u << 1,          // the machine's steal time
    have_cpu_steal = 1u << 2,      // steal time of the CPU the monitor last ran on
    have_psi = 1u << 3,            // the machine's memory pressure
    have_faults = 1u << 4,         // the monitor's major page faults
    have_switches = 1u << 5,       // its involuntary context switches
    have_suspend = 1u << 6,        // time the machine spent suspended
    have_watch = 1u << 7,          // the watch's own longest time without running
    have_state = 1u << 8,          // whether the monitor was seen stopped
    have_interrupts = 1u << 9,     // time processors spent in interrupts and DPCs
    have_monitor_cpu = 1u << 10,   // the monitor's own CPU time
    have_clock = 1u << 11,         // how far the wall clock was set, against the monotonic
    have_throttle = 1u << 12,      // time its CPU cgroup (or an ancestor) was throttled
    have_limit = 1u << 13,         // the CPU limit of the cgroup that throttled most
    have_freezer = 1u << 14,       // whether its cgroup was seen frozen
    have_group_memory = 1u << 15,  // its cgroup's own memory pressure
    have_due = 1u << 16,           // in a silence: when the monitor's next row is due
    have_softirqs = 1u << 17,      // softirqs of each kind run on the monitor's CPU
};

// The kinds of softirq that /proc/softirqs counts (their names: cause_rules.h).
inline constexpr int softirq_kinds = 10;
