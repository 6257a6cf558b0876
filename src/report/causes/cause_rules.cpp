#include "report/causes/cause_rules.h"

#include <algorithm>
#include <cinttypes>
#include <limits>

#include "report/util/report_time.h"

namespace {

constexpr const char* names[cause_kinds] = {
    "unknown",    "cpu_contention", "hypervisor", "memory",
    "interrupts", "stopped",        "suspended",  "unexplained",
};

// The figures a rule reads to name a cause other than unexplained; the watch's own
// witness and the monitor's CPU time alone name none.
constexpr uint32_t explaining_figures = have_run_delay | have_steal | have_cpu_steal | have_psi |
                                        have_faults | have_suspend | have_state | have_interrupts;

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

// Steal time of the monitor's CPU when it is known, else of the machine.
bool steal_of(const cause_figures& f, int64_t* steal_ns) {
    if (has(f, have_cpu_steal)) {
        *steal_ns = f.cpu_steal_ns;
        return true;
    }
    *steal_ns = f.steal_ns;
    return has(f, have_steal);
}

bool memory_held(const cause_figures& f, int64_t gap_ns) {
    return (has(f, have_faults) && f.major_faults > 0) ||
           (has(f, have_psi) &&
            reaches(us_as_ns(f.psi_memory_full_us), gap_ns, memory_full_percent));
}

// The wall clock was set forward by most of the gap: the monitor saw the step, not a
// hold-up.
bool clock_stepped(const cause_figures& f, int64_t gap_ns) {
    return has(f, have_clock) && reaches(f.clock_set_ns, gap_ns, cover_percent);
}

// The watch went less than half the gap without running: the machine was not held.
bool watch_ran(const cause_figures& f, int64_t gap_ns) {
    return has(f, have_watch) && !reaches(f.watch_gap_ns, gap_ns, cover_percent);
}

// The monitor did not run while the watch did, and was not waiting for a CPU (which only
// its run delay can tell).
bool held_alone(const cause_figures& f, int64_t gap_ns) {
    return watch_ran(f, gap_ns) && has(f, have_run_delay);
}

}  // namespace

const char* cause_name(cause_kind kind) {
    return names[static_cast<int>(kind)];
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

// The one table of rules, first match wins. Suspend and a stopped monitor are facts the
// system states; then what kept the monitor's CPU from it (other tasks, the hypervisor,
// interrupts), then memory; then the watch as a witness: it ran, so the machine was not
// held, and the monitor, not waiting for a CPU, did not run.
cause_kind name_cause(const cause_figures& f, int64_t gap_ns, bool step_only) {
    if ((f.have & explaining_figures) == 0 && !clock_stepped(f, gap_ns)) {
        return cause_kind::unknown;
    }
    if (has(f, have_suspend) && f.suspended_ns > 0 &&
        (step_only || reaches(f.suspended_ns, gap_ns, cover_percent))) {
        return cause_kind::suspended;
    }
    if (step_only) {
        return cause_kind::unexplained;  // the clock was set back: nothing here does that
    }
    if (has(f, have_state) && f.stopped) {
        return cause_kind::stopped;
    }
    if (clock_stepped(f, gap_ns)) {
        return cause_kind::unexplained;
    }
    if (has(f, have_run_delay) && reaches(f.wait_excess_ns, gap_ns, contention_percent)) {
        return cause_kind::cpu_contention;
    }
    if (int64_t steal = 0; steal_of(f, &steal) && reaches(steal, gap_ns, cover_percent)) {
        return cause_kind::hypervisor;
    }
    if (has(f, have_interrupts) && reaches(f.interrupt_ns, gap_ns, cover_percent)) {
        return cause_kind::interrupts;
    }
    if (memory_held(f, gap_ns)) {
        return cause_kind::memory;
    }
    if (held_alone(f, gap_ns)) {
        return cause_kind::stopped;
    }
    return cause_kind::unexplained;
}

void write_cause_words(text_out* out, cause_kind kind, const cause_figures& f, int64_t gap_ns) {
    char a[48], b[48];
    switch (kind) {
        case cause_kind::unknown:
            outf(out, "no figures of this machine were taken for it");
            return;
        case cause_kind::cpu_contention:
            outf(out, "waited %s for a CPU in %s while other tasks ran",
                 format_duration(f.run_delay_ns, a, sizeof a),
                 format_duration(f.span_ns, b, sizeof b));
            return;
        case cause_kind::hypervisor: {
            int64_t steal = 0;
            steal_of(f, &steal);
            outf(out, "the hypervisor gave its CPU to others for %s (steal time)",
                 format_duration(steal, a, sizeof a));
            return;
        }
        case cause_kind::interrupts:
            outf(out, "a processor spent %s in interrupts and DPCs",
                 format_duration(f.interrupt_ns, a, sizeof a));
            return;
        case cause_kind::memory:
            // Each figure only when it was taken: a figure left out is not a zero.
            if (has(f, have_faults)) {
                outf(out, "%" PRId64 " major page faults", f.major_faults);
            }
            if (has(f, have_psi)) {
                outf(out, "%sall tasks waited %s for memory", has(f, have_faults) ? "; " : "",
                     format_duration(us_as_ns(f.psi_memory_full_us), a, sizeof a));
            }
            return;
        case cause_kind::stopped:
            if (f.stopped) {
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
        case cause_kind::unexplained:
            if (clock_stepped(f, gap_ns)) {
                outf(out, "the wall clock was set forward by %s while the monitor ran",
                     format_duration(f.clock_set_ns, a, sizeof a));
            } else if (watch_ran(f, gap_ns)) {
                outf(out,
                     "no figure taken accounts for it; the watch ran meanwhile (it went at most "
                     "%s without running), so the machine was not held as a whole",
                     format_duration(f.watch_gap_ns, a, sizeof a));
            } else if (has(f, have_watch) && f.watch_gap_ns > watch_tick_ms * 1'500'000) {
                outf(out,
                     "nothing on this machine accounts for it, and the watch did not run for "
                     "%s either: the whole machine was held, or the clock was set",
                     format_duration(f.watch_gap_ns, a, sizeof a));
            } else if (has(f, have_watch)) {
                outf(out,
                     "nothing on this machine accounts for it, and it is too short for the "
                     "watch, which wakes every %" PRId64
                     " ms, to tell whether the whole machine was held",
                     watch_tick_ms);
            } else {
                outf(out,
                     "nothing on this machine accounts for it: the whole machine was held, or "
                     "the clock was stepped");
            }
            return;
    }
}

int list_cause_figures(const cause_figures& f, cause_figure_value* out) {
    if (f.have == 0) {
        return 0;
    }
    const cause_figure_value all[] = {
        {have_run_delay, "run_delay_ns", f.run_delay_ns},
        {have_run_delay, "wait_excess_ns", f.wait_excess_ns},
        {have_monitor_cpu, "monitor_cpu_ns", f.monitor_cpu_ns},
        {have_steal, "steal_ns", f.steal_ns},
        {have_cpu_steal, "cpu_steal_ns", f.cpu_steal_ns},
        {have_psi, "psi_cpu_some_us", f.psi_cpu_some_us},
        {have_psi, "psi_memory_some_us", f.psi_memory_some_us},
        {have_psi, "psi_memory_full_us", f.psi_memory_full_us},
        {have_psi, "psi_io_some_us", f.psi_io_some_us},
        {have_psi, "psi_io_full_us", f.psi_io_full_us},
        {have_faults, "major_faults", f.major_faults},
        {have_switches, "involuntary_switches", f.involuntary_switches},
        {have_suspend, "suspended_ns", f.suspended_ns},
        {have_watch, "watch_gap_ns", f.watch_gap_ns},
        {have_interrupts, "interrupt_ns", f.interrupt_ns},
        {have_clock, "clock_set_ns", f.clock_set_ns},
        {have_state, "stopped", f.stopped ? 1 : 0},
    };
    int n = 0;
    out[n++] = cause_figure_value{0, "span_ns", f.span_ns};
    for (const cause_figure_value& figure : all) {
        if (has(f, figure.bit)) {
            out[n++] = figure;
        }
    }
    return n;
}

void write_cause_json(json_writer* w, cause_kind kind, const cause_figures& f) {
    json_open_object(w, "cause");
    json_string(w, "kind", cause_name(kind));
    cause_figure_value figures[max_cause_figures];
    const int n = list_cause_figures(f, figures);
    for (int i = 0; i < n; ++i) {
        if (figures[i].bit == have_state) {
            json_bool(w, figures[i].key, figures[i].value != 0);
        } else {
            json_int(w, figures[i].key, figures[i].value);
        }
    }
    json_close(w, '}');
}
