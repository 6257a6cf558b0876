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

// Keeps `out` sorted, most first; the least falls off the end when it is full.
void place(culprit* out, int* n, int capacity, const culprit& c) {
    int at = std::min(*n, capacity - 1);
    if (*n == capacity && c.cpu_ns <= out[at].cpu_ns) {
        return;
    }
    for (; at > 0 && out[at - 1].cpu_ns < c.cpu_ns; --at) {
        out[at] = out[at - 1];
    }
    out[at] = c;
    *n = std::min(*n + 1, capacity);
}

// Notes thread `tid`'s share of `c`, keeping the threads that ran the most; `c.threads`
// counts them all until told_threads() decides whether to tell them.
void add_thread(culprit* c, long tid, int64_t ns, int64_t* thread_ns) {
    c->cpu_ns += ns;
    int at = std::min(c->threads, max_culprit_threads - 1);
    if (c->threads >= max_culprit_threads && ns <= thread_ns[at]) {
        ++c->threads;
        return;
    }
    for (; at > 0 && thread_ns[at - 1] < ns; --at) {
        c->tids[at] = c->tids[at - 1];
        thread_ns[at] = thread_ns[at - 1];
    }
    c->tids[at] = tid;
    thread_ns[at] = ns;
    ++c->threads;
}

// Threads are told where they are not just the process's first thread.
void told_threads(culprit* c) {
    c->threads = std::min(c->threads, max_culprit_threads);
    if (c->threads == 1 && c->tids[0] == c->pid) {
        c->threads = 0;
    }
}

}  // namespace

int rank_processes(const process_list& before, const process_list& after, const long* skip,
                   int skips, culprit* out, int capacity) {
    int n = 0;
    for (int i = 0; i < after.count; ++i) {
        const process_time& now = after.at[i];
        const process_time* end = before.at + before.count;
        const process_time* then =
            std::lower_bound(static_cast<const process_time*>(before.at), end, now.pid, by_pid);
        // A process that started in the span counts from 0.
        const int64_t was = then != end && then->pid == now.pid ? then->cpu_ns : 0;
        if (now.cpu_ns <= was || skipped(now.pid, skip, skips)) {
            continue;
        }
        culprit c{};
        c.pid = now.pid;
        c.cpu_ns = now.cpu_ns - was;
        snprintf(c.name, sizeof c.name, "%s", now.name);
        place(out, &n, capacity, c);
    }
    return n;
}

int rank_switch_tally(const switch_tally& tally, long skip, culprit* out, int capacity) {
    bool done[tallied_tasks] = {};
    int n = 0;
    for (int i = 0; i < tally.count; ++i) {
        const long pid = tally.tasks[i].pid;
        if (done[i] || pid == 0 || pid == skip) {
            continue;
        }
        culprit c{};
        c.pid = pid;
        int64_t thread_ns[max_culprit_threads] = {};
        for (int j = i; j < tally.count; ++j) {
            if (tally.tasks[j].pid == pid) {
                done[j] = true;
                add_thread(&c, tally.tasks[j].tid, tally.tasks[j].ns, thread_ns);
            }
        }
        told_threads(&c);
        if (c.cpu_ns > 0) {
            place(out, &n, capacity, c);
        }
    }
    return n;
}

namespace {

bool before_thread(const thread_time& t, std::pair<long, long> key) {
    return t.pid != key.first ? t.pid < key.first : t.tid < key.second;
}

const thread_time* find_thread(const thread_list& list, long pid, long tid) {
    const thread_time* end = list.at + list.count;
    const thread_time* at = std::lower_bound(list.at, end, std::pair{pid, tid}, before_thread);
    return at != end && at->pid == pid && at->tid == tid ? at : nullptr;
}

bool holds_process(const thread_list& list, long pid) {
    const thread_time* end = list.at + list.count;
    const thread_time* at = std::lower_bound(list.at, end, std::pair{pid, 0L}, before_thread);
    return at != end && at->pid == pid;
}

}  // namespace

int rank_threads(const thread_list* starts, int start_count, const thread_list& end,
                 const long* skip, int skips, culprit* out, int capacity) {
    int n = 0;
    for (int i = 0; i < end.count;) {
        const long pid = end.at[i].pid;
        int next = i;
        while (next < end.count && end.at[next].pid == pid) {
            ++next;
        }
        const thread_list* start = nullptr;
        for (int s = 0; s < start_count && start == nullptr; ++s) {
            start = holds_process(starts[s], pid) ? &starts[s] : nullptr;
        }
        if (start == nullptr || skipped(pid, skip, skips)) {
            i = next;
            continue;  // no count of its threads from the span's start
        }
        culprit c{};
        c.pid = pid;
        int64_t thread_ns[max_culprit_threads] = {};
        for (; i < next; ++i) {
            const thread_time& now = end.at[i];
            const thread_time* then = find_thread(*start, pid, now.tid);
            // A thread that started in the span counts from 0.
            const int64_t was = then != nullptr ? then->cpu_ns : 0;
            const bool on_its_cpu =
                now.cpu == end.monitor_cpu || (then != nullptr && then->cpu == start->monitor_cpu);
            if (now.cpu_ns > was && on_its_cpu) {
                add_thread(&c, now.tid, now.cpu_ns - was, thread_ns);
            }
        }
        told_threads(&c);
        if (c.cpu_ns > 0) {
            place(out, &n, capacity, c);
        }
    }
    return n;
}
