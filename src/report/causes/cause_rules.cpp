#include "report/causes/cause_rules.h"

#include <algorithm>
#include <cinttypes>
#include <limits>

#include "report/util/report_time.h"

namespace {

constexpr const char* names[cause_kinds] = {
    "unknown", "cpu_contention", "throttled", "hypervisor", "memory",      "interrupts",
    "frozen",  "stopped",        "suspended", "clock_set",  "unexplained",
};

// The figures a rule reads to name a cause other than unexplained, as the table says;
// the watch's own witness and the monitor's CPU time alone name none.
constexpr uint32_t explaining_figures = [] {
    uint32_t bits = 0;
    for (const figure_entry& entry : figure_table) {
        bits |= entry.explains ? entry.bit : 0u;
    }
    return bits;
}();

bool has(const cause_figures& f, uint32_t bit) {
    return (f.have & bit) != 0;
}

// Whether `figure` reaches `percent` of `gap_ns`, without overflow for any gap.
bool reaches(int64_t figure, int64_t gap_ns, int64_t percent) {
    const int64_t share = gap_ns / 100 * percent + gap_ns % 100 * percent / 100;
    return figure > 0 && figure >= share;
}

int64_t us_as_ns(int64_t us) {
    constexpr int64_t most = std::numeric_limits<int64_t>::max() / 1000;
    return std::clamp(us, -most, most) * 1000;
}

// `a` less `b`, never below 0 (and without overflow).
int64_t less_of(int64_t a, int64_t b) {
    int64_t d = 0;
    if (__builtin_sub_overflow(a, b, &d)) {
        return b < 0 ? INT64_MAX : 0;
    }
    return std::max<int64_t>(d, 0);
}

// Held at 64 bits' ends rather than wrapping.
int64_t sum_of(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b < 0 ? INT64_MIN : INT64_MAX;
    }
    return sum;
}

// Steal time of the monitor's CPU when it is known, else of the machine.
bool steal_of(const cause_figures& f, int64_t* steal_ns) {
    if (has(f, have_cpu_steal)) {
        *steal_ns = f.cpu_steal_ns;
        return true;
    }
    *steal_ns = f.steal_ns;
    return has(f, have_steal);
}

// The most that all tasks of the machine, or of its cgroup, waited for memory: a time,
// never a count of faults.
int64_t memory_wait_ns(const cause_figures& f) {
    int64_t ns = has(f, have_psi) ? us_as_ns(f.psi_memory_full_us) : 0;
    return std::max(ns, has(f, have_group_memory) ? us_as_ns(f.group_memory_full_us) : 0);
}

// The interrupt time of its CPU that fell while the monitor waited for it, as if the
// interrupts fell evenly over the span: the monitor waited run_delay_ns of span_ns.
int64_t interrupts_while_waiting_ns(const cause_figures& f) {
    if (!has(f, have_interrupts) || f.interrupt_ns <= 0 || f.span_ns <= 0 || f.run_delay_ns <= 0) {
        return 0;
    }
    const long double share = std::min<long double>(
        1.0L, static_cast<long double>(f.run_delay_ns) / static_cast<long double>(f.span_ns));
    return static_cast<int64_t>(static_cast<long double>(f.interrupt_ns) * share);
}

// The run delay beyond the usual that neither throttling nor interrupts on its CPU
// explain: waiting behind other tasks.
int64_t contended_ns(const cause_figures& f) {
    const int64_t wait = less_of(f.wait_excess_ns, has(f, have_throttle) ? f.throttled_ns : 0);
    return less_of(wait, interrupts_while_waiting_ns(f));
}

// Its CPU cgroup was throttled through half the gap, and the monitor waited meanwhile.
bool throttled(const cause_figures& f, int64_t gap_ns) {
    return has(f, have_throttle) && reaches(f.throttled_ns, gap_ns, cover_percent) &&
           (!has(f, have_run_delay) || reaches(f.run_delay_ns, gap_ns, cover_percent));
}

// The wall clock was set forward by most of the gap: the monitor saw the step, not a
// hold-up.
bool clock_set_forward(const cause_figures& f, int64_t gap_ns) {
    return has(f, have_clock) && reaches(f.clock_set_ns, gap_ns, cover_percent);
}

// The monitor stepped back, and the watch's clock went back by most of the step (without
// a step, its clocks' drift of a microsecond would count as one).
bool clock_set_back(const cause_figures& f, int64_t step_back_ns) {
    return step_back_ns > 0 && has(f, have_clock) && f.clock_set_ns < 0 &&
           reaches(less_of(0, f.clock_set_ns), step_back_ns, cover_percent);
}

// A silence after the clock was set back, while the monitor's next row is not yet due:
// it runs, and rightly writes nothing until the clock passes its last row again.
bool waiting_for_clock(const cause_figures& f) {
    return has(f, have_due) && f.row_due_ns > 0 && has(f, have_clock) && f.clock_set_ns < 0;
}

// The watch went less than half the gap without running: the machine was not held.
bool watch_ran(const cause_figures& f, int64_t gap_ns) {
    return has(f, have_watch) && !reaches(f.watch_gap_ns, gap_ns, cover_percent);
}

// The monitor did not run while the watch did, and was not waiting for a CPU (which only
// its run delay can tell: it must not reach half the gap).
bool held_alone(const cause_figures& f, int64_t gap_ns) {
    return watch_ran(f, gap_ns) && has(f, have_run_delay) &&
           !reaches(f.run_delay_ns, gap_ns, cover_percent);
}

const char* list_separator(int i, int count) {
    return i == 0 ? "" : i + 1 == count ? " and " : ", ";
}

// "stress (pid 4242) ran 1.91 s and make (pid 77, threads 78 and 80) ran 0.40 s"
void write_culprits(text_out* out, const culprit_list* who) {
    char a[48];
    for (int i = 0; i < who->count; ++i) {
        const culprit& c = who->top[i];
        outf(out, "%s%s (pid %ld", list_separator(i, who->count), c.name, c.pid);
        for (int t = 0; t < c.threads; ++t) {
            outf(out, "%s%ld",
                 t == 0 ? (c.threads == 1 ? ", thread " : ", threads ")
                        : list_separator(t, c.threads),
                 c.tids[t]);
        }
        outf(out, ") ran %s", format_duration(c.cpu_ns, a, sizeof a));
    }
}

// Who took the monitor's CPU, as they were found: " while ... ran ... on its CPU".
void write_contenders(text_out* out, const culprit_list* who) {
    outf(out, " while ");
    write_culprits(out, who);
    if (who->seen != culprit_seen::switches) {
        outf(out,
             who->count == 1 ? " and was last seen on its CPU" : "; each was last seen on its CPU");
        return;
    }
    outf(out, " on its CPU");
    if (who->lost > 0) {
        outf(out, " (at least: the kernel lost %" PRIu64 " switch records meanwhile)", who->lost);
    } else if (who->partial) {
        outf(out, " (at least: more tasks ran than the watch counts)");
    }
}

// "its CPU spent 31.00 ms in interrupts and softirqs, most NET_RX (12000) and TIMER (250)"
void write_interrupts(text_out* out, const cause_figures& f) {
    char a[48];
    if (!has(f, have_softirqs)) {
        outf(out, "a processor spent %s in interrupts and DPCs",
             format_duration(f.interrupt_ns, a, sizeof a));
        return;
    }
    outf(out, "its CPU spent %s in interrupts and softirqs",
         format_duration(f.interrupt_ns, a, sizeof a));
    // The kinds that ran most, up to three.
    int order[softirq_kinds];
    for (int k = 0; k < softirq_kinds; ++k) {
        order[k] = k;
    }
    std::stable_sort(order, order + softirq_kinds, [&f](int x, int y) {
        return f.*softirq_table[x].value > f.*softirq_table[y].value;
    });
    int shown = 0;
    while (shown < 3 && f.*softirq_table[order[shown]].value > 0) {
        ++shown;
    }
    for (int i = 0; i < shown; ++i) {
        const softirq_kind& k = softirq_table[order[i]];
        outf(out, "%s%s (%" PRId64 ")", i == 0 ? ", most " : list_separator(i, shown), k.name,
             f.*k.value);
    }
}

void write_throttled(text_out* out, const cause_figures& f, const culprit_list* who) {
    char a[48], b[48];
    if (has(f, have_limit) && f.cpu_limit_millicpus > 0) {
        outf(out, "its cgroup's CPU limit (%" PRId64 ".%02" PRId64 " CPU)",
             f.cpu_limit_millicpus / 1000, f.cpu_limit_millicpus % 1000 / 10);
    } else {
        outf(out, "its cgroup's CPU limit");
    }
    outf(out, " held it %s in %s (%" PRId64 " periods)",
         format_duration(f.throttled_ns, a, sizeof a), format_duration(f.span_ns, b, sizeof b),
         f.throttled_periods);
    if (who != nullptr && who->count > 0) {
        outf(out, "; in the group, ");
        write_culprits(out, who);
    }
}

void write_clock_set(text_out* out, const cause_figures& f) {
    char a[48], b[48];
    if (f.clock_set_ns >= 0) {
        outf(out, "the wall clock was set forward by %s while the monitor ran",
             format_duration(f.clock_set_ns, a, sizeof a));
    } else if (has(f, have_due)) {
        outf(out,
             "the wall clock was set back by %s; the monitor runs, and writes its next row "
             "when the clock passes its last row again, in %s",
             format_duration(less_of(0, f.clock_set_ns), a, sizeof a),
             format_duration(f.row_due_ns, b, sizeof b));
    } else {
        outf(out, "the wall clock was set back by %s",
             format_duration(less_of(0, f.clock_set_ns), a, sizeof a));
    }
}

void write_unexplained(text_out* out, const cause_figures& f, int64_t gap_ns,
                       const culprit_list* who) {
    char a[48];
    if (who != nullptr && who->count > 0) {
        outf(out, "nothing here accounts for it; the busiest processes meanwhile: ");
        write_culprits(out, who);
        return;
    }
    if (watch_ran(f, gap_ns)) {
        outf(out,
             "no figure taken accounts for it; the watch ran meanwhile (it went at most %s "
             "without running), so the machine was not held as a whole",
             format_duration(f.watch_gap_ns, a, sizeof a));
    } else if (has(f, have_watch) && f.watch_gap_ns > watch_tick_ms * 1'500'000) {
        // Neither a suspend, steal nor a clock set: something held the watch too, and only
        // a frozen service (both in its cgroup) or the whole machine does that.
        outf(out,
             "nothing on this machine accounts for it, and the watch did not run for %s "
             "either: the watch was held as well (a frozen service, or the whole machine)",
             format_duration(f.watch_gap_ns, a, sizeof a));
    } else if (has(f, have_watch)) {
        outf(out,
             "nothing on this machine accounts for it, and it is too short for the "
             "watch, which wakes every %" PRId64 " ms, to tell whether it was held as well",
             watch_tick_ms);
    } else {
        outf(out,
             "nothing on this machine accounts for it: the whole machine was held, or "
             "the clock was stepped");
    }
}

void write_memory(text_out* out, const cause_figures& f) {
    char a[48];
    const bool group = has(f, have_group_memory) &&
                       us_as_ns(f.group_memory_full_us) >= us_as_ns(f.psi_memory_full_us);
    outf(out, "%s waited %s for memory", group ? "the tasks of its cgroup" : "all tasks",
         format_duration(memory_wait_ns(f), a, sizeof a));
    // A fault is a count, not a time: it is told, never the reason for the kind.
    if (has(f, have_faults) && f.major_faults > 0) {
        outf(out, "; the monitor had %" PRId64 " major page faults", f.major_faults);
    }
}

}  // namespace

const char* cause_name(cause_kind kind) {
    return names[static_cast<int>(kind)];
}

namespace {
constexpr const char* seen_names[] = {"sampled", "switches", "busiest"};
}

const char* seen_name(culprit_seen seen) {
    return seen_names[static_cast<int>(seen)];
}

bool seen_from_name(std::string_view name, culprit_seen* seen) {
    for (int i = 0; i < static_cast<int>(std::size(seen_names)); ++i) {
        if (name == seen_names[i]) {
            *seen = static_cast<culprit_seen>(i);
            return true;
        }
    }
    return false;
}

bool cause_from_name(std::string_view name, cause_kind* kind) {
    for (int i = 0; i < cause_kinds; ++i) {
        if (name == names[i]) {
            *kind = static_cast<cause_kind>(i);
            return true;
        }
    }
    return false;
}

cause_figures join_figures(const cause_figures& earlier, const cause_figures& later) {
    cause_figures f = later;
    f.have = earlier.have & later.have;
    f.span_ns = sum_of(earlier.span_ns, later.span_ns);
    for (const figure_entry& entry : figure_table) {
        const int64_t a = earlier.*entry.value, b = later.*entry.value;
        switch (entry.join) {
            case figure_join::sum:
                f.*entry.value = sum_of(a, b);
                break;
            case figure_join::most:
                f.*entry.value = std::max(a, b);
                break;
            case figure_join::later:
                break;
        }
    }
    return f;
}

// The one table of rules, first match wins. Suspend, a stopped monitor and a frozen
// cgroup are facts the system states; then a clock set; then what kept the monitor's CPU
// from it (its cgroup's limit, other tasks, the hypervisor, interrupts), then memory;
// then the watch as a witness: it ran, so the machine was not held, and the monitor, not
// waiting for a CPU, did not run.
cause_kind name_cause(const cause_figures& f, int64_t gap_ns, int64_t step_back_ns) {
    if ((f.have & explaining_figures) == 0 && !clock_set_forward(f, gap_ns) &&
        !clock_set_back(f, step_back_ns)) {
        return cause_kind::unknown;
    }
    if (has(f, have_suspend) && f.suspended_ns > 0 &&
        (step_back_ns > 0 || reaches(f.suspended_ns, gap_ns, cover_percent))) {
        return cause_kind::suspended;
    }
    if (step_back_ns > 0) {
        return clock_set_back(f, step_back_ns) ? cause_kind::clock_set : cause_kind::unexplained;
    }
    if (has(f, have_state) && f.stopped != 0) {
        return cause_kind::stopped;
    }
    if (has(f, have_freezer) && f.frozen != 0) {
        return cause_kind::frozen;
    }
    if (clock_set_forward(f, gap_ns) || waiting_for_clock(f)) {
        return cause_kind::clock_set;
    }
    if (throttled(f, gap_ns)) {
        return cause_kind::throttled;
    }
    if (has(f, have_run_delay) && reaches(contended_ns(f), gap_ns, contention_percent)) {
        return cause_kind::cpu_contention;
    }
    if (int64_t steal = 0; steal_of(f, &steal) && reaches(steal, gap_ns, cover_percent)) {
        return cause_kind::hypervisor;
    }
    if (has(f, have_interrupts) && reaches(f.interrupt_ns, gap_ns, cover_percent)) {
        return cause_kind::interrupts;
    }
    if (reaches(memory_wait_ns(f), gap_ns, cover_percent)) {
        return cause_kind::memory;
    }
    if (held_alone(f, gap_ns)) {
        return cause_kind::stopped;
    }
    return cause_kind::unexplained;
}

void write_cause_words(text_out* out, cause_kind kind, const cause_figures& f, int64_t gap_ns,
                       const culprit_list* who) {
    char a[48], b[48];
    switch (kind) {
        case cause_kind::unknown:
            outf(out, "no figures of this machine were taken for it");
            return;
        case cause_kind::cpu_contention:
            outf(out, "waited %s for a CPU in %s", format_duration(contended_ns(f), a, sizeof a),
                 format_duration(f.span_ns, b, sizeof b));
            if (has(f, have_switches) && f.involuntary_switches > 0) {
                outf(out, ", preempted %" PRId64 " %s,", f.involuntary_switches,
                     f.involuntary_switches == 1 ? "time" : "times");
            }
            if (who != nullptr && who->count > 0) {
                write_contenders(out, who);
            } else {
                outf(out, " while other tasks ran");
            }
            return;
        case cause_kind::throttled:
            write_throttled(out, f, who);
            return;
        case cause_kind::hypervisor: {
            int64_t steal = 0;
            steal_of(f, &steal);
            outf(out, "the hypervisor gave its CPU to others for %s (steal time)",
                 format_duration(steal, a, sizeof a));
            return;
        }
        case cause_kind::interrupts:
            write_interrupts(out, f);
            return;
        case cause_kind::memory:
            write_memory(out, f);
            return;
        case cause_kind::frozen:
            outf(out,
                 "its cgroup was frozen (a paused container, a frozen unit or the cgroup "
                 "freezer); the watch ran meanwhile");
            return;
        case cause_kind::stopped:
            if (f.stopped != 0) {
                outf(out, "the monitor was stopped (a signal or a debugger)");
            } else {
                outf(out,
                     "the monitor did not run while the watch did (the watch went at most %s "
                     "without running), and it was not waiting for a CPU",
                     format_duration(f.watch_gap_ns, a, sizeof a));
            }
            return;
        case cause_kind::suspended:
            outf(out, "the machine was suspended for %s",
                 format_duration(f.suspended_ns, a, sizeof a));
            return;
        case cause_kind::clock_set:
            write_clock_set(out, f);
            return;
        case cause_kind::unexplained:
            write_unexplained(out, f, gap_ns, who);
            return;
    }
}

int list_cause_figures(const cause_figures& f, cause_figure_value* out) {
    if (f.have == 0) {
        return 0;
    }
    int n = 0;
    out[n++] = cause_figure_value{nullptr, "span_ns", f.span_ns};
    for (const figure_entry& entry : figure_table) {
        if (has(f, entry.bit)) {
            out[n++] = cause_figure_value{&entry, entry.key, f.*entry.value};
        }
    }
    return n;
}

void write_cause_json(json_writer* w, cause_kind kind, const cause_figures& f,
                      const culprit_list* who) {
    json_open_object(w, "cause");
    json_string(w, "kind", cause_name(kind));
    cause_figure_value figures[max_cause_figures];
    const int n = list_cause_figures(f, figures);
    for (int i = 0; i < n; ++i) {
        if (figures[i].entry != nullptr && figures[i].entry->form == figure_form::flag) {
            json_bool(w, figures[i].key, figures[i].value != 0);
        } else {
            json_int(w, figures[i].key, figures[i].value);
        }
    }
    if (who != nullptr && who->count > 0) {
        if (who->seen == culprit_seen::switches) {
            json_uint(w, "switches_lost", who->lost);
            json_bool(w, "culprits_partial", who->partial);
        }
        json_open_array(w, "culprits");
        for (int i = 0; i < who->count; ++i) {
            const culprit& c = who->top[i];
            json_open_object(w, nullptr);
            json_int(w, "pid", c.pid);
            json_string(w, "name", c.name);
            json_int(w, "cpu_ns", c.cpu_ns);
            if (c.cgroup[0] != '\0') {
                json_string(w, "cgroup", c.cgroup);
            } else {
                json_null(w, "cgroup");
            }
            json_string(w, "seen", seen_name(who->seen));
            json_open_array(w, "tids");
            for (int t = 0; t < c.threads; ++t) {
                json_int(w, nullptr, c.tids[t]);
            }
            json_close(w);
            json_close(w);
        }
        json_close(w);
    }
    json_close(w);
}
