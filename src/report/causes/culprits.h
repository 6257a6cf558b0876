// Who took the monitor's CPU over a span: from two lists of every process's CPU time,
// taken at the span's ends and sorted by process id, the processes whose CPU time grew
// the most, most first. No tracing: a process counts when the CPU it was last seen on,
// at either end, is the monitor's (or on any CPU, where that is not known).
#pragma once

#include "report/causes/cause_rules.h"
#include "report/os/report_os.h"

struct process_list {
    int count;
    process_time* at;  // `count` of them, sorted by process id
};

// Up to `capacity` processes into `out` (names and CPU time; no cgroup), leaving out
// pid 0 (the idle task) and the `skips` ids in `skip`. `cpu` -1: any CPU. Returns how many.
int rank_processes(const process_list& before, const process_list& after, int cpu, const long* skip,
                   int skips, culprit* out, int capacity);
