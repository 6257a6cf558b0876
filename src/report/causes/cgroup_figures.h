// The monitor's control groups and what the kernel counts of them: time its CPU cgroup
// (or an ancestor, whose limit holds it too) was throttled and under what limit, whether
// it is frozen, and its own memory pressure. The groups are found from /proc/PID/cgroup
// and the mounts of /proc/self/mountinfo (never a fixed path: containers and cgroup
// namespaces mount them elsewhere), cgroup v1 and v2 alike. `sys_root` is put before
// every mount point: "" for this machine, a recorded copy's folder in tests. Nothing is
// allocated: the caller owns the buffer each file is read into.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int max_cgroup_levels = 16;

struct cgroup_folder {
    char path[512];       // the group's folder, `sys_root` and mount point included
    size_t mount_length;  // where the mount point ends: ancestors stop there
    bool v2;              // a cgroup2 hierarchy
};

struct cgroup_place {
    bool cpu_found, freezer_found, unified_found;
    cgroup_folder cpu;      // the hierarchy with the cpu controller (v1), else the v2 one
    cgroup_folder freezer;  // v1's freezer hierarchy
    cgroup_folder unified;  // the v2 hierarchy: cgroup.events, memory.pressure
    char cpu_group[256];    // its CPU cgroup's path as /proc/PID/cgroup gives it
};

// Finds the cgroups of `pid` from `proc_root`'s PID/cgroup and self/mountinfo.
void find_cgroups(const char* proc_root, const char* sys_root, long pid, cgroup_place* place,
                  char* buffer, size_t size);

struct cgroup_counters {
    uint32_t have;  // cause_figure bits of what was read
    int levels;     // of the CPU cgroup: itself first, then each ancestor below the mount
    int64_t throttled_ns[max_cgroup_levels];
    int64_t throttled_periods[max_cgroup_levels];
    int64_t limit_millicpus[max_cgroup_levels];  // 0: no limit
    bool frozen;
    int64_t memory_full_us;
};

// Throttled time, periods and limits of the CPU cgroup and its ancestors, whether it is
// frozen, and its own memory pressure.
void read_cgroup_counters(const cgroup_place* place, cgroup_counters* c, char* buffer, size_t size);
// Only whether the monitor's cgroup (or an ancestor) is frozen: cheap, for the watch's
// ticks. False, with `*known` false, where no freezer is found.
bool read_frozen(const cgroup_place* place, bool* known, char* buffer, size_t size);

// The CPU cgroup path of `pid` from `proc_root`/PID/cgroup, as it lists it; "" if none.
void cpu_cgroup_of(const char* proc_root, long pid, char* group, size_t group_size, char* buffer,
                   size_t size);
// The path of the CPU cgroup `levels_up` above the monitor's (0: its own).
void cpu_group_at(const cgroup_place* place, int levels_up, char* group, size_t size);
