#include "report/causes/proc_figures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "report/causes/cause_rules.h"
#include "report/os/files.h"
#include "report/os/processes.h"

namespace {

// Reads `root`/`name` into the reader's buffer as a C string; false if it cannot.
bool load(const proc_reader* r, const char* name) {
    char path[512];
    const int n = snprintf(path, sizeof path, "%s/%s", r->root, name);
    return n > 0 && static_cast<size_t>(n) < sizeof path &&
           read_small_file(path, r->buffer, r->size) >= 0;
}

// The next whole number at or after `*at` (skipping spaces), moving `*at` past it.
bool next_number(const char** at, int64_t* value) {
    char* end = nullptr;
    const long long v = strtoll(*at, &end, 10);
    if (end == *at) {
        return false;
    }
    *at = end;
    *value = v;
    return true;
}

// The fields of a task's stat after "(comm)": field 3 (state) is fields[0].
bool stat_fields(const char* buffer, const char** after_name) {
    const char* close = strrchr(buffer, ')');
    if (close == nullptr || close[1] != ' ') {
        return false;
    }
    *after_name = close + 2;
    return true;
}

// The numbers of a task's stat after its state, fields 4 to 39 (fields[0] is field 4);
// returns how many were read.
constexpr int stat_numbers = 36;
int numbers_after_state(const char* state, int64_t* fields) {
    const char* at = state + 1;
    int got = 0;
    while (got < stat_numbers && next_number(&at, &fields[got])) {
        ++got;
    }
    return got;
}

bool thread_file(const proc_reader* r, long tid, const char* file) {
    char name[128];
    snprintf(name, sizeof name, "%ld/task/%ld/%s", r->pid, tid, file);
    return load(r, name);
}

// Adds up the threads' counters, held at the largest value rather than wrapping.
void add_to(int64_t* sum, int64_t more) {
    if (__builtin_add_overflow(*sum, more, sum)) {
        *sum = INT64_MAX;
    }
}

bool is_stopped_state(char state) {
    return state == 'T' || state == 't';
}

}  // namespace

bool pressure_total(const char* text, const char* kind, int64_t* total_us) {
    for (const char* line = text; line != nullptr && *line != '\0';) {
        const char* end = strchr(line, '\n');
        if (strncmp(line, kind, strlen(kind)) == 0) {
            const char* total = strstr(line, "total=");
            if (total == nullptr || (end != nullptr && total > end)) {
                return false;
            }
            total += 6;
            return next_number(&total, total_us);
        }
        line = end == nullptr ? nullptr : end + 1;
    }
    return false;
}

void read_cpu_times(const proc_reader* r, proc_counters* c) {
    c->cpus = 0;
    if (!load(r, "stat")) {
        return;
    }
    bool irq_read = true;
    // "cpu  user nice system idle iowait irq softirq steal ...", then "cpuN ..." lines.
    for (const char* line = r->buffer; strncmp(line, "cpu", 3) == 0;) {
        const char* at = line + 3;
        int64_t cpu = -1;
        if (*at != ' ' && !next_number(&at, &cpu)) {
            return;
        }
        int64_t ticks[8] = {};
        for (int64_t& value : ticks) {
            if (!next_number(&at, &value)) {
                return;  // a kernel without a steal field
            }
            // Ticks as ns, held at the largest value a nonsense count could pass.
            value = value > INT64_MAX / r->ns_per_tick ? INT64_MAX : value * r->ns_per_tick;
        }
        if (cpu < 0) {
            c->steal_ns = ticks[7];
            c->have |= have_steal;
        } else if (cpu < max_cpus) {
            c->cpu_steal_ns[cpu] = ticks[7];
            irq_read = irq_read && !__builtin_add_overflow(ticks[5], ticks[6], &c->cpu_irq_ns[cpu]);
            c->cpus = static_cast<int>(cpu) + 1;
        }
        const char* end = strchr(at, '\n');
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
    if (irq_read && c->cpus > 0) {
        c->have |= have_interrupts;
    }
}

void read_softirqs(const proc_reader* r, proc_counters* c) {
    c->softirq_cpus = 0;
    if (!load(r, "softirqs")) {
        return;
    }
    // "                    CPU0       CPU1", then "      NET_RX:         12          3" lines:
    // the header names the CPUs that have a column (not always all of them).
    int cpu_of[max_softirq_cpus];
    int columns = 0;
    const char* at = r->buffer;
    while (*at != '\n' && *at != '\0' && columns < max_softirq_cpus) {
        at += strspn(at, " ");
        int64_t cpu = -1;
        if (strncmp(at, "CPU", 3) != 0) {
            break;
        }
        at += 3;
        if (!next_number(&at, &cpu) || cpu < 0 || cpu >= max_softirq_cpus) {
            return;
        }
        cpu_of[columns++] = static_cast<int>(cpu);
    }
    at = strchr(at, '\n');
    if (at == nullptr || columns == 0) {
        return;
    }
    for (int k = 0; k < columns; ++k) {
        std::fill(c->softirqs[cpu_of[k]], c->softirqs[cpu_of[k]] + softirq_kinds, int64_t{0});
    }
    int found = 0;
    for (const char* line = at + 1; *line != '\0';) {
        line += strspn(line, " ");
        const char* colon = strchr(line, ':');
        const char* end = strchr(line, '\n');
        if (colon == nullptr || (end != nullptr && colon > end)) {
            break;
        }
        const std::string_view name(line, static_cast<size_t>(colon - line));
        for (int k = 0; k < softirq_kinds; ++k) {
            if (name != softirq_table[k].name) {
                continue;
            }
            const char* value_at = colon + 1;
            int64_t value = 0;
            for (int column = 0; column < columns && next_number(&value_at, &value); ++column) {
                c->softirqs[cpu_of[column]][k] = value;
            }
            ++found;
        }
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
    if (found > 0) {  // an older kernel lacks a kind or two: they stay 0
        for (int k = 0; k < columns; ++k) {
            c->softirq_cpus = std::max(c->softirq_cpus, cpu_of[k] + 1);
        }
        c->have |= have_softirqs;
    }
}

void read_pressure(const proc_reader* r, proc_counters* c) {
    if (load(r, "pressure/memory") && pressure_total(r->buffer, "full", &c->psi_memory_full_us)) {
        c->have |= have_psi;
    }
}

int read_process_threads(const proc_reader* r, long pid, long* tids, thread_time* out,
                         int capacity) {
    char folder[512];
    snprintf(folder, sizeof folder, "%s/%ld/task", r->root, pid);
    const int listed = list_ids(folder, tids, capacity);
    std::sort(tids, tids + listed);
    int count = 0;
    for (int i = 0; i < listed; ++i) {
        char name[64];
        snprintf(name, sizeof name, "%ld/task/%ld/stat", pid, tids[i]);
        const char* at = nullptr;
        int64_t fields[stat_numbers] = {};
        int64_t ticks = 0;
        if (!load(r, name) || !stat_fields(r->buffer, &at) ||
            numbers_after_state(at, fields) != stat_numbers ||
            __builtin_add_overflow(fields[10], fields[11], &ticks) || ticks < 0 ||
            ticks > INT64_MAX / r->ns_per_tick) {
            continue;  // a thread that has ended
        }
        // utime and stime are fields 14 and 15, processor 39.
        out[count++] =
            thread_time{pid, tids[i], static_cast<int>(fields[35]), ticks * r->ns_per_tick};
    }
    return count;
}

bool read_process_name(const proc_reader* r, long pid, char* name, size_t size) {
    char file[48];
    snprintf(file, sizeof file, "%ld/comm", pid);
    if (!load(r, file)) {
        return false;
    }
    r->buffer[strcspn(r->buffer, "\n")] = '\0';
    snprintf(name, size, "%s", r->buffer);
    return true;
}

int read_processes(const proc_reader* r, long* pids, process_time* out, int capacity) {
    const int listed = list_ids(r->root, pids, capacity);
    std::sort(pids, pids + listed);
    int count = 0;
    for (int i = 0; i < listed; ++i) {
        char name[48];
        snprintf(name, sizeof name, "%ld/stat", pids[i]);
        const char* open = nullptr;
        const char* at = nullptr;
        if (!load(r, name) || (open = strchr(r->buffer, '(')) == nullptr ||
            !stat_fields(r->buffer, &at)) {
            continue;  // a process that has ended
        }
        // utime and stime are fields 14 and 15, processor 39.
        int64_t fields[stat_numbers] = {};
        const int got = numbers_after_state(at, fields);
        if (got < 12) {
            continue;
        }
        process_time& p = out[count++];
        p.pid = pids[i];
        p.cpu = got == 36 ? static_cast<int>(fields[35]) : -1;
        int64_t ticks = 0;
        if (__builtin_add_overflow(fields[10], fields[11], &ticks) || ticks < 0 ||
            ticks > INT64_MAX / r->ns_per_tick) {
            ticks = 0;
        }
        p.cpu_ns = ticks * r->ns_per_tick;
        const char* close = strrchr(r->buffer, ')');
        const size_t length = std::min(static_cast<size_t>(close - open - 1), sizeof p.name - 1);
        memcpy(p.name, open + 1, length);
        p.name[length] = '\0';
    }
    return count;
}

void read_threads(const proc_reader* r, proc_counters* c) {
    c->last_cpu = -1;
    c->run_ns = c->run_delay_ns = c->slices = 0;
    c->major_faults = c->involuntary_switches = 0;
    c->stopped = false;
    uint32_t have = have_run_delay | have_monitor_cpu | have_state | have_faults | have_switches;
    int found = 0;
    for (int i = 0; i < r->threads; ++i) {
        const long tid = r->tids[i];
        if (!thread_file(r, tid, "stat")) {
            continue;  // a thread that has ended
        }
        ++found;
        const char* at = nullptr;
        int64_t value = 0;
        if (!stat_fields(r->buffer, &at)) {
            have &= ~(have_state | have_faults);
        } else {
            c->stopped = c->stopped || is_stopped_state(*at);
            // After the state: ppid pgrp session tty tpgid flags minflt cminflt majflt.
            int64_t fields[stat_numbers] = {};
            const int got = numbers_after_state(at, fields);
            if (got < 9) {
                have &= ~have_faults;
            } else {
                add_to(&c->major_faults, fields[8]);
            }
            if (i == 0 && got == stat_numbers) {
                c->last_cpu = static_cast<int>(fields[35]);  // field 39, "processor"
            }
        }
        if (thread_file(r, tid, "schedstat")) {
            at = r->buffer;
            int64_t run = 0, wait = 0, slices = 0;
            if (next_number(&at, &run) && next_number(&at, &wait) && next_number(&at, &slices)) {
                add_to(&c->run_ns, run);
                add_to(&c->run_delay_ns, wait);
                add_to(&c->slices, slices);
            } else {
                have &= ~(have_run_delay | have_monitor_cpu);
            }
        } else {
            have &= ~(have_run_delay | have_monitor_cpu);
        }
        const char* switches = nullptr;
        if (thread_file(r, tid, "status") &&
            (switches = strstr(r->buffer, "nonvoluntary_ctxt_switches:")) != nullptr) {
            at = switches + strlen("nonvoluntary_ctxt_switches:");
            if (next_number(&at, &value)) {
                add_to(&c->involuntary_switches, value);
            }
        } else {
            have &= ~have_switches;
        }
    }
    c->gone = found == 0;
    if (found > 0) {
        c->have |= have;
    }
}

void read_stopped(const proc_reader* r, proc_counters* c) {
    c->stopped = false;
    for (int i = 0; i < r->threads; ++i) {
        const char* at = nullptr;
        if (thread_file(r, r->tids[i], "stat") && stat_fields(r->buffer, &at)) {
            c->stopped = c->stopped || is_stopped_state(*at);
        }
    }
}
