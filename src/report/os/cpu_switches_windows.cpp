// Windows gives no context-switch records to a program without tracing: the watch names
// the busiest processes instead.
#include <climits>
#include <cstdio>

#include "report/os/cpu_switches.h"

bool open_cpu_switches(const int*, int, cpu_switches* s, switches_refused* why, char* reason,
                       size_t reason_size) {
    s->count = 0;
    *why = switches_refused::by_system;
    snprintf(reason, reason_size, "this system has no context-switch records");
    return false;
}

void close_cpu_switches(cpu_switches* s) {
    s->count = 0;
}

void unread_switches(const switch_ring*, uint64_t* tail, uint64_t* head) {
    *tail = *head = 0;
}

void release_switches(switch_ring*, uint64_t) {}

int process_cpus(long, int*, int) {
    return 0;
}

int perf_paranoia() {
    return INT_MIN;
}
