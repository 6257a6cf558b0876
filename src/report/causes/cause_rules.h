// Why the monitor could not read the clock: the figures the watch took of the machine
// and of the monitor over the time of a gap, and the one table of rules that names a
// cause from them. The rules read only figures that were taken: a figure the system
// does not give has its bit clear in `have` and is never guessed. No figures that could
// name a cause (the rows are not live, no monitor was found, a system that gives none):
// the cause is unknown.
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>

#include "report/causes/cgroup_figures.h"
#include "report/causes/proc_figures.h"
#include "report/util/json_writer.h"
#include "report/util/text_out.h"

enum class cause_kind : uint8_t {
    unknown,
    cpu_contention,
    throttled,
    hypervisor,
    memory,
    interrupts,
    frozen,
    stopped,
    suspended,
    clock_set,
    unexplained,
};
inline constexpr int cause_kinds = 11;

// The kind's name, as the JSON, the metrics and the day files' causes give it.
const char* cause_name(cause_kind kind);
bool cause_from_name(std::string_view name, cause_kind* kind);

// Figures over the watch's own time `span_ns` around a gap: what each counter grew by.
// Flags (`stopped`, `frozen`) are 0 or 1.
struct cause_figures {
    uint32_t have;
    int64_t span_ns;
    int64_t run_delay_ns;    // as counted
    int64_t wait_excess_ns;  // of it, beyond the monitor's usual wait at each wake-up
    int64_t monitor_cpu_ns;
    int64_t involuntary_switches;
    int64_t throttled_ns;         // the most any of its CPU cgroups was throttled
    int64_t throttled_periods;    // of that cgroup, periods that ran out of quota
    int64_t cpu_limit_millicpus;  // that cgroup's limit, thousandths of a CPU; 0: none
    int64_t steal_ns, cpu_steal_ns;
    int64_t psi_memory_full_us;    // the machine: all tasks stalled on memory
    int64_t group_memory_full_us;  // its cgroup: all its tasks stalled on memory
    int64_t major_faults;
    int64_t suspended_ns;
    int64_t watch_gap_ns;  // the longest the watch itself went without running
    // Time in interrupts: on Linux, hard and soft, of the monitor's CPU; on Windows,
    // interrupts and DPCs of the processor that had the most.
    int64_t interrupt_ns;
    // Softirqs run on the monitor's CPU, by kind (Linux's /proc/softirqs).
    int64_t softirq_hi, softirq_timer, softirq_net_tx, softirq_net_rx, softirq_block;
    int64_t softirq_irq_poll, softirq_tasklet, softirq_sched, softirq_hrtimer, softirq_rcu;
    int64_t clock_set_ns;  // the wall clock less the monotonic clock grew by (a step)
    int64_t row_due_ns;    // a silence: the monitor's next row is due in this (< 0: overdue)
    int64_t stopped;       // the monitor was seen stopped (a signal, a debugger)
    int64_t frozen;        // its cgroup was seen frozen
};

// The one table of figures, a row each: its bit, its key in the JSON and the day files'
// causes, where the watch reads it, how the figures of two windows one after the other
// join into one, whether a rule can name a cause from it, the counter of the samples
// whose growth it is (else counters_between works it out), and what is said once when a
// system that could give it does not. Adding a figure is a field above and a row here;
// the static_assert below fails until both are there.
enum class figure_source : uint8_t { proc, cgroup, os, watch };
enum class figure_join : uint8_t { sum, most, later };
enum class figure_form : uint8_t { number, flag };
struct figure_entry {
    uint32_t bit;
    const char* key;
    int64_t cause_figures::*value;
    figure_source source;
    figure_join join;
    figure_form form;
    bool explains;                         // a rule names a cause other than unexplained from it
    int64_t proc_counters::*proc_counter;  // its counter in /proc, or nullptr
    int64_t cgroup_counters::*cgroup_counter;  // its counter in its cgroup, or nullptr
    // Said once where a system that could give it does not: with /proc, and without
    // (nullptr: nothing; a figure read with another of its bit is said with that one).
    const char* missing_with_proc;
    const char* missing_without_proc;
};
inline constexpr figure_entry figure_table[] = {
    {have_run_delay, "run_delay_ns", &cause_figures::run_delay_ns, figure_source::proc,
     figure_join::sum, figure_form::number, true, &proc_counters::run_delay_ns, nullptr,
     "the monitor's run delay (schedstat)", nullptr},
    {have_run_delay, "wait_excess_ns", &cause_figures::wait_excess_ns, figure_source::proc,
     figure_join::sum, figure_form::number, true, nullptr, nullptr, nullptr, nullptr},
    {have_monitor_cpu, "monitor_cpu_ns", &cause_figures::monitor_cpu_ns, figure_source::os,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_switches, "involuntary_switches", &cause_figures::involuntary_switches,
     figure_source::proc, figure_join::sum, figure_form::number, false,
     &proc_counters::involuntary_switches, nullptr, nullptr, nullptr},
    {have_throttle, "throttled_ns", &cause_figures::throttled_ns, figure_source::cgroup,
     figure_join::sum, figure_form::number, true, nullptr, nullptr,
     "its CPU cgroup's throttled time (cpu.stat)", nullptr},
    {have_throttle, "throttled_periods", &cause_figures::throttled_periods, figure_source::cgroup,
     figure_join::sum, figure_form::number, true, nullptr, nullptr, nullptr, nullptr},
    {have_limit, "cpu_limit_millicpus", &cause_figures::cpu_limit_millicpus, figure_source::cgroup,
     figure_join::later, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_steal, "steal_ns", &cause_figures::steal_ns, figure_source::proc, figure_join::sum,
     figure_form::number, true, &proc_counters::steal_ns, nullptr, "steal time (/proc/stat)",
     nullptr},
    {have_cpu_steal, "cpu_steal_ns", &cause_figures::cpu_steal_ns, figure_source::proc,
     figure_join::sum, figure_form::number, true, nullptr, nullptr, nullptr, nullptr},
    {have_psi, "psi_memory_full_us", &cause_figures::psi_memory_full_us, figure_source::proc,
     figure_join::sum, figure_form::number, true, &proc_counters::psi_memory_full_us, nullptr,
     "pressure totals (/proc/pressure)", nullptr},
    {have_group_memory, "group_memory_full_us", &cause_figures::group_memory_full_us,
     figure_source::cgroup, figure_join::sum, figure_form::number, true, nullptr,
     &cgroup_counters::memory_full_us, nullptr, nullptr},
    {have_faults, "major_faults", &cause_figures::major_faults, figure_source::proc,
     figure_join::sum, figure_form::number, false, &proc_counters::major_faults, nullptr,
     "the monitor's page faults", nullptr},
    {have_suspend, "suspended_ns", &cause_figures::suspended_ns, figure_source::os,
     figure_join::sum, figure_form::number, true, nullptr, nullptr, "time suspended",
     "time asleep (QueryInterruptTime)"},
    {have_watch, "watch_gap_ns", &cause_figures::watch_gap_ns, figure_source::watch,
     figure_join::most, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_interrupts, "interrupt_ns", &cause_figures::interrupt_ns, figure_source::proc,
     figure_join::sum, figure_form::number, true, nullptr, nullptr,
     "time in interrupts of each CPU (/proc/stat)",
     "time in interrupts and DPCs (GetProcessorSystemCycleTime)"},
    {have_softirqs, "softirq_hi", &cause_figures::softirq_hi, figure_source::proc, figure_join::sum,
     figure_form::number, false, nullptr, nullptr, "softirqs of each CPU by kind (/proc/softirqs)",
     nullptr},
    {have_softirqs, "softirq_timer", &cause_figures::softirq_timer, figure_source::proc,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_softirqs, "softirq_net_tx", &cause_figures::softirq_net_tx, figure_source::proc,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_softirqs, "softirq_net_rx", &cause_figures::softirq_net_rx, figure_source::proc,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_softirqs, "softirq_block", &cause_figures::softirq_block, figure_source::proc,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_softirqs, "softirq_irq_poll", &cause_figures::softirq_irq_poll, figure_source::proc,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_softirqs, "softirq_tasklet", &cause_figures::softirq_tasklet, figure_source::proc,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_softirqs, "softirq_sched", &cause_figures::softirq_sched, figure_source::proc,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_softirqs, "softirq_hrtimer", &cause_figures::softirq_hrtimer, figure_source::proc,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_softirqs, "softirq_rcu", &cause_figures::softirq_rcu, figure_source::proc,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_clock, "clock_set_ns", &cause_figures::clock_set_ns, figure_source::watch,
     figure_join::sum, figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_due, "row_due_ns", &cause_figures::row_due_ns, figure_source::watch, figure_join::later,
     figure_form::number, false, nullptr, nullptr, nullptr, nullptr},
    {have_state, "stopped", &cause_figures::stopped, figure_source::proc, figure_join::most,
     figure_form::flag, true, nullptr, nullptr, nullptr, nullptr},
    {have_freezer, "frozen", &cause_figures::frozen, figure_source::cgroup, figure_join::most,
     figure_form::flag, true, nullptr, nullptr,
     "whether its cgroup is frozen (freezer.state, cgroup.events)", nullptr},
};
inline constexpr int figure_count = static_cast<int>(std::size(figure_table));
// The span, then each figure.
inline constexpr int max_cause_figures = figure_count + 1;
static_assert(sizeof(cause_figures) == sizeof(uint64_t) * (figure_count + 2),
              "each figure of cause_figures has its line in figure_table");

// The kinds of softirq as /proc/softirqs names them, each with its figure.
struct softirq_kind {
    const char* name;
    int64_t cause_figures::*value;
};
inline constexpr softirq_kind softirq_table[] = {
    {"HI", &cause_figures::softirq_hi},           {"TIMER", &cause_figures::softirq_timer},
    {"NET_TX", &cause_figures::softirq_net_tx},   {"NET_RX", &cause_figures::softirq_net_rx},
    {"BLOCK", &cause_figures::softirq_block},     {"IRQ_POLL", &cause_figures::softirq_irq_poll},
    {"TASKLET", &cause_figures::softirq_tasklet}, {"SCHED", &cause_figures::softirq_sched},
    {"HRTIMER", &cause_figures::softirq_hrtimer}, {"RCU", &cause_figures::softirq_rcu},
};
static_assert(std::size(softirq_table) == softirq_kinds, "each kind of softirq has its figure");

// The figures of two windows one after the other, as one: sums held at 64 bits' ends.
cause_figures join_figures(const cause_figures& earlier, const cause_figures& later);

// The watch wakes this often between rows, to witness that it runs itself.
inline constexpr int64_t watch_tick_ms = 100;

// The rules' thresholds. A figure "covers" a gap when it reaches this share of it.
inline constexpr int64_t cover_percent = 50;
// The run delay beyond the usual must cover the whole gap: a calm second's waits vary by
// a few ms, as much as a short stall.
inline constexpr int64_t contention_percent = 100;

// Who used the CPU the monitor waited for: the processes that used the most of it over
// the span, the most first, and how that was found:
// - switches: the kernel's context-switch records: they ran on its CPU while it waited;
// - sampled: CPU time of the threads last seen on its CPU (at either end of the span);
// - busiest: the busiest processes meanwhile, on any CPU (a system without either).
enum class culprit_seen : uint8_t { sampled, switches, busiest };
const char* seen_name(culprit_seen seen);
bool seen_from_name(std::string_view name, culprit_seen* seen);

inline constexpr int max_culprits = 3;
inline constexpr int max_culprit_threads = 4;
struct culprit {
    long pid;
    int64_t cpu_ns;
    char name[32];
    char cgroup[128];  // its CPU cgroup's path; empty where there is none
    // The threads that ran, most first, when they are not just the process's first
    // thread; 0: not told.
    int threads;
    long tids[max_culprit_threads];
};
struct culprit_list {
    int count;
    culprit_seen seen;
    // Seen by switches: records the kernel lost over the span, and whether anything was
    // not counted (lost records, or more tasks than the tally holds): the times are then
    // at least these, not the whole.
    uint64_t lost;
    bool partial;
    culprit top[max_culprits];
};

// The cause of a hold-up of `gap_ns` (the largest gap of a row, or a silence so far).
// `step_back_ns` > 0: the row set the clock back by that much without holding anything up.
cause_kind name_cause(const cause_figures& f, int64_t gap_ns, int64_t step_back_ns);

// Whether the kind's words name who took the CPU (and so the watch looks for them).
inline bool names_culprits(cause_kind kind) {
    return kind == cause_kind::cpu_contention || kind == cause_kind::throttled;
}

// The cause of a hold-up of `gap_ns` in words, with the figure that names it and who
// took the CPU (`who` may be nullptr), e.g. "waited 17.3 ms for a CPU in 1.000 s while
// stress (pid 4242) ran 1.91 s on its CPU".
void write_cause_words(text_out* out, cause_kind kind, const cause_figures& f, int64_t gap_ns,
                       const culprit_list* who);

// The figures taken, by name as the JSON and the day files' causes give them: the span
// first, then each figure whose bit is set. Returns how many.
struct cause_figure_value {
    const figure_entry* entry;  // nullptr for the span
    const char* key;
    int64_t value;
};
int list_cause_figures(const cause_figures& f, cause_figure_value* out);

// The "cause" object of an event: its kind, every figure taken and the culprits.
void write_cause_json(json_writer* w, cause_kind kind, const cause_figures& f,
                      const culprit_list* who);
