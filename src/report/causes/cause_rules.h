// Why the monitor could not read the clock: the figures the watch took of the machine
// and of the monitor over the time of a gap, and the one table of rules that names a
// cause from them. The rules read only figures that were taken: a figure the system
// does not give has its bit clear in `have` and is never guessed. No figures that could
// name a cause (the rows are not live, no monitor was found, a system that gives none):
// the cause is unknown.
#pragma once

#include <cstdint>
#include <string_view>

#include "report/util/json_writer.h"
#include "report/util/text_out.h"

enum class cause_kind : uint8_t {
    unknown,
    cpu_contention,
    hypervisor,
    memory,
    interrupts,
    stopped,
    suspended,
    unexplained,
};
inline constexpr int cause_kinds = 8;

// The kind's name, as the JSON, the metrics and the day files' causes give it.
const char* cause_name(cause_kind kind);
bool cause_from_name(std::string_view name, cause_kind* kind);

// Which figures were taken: one bit each.
enum cause_figure : uint32_t {
    have_run_delay = 1u << 0,     // the monitor's threads: runnable but not running
    have_steal = 1u << 1,         // the machine's steal time
    have_cpu_steal = 1u << 2,     // steal time of the CPU the monitor last ran on
    have_psi = 1u << 3,           // pressure totals: cpu, memory, io
    have_faults = 1u << 4,        // the monitor's major page faults
    have_switches = 1u << 5,      // its involuntary context switches
    have_suspend = 1u << 6,       // time the machine spent suspended
    have_watch = 1u << 7,         // the watch's own longest time without running
    have_state = 1u << 8,         // whether the monitor was seen stopped
    have_interrupts = 1u << 9,    // time processors spent in interrupts and DPCs
    have_monitor_cpu = 1u << 10,  // the monitor's own CPU time
    have_clock = 1u << 11,        // how far the wall clock was set, against the monotonic
};

// Figures over the watch's own time `span_ns` around a gap: what each counter grew by.
struct cause_figures {
    uint32_t have;
    int64_t span_ns;
    int64_t run_delay_ns;    // as counted
    int64_t wait_excess_ns;  // of it, beyond the monitor's usual wait at each wake-up
    int64_t monitor_cpu_ns;
    int64_t steal_ns, cpu_steal_ns;
    int64_t psi_cpu_some_us, psi_memory_some_us, psi_memory_full_us, psi_io_some_us, psi_io_full_us;
    int64_t major_faults, involuntary_switches;
    int64_t suspended_ns;
    int64_t watch_gap_ns;  // the longest the watch itself went without running
    int64_t interrupt_ns;  // on the processor that had the most
    int64_t clock_set_ns;  // the wall clock less the monotonic clock grew by (a step)
    bool stopped;          // the monitor was seen stopped (a signal, a debugger)
};

// The watch wakes this often between rows, to witness that it runs itself.
inline constexpr int64_t watch_tick_ms = 100;

// The rules' thresholds. A figure "covers" a gap when it reaches this share of it.
inline constexpr int64_t cover_percent = 50;
// The run delay beyond the usual must cover the whole gap: a calm second's waits vary by
// a few ms, as much as a short stall.
inline constexpr int64_t contention_percent = 100;
// Memory pressure (all tasks stalled on memory) covering this share of a gap names memory.
inline constexpr int64_t memory_full_percent = 50;

// The cause of a hold-up of `gap_ns` (the largest gap of a row, or a silence so far).
// `step_only`: the row set the clock back without holding anything up.
cause_kind name_cause(const cause_figures& f, int64_t gap_ns, bool step_only);

// The cause of a hold-up of `gap_ns` in words, with the figure that names it, e.g.
// "waited 17.3 ms for a CPU in 1.000 s while other tasks ran".
void write_cause_words(text_out* out, cause_kind kind, const cause_figures& f, int64_t gap_ns);

// The figures taken, by name as the JSON and the day files' causes give them: the span
// first, then each figure whose bit is set ("stopped" as 0 or 1). Returns how many.
struct cause_figure_value {
    uint32_t bit;
    const char* key;
    int64_t value;
};
inline constexpr int max_cause_figures = 18;
int list_cause_figures(const cause_figures& f, cause_figure_value* out);

// The "cause" object of an event: its kind and every figure taken.
void write_cause_json(json_writer* w, cause_kind kind, const cause_figures& f);
