#include "report/causes/cause_watch.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "report/os/clocks.h"
#include "report/util/complain.h"
#include "report/util/report_time.h"

namespace {

constexpr int64_t search_every_ns = 10'000'000'000;
// The boot clock and the monotonic clock are read one after the other: a difference
// below this is the time between the two reads, not a suspend.
constexpr int64_t least_suspend_ns = 1'000'000;
constexpr int64_t late_row_ns = 1'100'000'000;

// What a counter grew by; 0 if it went back (a thread that ended, a counter reset).
int64_t grew(int64_t from, int64_t to) {
    return to > from && (from >= 0 || to < INT64_MAX + from) ? to - from : 0;
}

// The CPU cgroup, the monitor's own (0) or an ancestor, that was throttled most from `a`
// to `b` (the first of equals); -1 when no cgroup was read.
int most_throttled(const cgroup_counters& a, const cgroup_counters& b) {
    const int levels = std::min(a.levels, b.levels);
    int most = -1;
    int64_t held = -1;
    for (int i = 0; i < levels; ++i) {
        if (const int64_t grown = grew(a.throttled_ns[i], b.throttled_ns[i]); grown > held) {
            held = grown;
            most = i;
        }
    }
    return most;
}

void take_sample(cause_watch* w, cause_sample* s) {
    s->at_ns = monotonic_ns();
    if (__builtin_sub_overflow(wall_clock_ns(), s->at_ns, &s->wall_less_monotonic_ns)) {
        s->wall_less_monotonic_ns = INT64_MIN;
    }
    s->proc.have = 0;
    s->cgroup.have = 0;
    if (w->reader.root != nullptr) {
        read_cpu_times(&w->reader, &s->proc);
        read_pressure(&w->reader, &s->proc);
        read_threads(&w->reader, &s->proc);
        read_softirqs(&w->reader, &s->proc);
        read_cgroup_counters(&w->place, &s->cgroup, w->buffer, sizeof w->buffer);
    }
    read_os_counters(w->pid, &s->os);
}

uint32_t have_of(const cause_sample& s) {
    const os_counters& os = s.os;
    return s.proc.have | s.cgroup.have | (os.suspended_read ? have_suspend : 0u) |
           (os.interrupts_read ? have_interrupts : 0u) |
           (os.monitor_cpu_read ? have_monitor_cpu : 0u);
}

// Says once each figure this system could give and does not, when the first row is
// explained, in the table's words: /proc's on Linux, the interrupt and sleep times on
// Windows.
void say_missing(cause_watch* w, uint32_t have) {
    for (const figure_entry& figure : figure_table) {
        const char* words =
            w->reader.root != nullptr ? figure.missing_with_proc : figure.missing_without_proc;
        if (words != nullptr && (have & figure.bit) == 0 && (w->said & figure.bit) == 0) {
            tell("this system does not give %s; causes of stalls are named without it", words);
            w->said |= figure.bit;
        }
    }
}

// The usual wait for a CPU at each wake-up: twice the median of the last rows', and
// never more than usual_wait_most_ns, so that a machine busy from the start still shows
// its waits.
int64_t usual_wait(const cause_watch* w) {
    if (w->waits == 0) {
        return usual_wait_most_ns;
    }
    int64_t waits[usual_wait_rows];
    std::copy(w->slice_wait_ns, w->slice_wait_ns + w->waits, waits);
    std::nth_element(waits, waits + w->waits / 2, waits + w->waits);
    return std::min(waits[w->waits / 2], usual_wait_most_ns / 2) * 2;
}

}  // namespace

cause_figures counters_between(const cause_sample& a, const cause_sample& b,
                               int64_t usual_wait_ns) {
    cause_figures f{};
    f.have = (have_of(a) & have_of(b)) | have_clock;
    if (__builtin_sub_overflow(b.wall_less_monotonic_ns, a.wall_less_monotonic_ns,
                               &f.clock_set_ns)) {
        f.clock_set_ns = b.wall_less_monotonic_ns < 0 ? INT64_MIN : INT64_MAX;
    }
    f.span_ns = b.at_ns - a.at_ns;
    const proc_counters &p = a.proc, &q = b.proc;
    // The figures that are the growth of one counter, as the table gives them.
    for (const figure_entry& entry : figure_table) {
        if (entry.proc_counter != nullptr) {
            f.*entry.value = grew(p.*entry.proc_counter, q.*entry.proc_counter);
        } else if (entry.cgroup_counter != nullptr) {
            f.*entry.value = grew(a.cgroup.*entry.cgroup_counter, b.cgroup.*entry.cgroup_counter);
        }
    }
    const int64_t slices = grew(p.slices, q.slices);
    // slices * usual_wait_ns, when it is less than the run delay (and so cannot overflow).
    const bool all_usual = usual_wait_ns > 0 && slices >= f.run_delay_ns / usual_wait_ns;
    f.wait_excess_ns = all_usual ? 0 : f.run_delay_ns - slices * usual_wait_ns;
    f.monitor_cpu_ns = (f.have & have_run_delay) != 0
                           ? grew(p.run_ns, q.run_ns)
                           : grew(a.os.monitor_cpu_ns, b.os.monitor_cpu_ns);
    const bool cpu_known = q.last_cpu >= 0 && q.last_cpu < std::min(p.cpus, q.cpus);
    if (cpu_known) {
        f.cpu_steal_ns = grew(p.cpu_steal_ns[q.last_cpu], q.cpu_steal_ns[q.last_cpu]);
        f.have |= f.have & have_steal ? have_cpu_steal : 0u;
    }
    // Interrupts on the monitor's CPU, from /proc (Linux); the OS's below (Windows).
    if ((p.have & q.have & have_interrupts) != 0) {
        if (cpu_known) {
            f.interrupt_ns = grew(p.cpu_irq_ns[q.last_cpu], q.cpu_irq_ns[q.last_cpu]);
        } else {
            f.have &= ~have_interrupts;
        }
    }
    const int cpu = q.last_cpu;
    if ((f.have & have_softirqs) != 0 && cpu >= 0 &&
        cpu < std::min(p.softirq_cpus, q.softirq_cpus)) {
        for (int k = 0; k < softirq_kinds; ++k) {
            f.*softirq_table[k].value = grew(p.softirqs[cpu][k], q.softirqs[cpu][k]);
        }
    } else {
        f.have &= ~have_softirqs;
    }
    // The group (itself or an ancestor) that was throttled most, with its limit now.
    if (const int i = most_throttled(a.cgroup, b.cgroup); i >= 0) {
        f.throttled_ns = grew(a.cgroup.throttled_ns[i], b.cgroup.throttled_ns[i]);
        f.throttled_periods = grew(a.cgroup.throttled_periods[i], b.cgroup.throttled_periods[i]);
        f.cpu_limit_millicpus = b.cgroup.limit_millicpus[i];
    } else {
        f.have &= ~(have_throttle | have_limit);
    }
    f.frozen = b.cgroup.frozen;
    f.suspended_ns = grew(a.os.suspended_ns, b.os.suspended_ns);
    if (f.suspended_ns < least_suspend_ns) {
        f.suspended_ns = 0;
    }
    const int processors = std::min(a.os.processors, b.os.processors);
    for (int i = 0; i < processors; ++i) {
        f.interrupt_ns = std::max(f.interrupt_ns, grew(a.os.interrupt_ns[i], b.os.interrupt_ns[i]));
    }
    f.stopped = q.stopped;
    return f;
}

namespace {

// What the counters grew by from `a` to `b`, with what the watch saw of its own: up to a
// row (`row`), or up to now in a silence. A monitor seen stopped, or its cgroup seen
// frozen, since the last row holds up that row or the silence so far, even once it runs
// again.
cause_figures window(cause_watch* w, const cause_sample& a, const cause_sample& b, bool row) {
    cause_figures f = counters_between(a, b, usual_wait(w));
    f.have |= have_watch;
    f.watch_gap_ns = std::max(w->watch_gap_ns, b.at_ns - w->last_wake_ns);
    f.stopped = f.stopped || w->stopped_seen;
    f.frozen = f.frozen || w->frozen_seen;
    const int64_t slices = grew(a.proc.slices, b.proc.slices);
    if (row && slices > 0) {
        w->slice_wait_ns[w->wait_at] = f.run_delay_ns / slices;
        w->wait_at = (w->wait_at + 1) % usual_wait_rows;
        w->waits = std::min(w->waits + 1, usual_wait_rows);
    }
    return f;
}

// Finds the monitor, if it is not known yet (at most every search_every_ns).
bool know_monitor(cause_watch* w, int64_t now_ns) {
    if (w->given_pid != nullptr) {
        const long pid = w->given_pid->load();
        if (pid != w->pid) {
            w->pid = pid;
            w->has_last = false;
            close_cpu_switches(&w->switches);
            w->switches_tried = false;
        }
        return w->pid != 0;
    }
    if (w->pid != 0 || now_ns < w->next_search_ns) {
        return w->pid != 0;
    }
    w->next_search_ns = now_ns + search_every_ns;
    w->pid = find_input_writer(w->input_fd, "clockgap");
    close_cpu_switches(&w->switches);
    w->switches_tried = false;
    if (w->pid != 0) {
        w->reader.pid = w->pid;
        w->reader.threads = list_threads(w->pid, w->reader.tids, max_threads);
        w->has_last = false;
        if (w->reader.root != nullptr) {
            find_cgroups(w->reader.root, w->sys_root, w->pid, &w->place, w->buffer,
                         sizeof w->buffer);
        }
    } else if (!w->no_monitor_said) {
        complain(
            "no clockgap process of this user writes the watch's input; the causes of "
            "stalls are unknown");
        w->no_monitor_said = true;
    }
    return w->pid != 0;
}

// The threads of the processes in `slot` whose CPU time grew since the listing before
// it (`earlier`): the only ones that can have taken the monitor's CPU meanwhile.
void take_busy_threads(cause_watch* w, int slot, int earlier) {
    thread_sample& into = w->threads[slot];
    into.count = 0;
    into.monitor_cpu = w->now.proc.last_cpu;
    const process_time* then = w->processes[earlier];
    const process_time* then_end = then + w->process_count[earlier];
    const long self = process_id();
    for (int i = 0; i < w->process_count[slot]; ++i) {
        const process_time& p = w->processes[slot][i];
        then = std::lower_bound(then, then_end, p.pid,
                                [](const process_time& t, long pid) { return t.pid < pid; });
        const bool grew_since = then == then_end || then->pid != p.pid || p.cpu_ns > then->cpu_ns;
        if (!grew_since || p.pid == w->pid || p.pid == self || p.pid == 0) {
            continue;
        }
        into.count += read_process_threads(&w->reader, p.pid, w->scratch, into.at + into.count,
                                           max_sampled_threads - into.count);
        if (into.count == max_sampled_threads) {
            break;
        }
    }
}

// Lists every process's CPU time into the next slot of the ring, and, where the switch
// records are not read, the threads of the busy ones.
void take_processes(cause_watch* w) {
    const int slot = w->process_at;
    process_time* into = w->processes[slot];
    int n = w->reader.root != nullptr ? read_processes(&w->reader, w->scratch, into, max_processes)
                                      : read_process_times(into, max_processes);
    // The system's one list with every time 0 tells nothing: it counts as none. (In
    // /proc, a new PID namespace's few processes can all have run less than a tick.)
    bool timed = w->reader.root != nullptr;
    for (int i = 0; i < n && !timed; ++i) {
        timed = into[i].cpu_ns > 0;
    }
    n = timed ? n : 0;
    std::sort(into, into + n,
              [](const process_time& a, const process_time& b) { return a.pid < b.pid; });
    w->process_count[slot] = n;
    w->threads[slot].count = 0;
    // The listing before this one, if any.
    int earlier = -1;
    for (int i = 0; i < 3; ++i) {
        if (i != slot && w->process_row[i] >= 0 &&
            (earlier < 0 || w->process_row[i] > w->process_row[earlier])) {
            earlier = i;
        }
    }
    if (w->reader.root != nullptr && w->switches.count == 0 && earlier >= 0) {
        take_busy_threads(w, slot, earlier);
    }
    w->process_row[slot] = w->rows;
    w->process_at = (slot + 1) % 3;
    if (n == 0 && !w->processes_said) {
        tell(
            "this system does not give the CPU time of each process; who took the "
            "monitor's CPU is not named");
        w->processes_said = true;
    }
}

// Says once why the switch records were not opened, and what the watch does instead.
void say_switches_refused(cause_watch* w, switches_refused why, const char* reason) {
    if (w->switches_said) {
        return;
    }
    w->switches_said = true;
    if (why == switches_refused::by_rights) {
        const int paranoia = perf_paranoia();
        tell(
            "the kernel refuses the watch the context switches of the monitor's CPUs (%s; "
            "kernel.perf_event_paranoid is %d): who took its CPU is told from the threads "
            "last seen on it instead; to see who ran, give clockgap-report CAP_PERFMON (the "
            "clockgap service has it) or set kernel.perf_event_paranoid to 0 or lower",
            reason, paranoia);
    } else {
        tell(
            "this system gives no context switches of the monitor's CPUs (%s): who took its "
            "CPU is told from the threads last seen on it instead",
            reason);
    }
}

// Opens the switch records on the monitor's CPUs, once for each monitor and again when
// the CPUs it may run on change.
void watch_switches(cause_watch* w) {
    if (w->reader.root == nullptr) {
        return;
    }
    int cpus[max_switch_cpus];
    const int count = process_cpus(w->pid, cpus, max_switch_cpus);
    const bool same = count == w->cpu_count && std::equal(cpus, cpus + count, w->cpus);
    if (w->switches_tried && same) {
        return;
    }
    close_cpu_switches(&w->switches);
    w->switches_tried = true;
    std::copy(cpus, cpus + count, w->cpus);
    w->cpu_count = count;
    switches_refused why = switches_refused::no;
    char reason[128] = "";
    if (count == 0) {
        say_switches_refused(w, switches_refused::by_system, "the monitor's CPUs are unknown");
    } else if (open_cpu_switches(cpus, count, &w->switches, &why, reason, sizeof reason)) {
        start_switch_account(&w->account, static_cast<int32_t>(w->pid), w->pause_ns, cpus, count,
                             monotonic_ns());
        w->span_tally = switch_tally{};
    } else {
        say_switches_refused(w, why, reason);
    }
}

void note_name(cause_watch* w, const switch_record& r) {
    if (r.pid == r.tid) {  // a process's own name, not one of its threads'
        process_name& n = w->names[w->names_at];
        n.pid = r.pid;
        snprintf(n.name, sizeof n.name, "%s", r.name);
        w->names_at = (w->names_at + 1) % kept_names;
    }
}

// Reads what the kernel wrote in every ring since the last read, in time order across
// the CPUs.
void drain_switches(cause_watch* w) {
    const int n = w->switches.count;
    ring_view views[max_switch_cpus];
    switch_record next[max_switch_cpus];
    uint64_t lost[max_switch_cpus];
    ring_item item[max_switch_cpus];
    for (int i = 0; i < n; ++i) {
        const switch_ring& ring = w->switches.rings[i];
        views[i] = ring_view{ring.data, ring.size, 0, 0};
        unread_switches(&ring, &views[i].at, &views[i].head);
        item[i] = next_ring_item(&views[i], &next[i], &lost[i]);
    }
    for (;;) {
        int first = -1;
        for (int i = 0; i < n; ++i) {
            if (item[i] != ring_item::none && (first < 0 || next[i].at_ns < next[first].at_ns)) {
                first = i;
            }
        }
        if (first < 0) {
            break;
        }
        if (item[first] == ring_item::lost) {
            account_lost(&w->account, w->switches.rings[first].cpu, next[first].at_ns, lost[first]);
        } else if (next[first].comm) {
            note_name(w, next[first]);
        } else {
            account_switch(&w->account, next[first]);
        }
        item[first] = next_ring_item(&views[first], &next[first], &lost[first]);
    }
    for (int i = 0; i < n; ++i) {
        release_switches(&w->switches.rings[i], views[i].at);
    }
}

// The CPU cgroup, the monitor's own or an ancestor, that was throttled most from `a` to
// `b`: the one whose members used its quota.
void note_throttle_group(cause_watch* w, const cause_sample& a, const cause_sample& b) {
    cpu_group_at(&w->place, std::max(most_throttled(a.cgroup, b.cgroup), 0), w->throttle_group,
                 sizeof w->throttle_group);
}

void note_wake(cause_watch* w, int64_t now_ns) {
    w->watch_gap_ns = std::max(w->watch_gap_ns, now_ns - w->last_wake_ns);
    w->last_wake_ns = now_ns;
}

}  // namespace

void start_cause_watch(cause_watch* w, bool follow, const std::atomic<long>* given_pid) {
    w->follow = follow;
    w->input_fd = -1;
    w->given_pid = given_pid;
    w->pid = 0;
    w->next_search_ns = 0;
    w->reader =
        proc_reader{proc_folder(), ns_per_clock_tick(), 0, {}, 0, w->buffer, sizeof w->buffer};
    w->has_last = false;
    w->waits = w->wait_at = 0;
    w->said = 0;
    w->no_monitor_said = false;
    w->last_wake_ns = w->last_row_ns = monotonic_ns();
    w->watch_gap_ns = 0;
    w->stopped_seen = w->frozen_seen = false;
    w->sys_root = "";
    w->place = cgroup_place{};
    w->last_row_ms = 0;
    w->process_at = 0;
    w->span_from = -1;
    w->rows = 0;
    for (int i = 0; i < 3; ++i) {
        w->process_count[i] = 0;
        w->process_row[i] = -1;
        w->threads[i].count = 0;
    }
    w->processes_said = false;
    w->throttle_group[0] = '\0';
    w->switches.count = 0;
    w->switches_tried = w->switches_said = false;
    w->cpu_count = 0;
    w->pause_ns = 0;
    w->span_tally = switch_tally{};
    w->span_run_delay_ns = -1;
    w->names_at = 0;
    for (process_name& n : w->names) {
        n = process_name{0, ""};
    }
}

void stop_cause_watch(cause_watch* w) {
    close_cpu_switches(&w->switches);
}

void cause_input(cause_watch* w, int fd) {
    w->input_fd = fd;
    if (w->given_pid == nullptr) {
        w->pid = 0;
        w->has_last = false;
        w->next_search_ns = 0;
    }
}

void cause_pause(cause_watch* w, int32_t pause_ms) {
    w->pause_ns = pause_ms > 0 ? int64_t{pause_ms} * 1'000'000 : 0;
    w->account.pause_ns = w->pause_ns;
}

int64_t next_cause_tick_ms(const cause_watch* w) {
    return w->pid != 0 ? w->last_wake_ns / 1'000'000 + watch_tick_ms : INT64_MAX;
}

void cause_tick(cause_watch* w) {
    if (w->pid == 0) {
        return;
    }
    const int64_t now = monotonic_ns();
    note_wake(w, now);
    if (w->switches.count > 0) {
        drain_switches(w);  // often enough that a busy CPU's ring never fills
    }
    if (now - w->last_row_ns > late_row_ns && w->reader.root != nullptr) {
        read_stopped(&w->reader, &w->now.proc);
        w->stopped_seen = w->stopped_seen || w->now.proc.stopped;
        bool known = false;
        w->frozen_seen =
            read_frozen(&w->place, &known, w->buffer, sizeof w->buffer) || w->frozen_seen;
    }
}

namespace {

// The lists of the row's span: every process's at its start (`span_from`), and the
// threads' at each listing in it.
void note_span(cause_watch* w, bool join) {
    const int64_t from = w->rows - (join ? 2 : 1);
    for (int i = 0; i < 3; ++i) {
        w->span_from = w->process_row[i] == from ? i : w->span_from;
    }
}

// The monitor has ended: found again when a new monitor writes.
void lose_monitor(cause_watch* w) {
    w->pid = 0;
    w->has_last = false;
    w->previous = cause_figures{};
    close_cpu_switches(&w->switches);
    w->switches_tried = false;
}

}  // namespace

cause_figures cause_row_figures(cause_watch* w, int64_t row_ms, int64_t wall_ms) {
    const int64_t now = monotonic_ns();
    if (!w->follow || !is_live_row(row_ms, wall_ms) || !know_monitor(w, now)) {
        return cause_figures{};
    }
    take_sample(w, &w->now);
    watch_switches(w);
    if (w->switches.count > 0) {
        drain_switches(w);
    }
    ++w->rows;
    cause_figures f{};
    w->span_from = -1;
    if (w->has_last) {
        const cause_figures current = window(w, w->last, w->now, true);
        const bool join = w->previous.have != 0;
        f = join ? join_figures(w->previous, current) : current;
        w->previous = current;
        if (w->switches.count > 0) {
            close_switch_window(&w->account, join, &w->span_tally);
            w->span_run_delay_ns = (f.have & have_run_delay) != 0 ? f.run_delay_ns : -1;
        }
        // Every process is listed only while its group is throttled, or, where switches
        // are not read, while the monitor waits beyond its usual (and always where one
        // call lists them): on a calm machine of a thousand processes the list would
        // cost more than the rest of the watch.
        const bool sampled = w->switches.count == 0 && current.wait_excess_ns > 0;
        if (w->reader.root == nullptr || current.throttled_ns > 0 || sampled) {
            take_processes(w);
            note_span(w, join);
        }
        note_throttle_group(w, w->last, w->now);
        say_missing(w, f.have);
    } else {
        w->previous = cause_figures{};  // a new monitor, or a new input: nothing before it
        take_processes(w);
    }
    w->last_row_ms = row_ms;
    if (w->now.proc.gone) {
        lose_monitor(w);
        return f;
    }
    w->last = w->now;
    w->has_last = true;
    w->last_row_ns = w->last_wake_ns = now;
    w->watch_gap_ns = 0;
    w->stopped_seen = w->frozen_seen = false;
    return f;
}

cause_figures cause_silence_figures(cause_watch* w) {
    if (w->pid == 0 || !w->has_last) {
        return cause_figures{};
    }
    note_wake(w, monotonic_ns());
    take_sample(w, &w->now);
    cause_figures f = window(w, w->last, w->now, false);
    // The monitor writes its next row at the first reading in the first half of a second
    // that is more than half a second after its last row, or in the second half more
    // than a second after it: until then a clock set back keeps it silent.
    const int64_t after =
        w->last_row_ms < INT64_MAX - 2000 ? w->last_row_ms + 500 : INT64_MAX - 1500;
    const int64_t second = floor_div(after, 1000) * 1000;
    const int64_t due_ms = after - second < 500 ? after : second + 1000;
    const int64_t now_ms = floor_div(wall_clock_ns(), 1'000'000);
    int64_t due_in_ms = 0;
    if (!__builtin_sub_overflow(due_ms, now_ms, &due_in_ms) && due_in_ms < INT64_MAX / 1'000'000 &&
        due_in_ms > INT64_MIN / 1'000'000) {
        f.row_due_ns = due_in_ms * 1'000'000;
        f.have |= have_due;
    }
    return f;
}

namespace {

// A process's name: as /proc gives it now, else as the switch records last named it.
void name_process(cause_watch* w, culprit* c) {
    if (read_process_name(&w->reader, c->pid, c->name, sizeof c->name)) {
        return;
    }
    snprintf(c->name, sizeof c->name, "?");
    for (const process_name& n : w->names) {
        if (n.pid == c->pid) {
            snprintf(c->name, sizeof c->name, "%s", n.name);
        }
    }
}

// Who ran on the monitor's CPU while it waited, by the switch records. A wait after a
// sleep begins when the monitor's usual sleep would have ended, which the records do
// not say: where the waits so found add up to more than the run delay the kernel
// counted for it over the span, each time is scaled down to its share of that.
void switch_culprits(cause_watch* w, culprit_list* who) {
    const switch_tally& tally = w->span_tally;
    who->seen = culprit_seen::switches;
    who->count = rank_switch_tally(tally, w->pid, who->top, max_culprits);
    who->lost = tally.lost;
    who->partial = tally.lost > 0 || tally.untallied_ns > 0;
    int64_t total = tally.untallied_ns;
    for (int i = 0; i < tally.count; ++i) {
        total += tally.tasks[i].pid != 0 && tally.tasks[i].pid != w->pid ? tally.tasks[i].ns : 0;
    }
    const int64_t waited = w->span_run_delay_ns;
    for (int i = 0; i < who->count && waited >= 0 && total > waited; ++i) {
        who->top[i].cpu_ns = static_cast<int64_t>(static_cast<long double>(who->top[i].cpu_ns) *
                                                  static_cast<long double>(waited) /
                                                  static_cast<long double>(total));
    }
    for (int i = 0; i < who->count; ++i) {
        name_process(w, &who->top[i]);
        cpu_cgroup_of(w->reader.root, who->top[i].pid, who->top[i].cgroup,
                      sizeof who->top[i].cgroup, w->buffer, sizeof w->buffer);
    }
}

// Whose threads were last seen on the monitor's CPU, from the listings of the span.
void sampled_culprits(cause_watch* w, int now, culprit_list* who) {
    who->seen = culprit_seen::sampled;
    thread_list starts[2];
    int start_count = 0;
    for (int64_t row = w->process_row[w->span_from]; row < w->rows; ++row) {
        for (int i = 0; i < 3; ++i) {
            if (w->process_row[i] == row) {
                starts[start_count++] =
                    thread_list{w->threads[i].count, w->threads[i].at, w->threads[i].monitor_cpu};
            }
        }
    }
    const thread_list end{w->threads[now].count, w->threads[now].at, w->threads[now].monitor_cpu};
    const long skip[] = {w->pid, process_id()};
    who->count = rank_threads(starts, start_count, end, skip, 2, who->top, max_culprits);
    const process_time* listed = w->processes[now];
    const process_time* listed_end = listed + w->process_count[now];
    for (int i = 0; i < who->count; ++i) {
        culprit& c = who->top[i];
        const process_time* p = std::lower_bound(
            listed, listed_end, c.pid, [](const process_time& t, long pid) { return t.pid < pid; });
        snprintf(c.name, sizeof c.name, "%s", p != listed_end && p->pid == c.pid ? p->name : "?");
        cpu_cgroup_of(w->reader.root, c.pid, c.cgroup, sizeof c.cgroup, w->buffer,
                      sizeof w->buffer);
    }
}

// The processes that used the most CPU on any CPU: for a quota, those in the group.
void busiest_culprits(cause_watch* w, int now, bool throttled, culprit_list* who) {
    who->seen = throttled ? culprit_seen::sampled : culprit_seen::busiest;
    const process_list before{w->process_count[w->span_from], w->processes[w->span_from]};
    const process_list after{w->process_count[now], w->processes[now]};
    const long skip[] = {w->pid, process_id()};
    // For a limit, anyone in the group on any CPU used its quota: rank more, keep those
    // in the group.
    culprit ranked[16];
    const int n = rank_processes(before, after, skip, 2, ranked, throttled ? 16 : max_culprits);
    const size_t group_length = strlen(w->throttle_group);
    for (int i = 0; i < n && who->count < max_culprits; ++i) {
        culprit& c = ranked[i];
        if (w->reader.root != nullptr) {
            cpu_cgroup_of(w->reader.root, c.pid, c.cgroup, sizeof c.cgroup, w->buffer,
                          sizeof w->buffer);
        }
        const bool in_group =
            strncmp(c.cgroup, w->throttle_group, group_length) == 0 &&
            (group_length <= 1 || c.cgroup[group_length] == '/' || c.cgroup[group_length] == '\0');
        if (!throttled || in_group) {
            who->top[who->count++] = c;
        }
    }
}

}  // namespace

void cause_culprits(cause_watch* w, cause_kind kind, culprit_list* who) {
    *who = culprit_list{};
    // Without /proc (Windows) no rule can tell a wait for a CPU: an unexplained stall gets
    // the busiest processes meanwhile, as what they are, not as its cause.
    const bool busiest = kind == cause_kind::unexplained && w->reader.root == nullptr;
    if (!(names_culprits(kind) || busiest)) {
        return;
    }
    if (kind == cause_kind::cpu_contention && w->switches.count > 0) {
        switch_culprits(w, who);
        return;
    }
    const int now = (w->process_at + 2) % 3;  // the slot written at this row
    if (w->span_from < 0 || w->process_row[now] != w->rows) {
        return;
    }
    if (kind == cause_kind::cpu_contention) {
        sampled_culprits(w, now, who);
    } else {
        busiest_culprits(w, now, kind == cause_kind::throttled, who);
    }
}
