#include "report/causes/switch_account.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

namespace {

// The kernel's record layout (linux/perf_event.h), fixed by its ABI: a header of type,
// misc and size, the record's own fields, then the sample fields asked for (tid, time,
// cpu: 24 bytes).
constexpr uint32_t record_lost = 2;
constexpr uint32_t record_comm = 3;
constexpr uint32_t record_switch_cpu_wide = 15;
constexpr uint16_t misc_switch_out = 1u << 13;
constexpr uint16_t misc_switch_out_preempt = 1u << 14;
constexpr uint64_t header_size = 8;
constexpr uint64_t sample_size = 24;

// Copies `n` bytes at ring position `at` into `out`, across the ring's end.
void copy_out(const ring_view* v, uint64_t at, void* out, uint64_t n) {
    const uint64_t from = at & (v->size - 1);
    const uint64_t first = std::min(n, v->size - from);
    memcpy(out, v->data + from, first);
    memcpy(static_cast<char*>(out) + first, v->data, n - first);
}

uint32_t u32_at(const unsigned char* p) {
    uint32_t v = 0;
    memcpy(&v, p, sizeof v);
    return v;
}

uint64_t u64_at(const unsigned char* p) {
    uint64_t v = 0;
    memcpy(&v, p, sizeof v);
    return v;
}

// Adds `ns` to the task's line of a table of `capacity` lines, or to `untallied_ns`
// when the table is full.
void add_to_table(task_time* tasks, int* count, int capacity, int64_t* untallied_ns, int32_t pid,
                  int32_t tid, int64_t ns) {
    for (int i = 0; i < *count; ++i) {
        if (tasks[i].tid == tid && tasks[i].pid == pid) {
            tasks[i].ns += ns;
            return;
        }
    }
    if (*count == capacity) {
        *untallied_ns += ns;
        return;
    }
    tasks[(*count)++] = task_time{pid, tid, ns};
}

void add_pending(pending_tally* t, int32_t pid, int32_t tid, int64_t ns) {
    add_to_table(t->tasks, &t->count, pending_tasks, &t->untallied_ns, pid, tid, ns);
}

// `tid` of `pid` ran on CPU `slot` from `from_ns` to `to_ns`: the part of it in the
// monitor's wait for that CPU (or for any, while that is not yet known) is counted.
void ran(switch_account* a, int slot, int32_t pid, int32_t tid, int64_t from_ns, int64_t to_ns) {
    if (!a->away || pid == 0 || pid == a->monitor || (a->wait_slot >= 0 && a->wait_slot != slot)) {
        return;  // the idle task, or no wait for this CPU
    }
    const int64_t from = std::max(from_ns, a->wait_from_ns);
    if (to_ns > from) {
        add_pending(&a->pending[slot], pid, tid, to_ns - from);
    }
}

// The monitor came back at `at_ns` on CPU `slot`: its wait was for `wait`.
void wait_ended(switch_account* a, int slot, int64_t at_ns) {
    const int wait = a->wait_slot >= 0 ? a->wait_slot : slot;
    if (wait != slot && a->on[wait].known) {
        // Preempted on one CPU, back on another: who still runs on the first ran until now.
        const cpu_now& there = a->on[wait];
        ran(a, wait, there.pid, there.tid, there.since_ns, at_ns);
    }
    const pending_tally& p = a->pending[wait];
    for (int i = 0; i < p.count; ++i) {
        add_task_time(&a->window, p.tasks[i].pid, p.tasks[i].tid, p.tasks[i].ns);
    }
    a->window.untallied_ns += p.untallied_ns;
    for (int i = 0; i < a->cpus; ++i) {
        a->pending[i].count = 0;
        a->pending[i].untallied_ns = 0;
    }
    a->away = false;
}

// Sleeps in a run of the shortest: the learnt end of a sleep follows a machine whose
// timers grow slower.
constexpr int sleeps_a_run = 1024;

// How long a sleep of the monitor lasts when nothing holds it up.
int64_t usual_sleep(const switch_account* a) {
    const int64_t shortest = std::min(a->shortest_sleep_ns[0], a->shortest_sleep_ns[1]);
    return shortest == INT64_MAX ? a->pause_ns : std::max(shortest, a->pause_ns);
}

void note_sleep(switch_account* a, int64_t slept_ns) {
    if (slept_ns < a->pause_ns) {
        return;  // woken early (a signal): not a whole sleep
    }
    a->shortest_sleep_ns[1] = std::min(a->shortest_sleep_ns[1], slept_ns);
    if (++a->sleeps == sleeps_a_run) {
        a->shortest_sleep_ns[0] = a->shortest_sleep_ns[1];
        a->shortest_sleep_ns[1] = INT64_MAX;
        a->sleeps = 0;
    }
}

void add_tallies(switch_tally* into, const switch_tally& from) {
    for (int i = 0; i < from.count; ++i) {
        add_task_time(into, from.tasks[i].pid, from.tasks[i].tid, from.tasks[i].ns);
    }
    into->untallied_ns += from.untallied_ns;
    into->lost += from.lost;
}

}  // namespace

ring_item next_ring_item(ring_view* v, switch_record* r, uint64_t* lost) {
    while (v->head - v->at >= header_size) {
        unsigned char header[header_size];
        copy_out(v, v->at, header, header_size);
        const uint32_t type = u32_at(header);
        uint16_t misc = 0, size = 0;
        memcpy(&misc, header + 4, 2);
        memcpy(&size, header + 6, 2);
        if (size < header_size || size > v->head - v->at) {
            return ring_item::none;  // not whole: the kernel is still writing it
        }
        unsigned char body[512];
        const uint64_t length = std::min<uint64_t>(size, sizeof body);
        copy_out(v, v->at, body, length);
        v->at += size;
        if (length < header_size + sample_size || length < size) {
            continue;  // a record of another kind, or longer than any of ours
        }
        const unsigned char* sample = body + length - sample_size;
        *r = switch_record{};
        r->pid = static_cast<int32_t>(u32_at(sample));
        r->tid = static_cast<int32_t>(u32_at(sample + 4));
        r->at_ns = static_cast<int64_t>(u64_at(sample + 8));
        r->cpu = static_cast<int32_t>(u32_at(sample + 16));
        if (type == record_switch_cpu_wide && length == header_size + 8 + sample_size) {
            r->out = (misc & misc_switch_out) != 0;
            r->preempted = (misc & misc_switch_out_preempt) != 0;
            r->other_pid = static_cast<int32_t>(u32_at(body + header_size));
            r->other_tid = static_cast<int32_t>(u32_at(body + header_size + 4));
            return ring_item::record;
        }
        if (type == record_lost && length == header_size + 16 + sample_size) {
            *lost = u64_at(body + header_size + 8);
            return ring_item::lost;
        }
        if (type == record_comm && length > header_size + 8 + sample_size) {
            r->comm = true;
            r->pid = static_cast<int32_t>(u32_at(body + header_size));
            r->tid = static_cast<int32_t>(u32_at(body + header_size + 4));
            const char* name = reinterpret_cast<const char*>(body + header_size + 8);
            const size_t room = length - header_size - 8 - sample_size;
            const size_t n = strnlen(name, std::min(room, sizeof r->name - 1));
            memcpy(r->name, name, n);
            r->name[n] = '\0';
            return ring_item::record;
        }
    }
    return ring_item::none;
}

void add_task_time(switch_tally* t, int32_t pid, int32_t tid, int64_t ns) {
    add_to_table(t->tasks, &t->count, tallied_tasks, &t->untallied_ns, pid, tid, ns);
}

void start_switch_account(switch_account* a, int32_t monitor, int64_t pause_ns, const int* cpus,
                          int count, int64_t opened_ns) {
    a->monitor = monitor;
    a->pause_ns = pause_ns;
    a->cpus = 0;
    std::fill(std::begin(a->slot_of), std::end(a->slot_of), int16_t{-1});
    for (int i = 0; i < count && a->cpus < max_switch_cpus; ++i) {
        if (cpus[i] >= 0 && cpus[i] < static_cast<int>(std::size(a->slot_of))) {
            a->slot_of[cpus[i]] = static_cast<int16_t>(a->cpus);
            a->cpu_of[a->cpus] = cpus[i];
            // Until a CPU's first record, whoever that record switches out ran since now.
            a->on[a->cpus] = cpu_now{false, 0, 0, opened_ns};
            a->pending[a->cpus] = pending_tally{};
            ++a->cpus;
        }
    }
    a->pinned_slot = a->cpus == 1 ? 0 : -1;
    a->away = a->asleep = false;
    a->left_ns = 0;
    a->shortest_sleep_ns[0] = a->shortest_sleep_ns[1] = INT64_MAX;
    a->sleeps = 0;
    a->wait_slot = -1;
    a->wait_from_ns = 0;
    a->window = switch_tally{};
    a->previous = switch_tally{};
}

void account_switch(switch_account* a, const switch_record& r) {
    if (r.comm || r.cpu < 0 || r.cpu >= static_cast<int>(std::size(a->slot_of)) ||
        a->slot_of[r.cpu] < 0) {
        return;
    }
    const int slot = a->slot_of[r.cpu];
    cpu_now& now = a->on[slot];
    // Every record says who ran up to it and who runs from it on.
    const int32_t before_pid = r.out ? r.pid : r.other_pid;
    const int32_t before_tid = r.out ? r.tid : r.other_tid;
    if (now.since_ns >= 0) {
        ran(a, slot, before_pid, before_tid, now.since_ns, r.at_ns);
    }
    if (r.pid == a->monitor) {
        if (r.out) {
            a->away = true;
            a->asleep = !r.preempted;
            a->left_ns = r.at_ns;
            a->wait_slot = r.preempted ? slot : a->pinned_slot;
            a->wait_from_ns = r.preempted ? r.at_ns : r.at_ns + usual_sleep(a);
        } else if (a->away) {
            wait_ended(a, slot, r.at_ns);
            if (a->asleep) {
                note_sleep(a, r.at_ns - a->left_ns);
            }
        }
    }
    now = cpu_now{true, r.out ? r.other_pid : r.pid, r.out ? r.other_tid : r.tid, r.at_ns};
}

void account_lost(switch_account* a, int32_t cpu, int64_t at_ns, uint64_t lost) {
    // The records lost came before this note: whoever the CPU's next record says ran
    // before it ran at least from here, and nothing is known of the time before.
    if (cpu >= 0 && cpu < static_cast<int>(std::size(a->slot_of)) && a->slot_of[cpu] >= 0) {
        a->on[a->slot_of[cpu]] = cpu_now{false, 0, 0, at_ns};
    }
    a->window.lost += lost;
}

void close_switch_window(switch_account* a, bool join, switch_tally* span) {
    *span = join ? a->previous : switch_tally{};
    add_tallies(span, a->window);
    a->previous = a->window;
    a->window = switch_tally{};
}
