#include "report/causes/culprits.h"

#include <algorithm>
#include <cstdio>

namespace {

bool by_pid(const process_time& p, long pid) {
    return p.pid < pid;
}

bool skipped(long pid, const long* skip, int skips) {
    return pid == 0 || std::find(skip, skip + skips, pid) != skip + skips;
}

}  // namespace

int rank_processes(const process_list& before, const process_list& after, int cpu, const long* skip,
                   int skips, culprit* out, int capacity) {
    int n = 0;
    for (int i = 0; i < after.count; ++i) {
        const process_time& now = after.at[i];
        const process_time* end = before.at + before.count;
        const process_time* then =
            std::lower_bound(static_cast<const process_time*>(before.at), end, now.pid, by_pid);
        // A process that started in the span counts from 0.
        const int64_t was = then != end && then->pid == now.pid ? then->cpu_ns : 0;
        const bool on_cpu =
            cpu < 0 || now.cpu == cpu || (then != end && then->pid == now.pid && then->cpu == cpu);
        if (now.cpu_ns <= was || !on_cpu || skipped(now.pid, skip, skips)) {
            continue;
        }
        culprit c{now.pid, now.cpu_ns - was, {}, {}};
        snprintf(c.name, sizeof c.name, "%s", now.name);
        // Kept sorted, most first; the least falls off the end when it is full.
        int at = std::min(n, capacity - 1);
        if (n == capacity && c.cpu_ns <= out[at].cpu_ns) {
            continue;
        }
        for (; at > 0 && out[at - 1].cpu_ns < c.cpu_ns; --at) {
            out[at] = out[at - 1];
        }
        out[at] = c;
        n = std::min(n + 1, capacity);
    }
    return n;
}
