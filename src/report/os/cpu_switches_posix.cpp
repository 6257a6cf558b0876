// Context-switch records on Linux: perf_event_open(2) with a software event of no cost
// of its own (PERF_COUNT_SW_DUMMY) that carries context_switch records, CPU-wide.
#include <linux/perf_event.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "report/os/cpu_switches.h"
#include "report/os/files.h"

namespace {

// Data pages of each ring: 512 KiB, with the control page within the kernel's
// unprivileged lock limit of 516 KiB a CPU. A busy CPU writes about 10,000 records a
// second of 40 bytes, and one of Wine's many more; the watch empties the rings every
// 100 ms.
constexpr size_t ring_pages = 128;

int open_event(int cpu) {
    perf_event_attr a{};
    a.size = sizeof a;
    a.type = PERF_TYPE_SOFTWARE;
    a.config = PERF_COUNT_SW_DUMMY;
    a.context_switch = 1;
    a.comm = 1;  // a process's new name (exec), to name one that has ended
    a.sample_id_all = 1;
    a.sample_type = PERF_SAMPLE_TID | PERF_SAMPLE_TIME | PERF_SAMPLE_CPU;
    a.use_clockid = 1;
    a.clockid = CLOCK_MONOTONIC;
    // The watch reads the rings on its own timer: the kernel never has to wake it.
    a.watermark = 1;
    a.wakeup_watermark = UINT32_MAX;
    return static_cast<int>(syscall(SYS_perf_event_open, &a, -1, cpu, -1, PERF_FLAG_FD_CLOEXEC));
}

}  // namespace

bool open_cpu_switches(const int* cpus, int count, cpu_switches* s, switches_refused* why,
                       char* reason, size_t reason_size) {
    s->count = 0;
    *why = switches_refused::no;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < count && s->count < max_switch_cpus; ++i) {
        switch_ring& r = s->rings[s->count];
        r.cpu = cpus[i];
        r.fd = open_event(cpus[i]);
        if (r.fd < 0 && errno == ENODEV) {
            continue;  // a CPU that has gone offline
        }
        if (r.fd >= 0) {
            r.map_size = (ring_pages + 1) * page;
            r.map = mmap(nullptr, r.map_size, PROT_READ | PROT_WRITE, MAP_SHARED, r.fd, 0);
            if (r.map == MAP_FAILED) {
                const int error = errno;
                close(r.fd);
                r.fd = -1;
                errno = error;
            }
        }
        if (r.fd < 0) {
            const int error = errno;
            *why = error == EACCES || error == EPERM ? switches_refused::by_rights
                                                     : switches_refused::by_system;
            snprintf(reason, reason_size, "%s", strerror(error));
            close_cpu_switches(s);
            return false;
        }
        const auto* control = static_cast<const perf_event_mmap_page*>(r.map);
        const uint64_t offset = control->data_offset != 0 ? control->data_offset : page;
        r.data = static_cast<const char*>(r.map) + offset;
        r.size = control->data_size != 0 ? control->data_size : ring_pages * page;
        ++s->count;
    }
    if (s->count == 0) {
        *why = switches_refused::by_system;
        snprintf(reason, reason_size, "no CPU of the monitor is online");
        return false;
    }
    return true;
}

void close_cpu_switches(cpu_switches* s) {
    for (int i = 0; i < s->count; ++i) {
        munmap(s->rings[i].map, s->rings[i].map_size);
        close(s->rings[i].fd);
    }
    s->count = 0;
}

void unread_switches(const switch_ring* r, uint64_t* tail, uint64_t* head) {
    auto* control = static_cast<perf_event_mmap_page*>(r->map);
    *head = __atomic_load_n(&control->data_head, __ATOMIC_ACQUIRE);
    *tail = control->data_tail;
}

void release_switches(switch_ring* r, uint64_t tail) {
    auto* control = static_cast<perf_event_mmap_page*>(r->map);
    __atomic_store_n(&control->data_tail, tail, __ATOMIC_RELEASE);
}

int process_cpus(long pid, int* cpus, int capacity) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(static_cast<pid_t>(pid), sizeof set, &set) != 0) {
        return 0;
    }
    int n = 0;
    for (size_t cpu = 0; cpu < CPU_SETSIZE && n < capacity; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            cpus[n++] = static_cast<int>(cpu);
        }
    }
    return n;
}

int perf_paranoia() {
    char text[32];
    if (read_small_file("/proc/sys/kernel/perf_event_paranoid", text, sizeof text) <= 0) {
        return INT_MIN;
    }
    return atoi(text);
}
