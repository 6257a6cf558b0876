#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <intrin.h>

#include "report/os/clocks.h"
#include "report/os/processes.h"
#include "report/os/windows_calls.h"

long process_id() {
    return static_cast<long>(GetCurrentProcessId());
}

bool process_running(long pid) {
    HANDLE process =
        pid > 0 ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid))
                : nullptr;
    if (process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours to open
    }
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

const char* proc_folder() {
    return nullptr;
}

int64_t ns_per_clock_tick() {
    return 10'000'000;
}

long find_input_writer(int, const char*) {
    return 0;  // the service names its monitor; a pipe's writer is not found here
}

int list_threads(long, long*, int) {
    return 0;
}

int list_ids(const char*, long*, int) {
    return 0;
}

namespace {

using interrupt_time_call = VOID(WINAPI*)(PULONGLONG);

using unbiased_time_call = BOOL(WINAPI*)(PULONGLONG);

using system_cycle_call = BOOL(WINAPI*)(USHORT, PSYSTEM_PROCESSOR_CYCLE_TIME_INFORMATION, PDWORD);

// Cycle counts as ns: the processor's time-stamp counter against the performance
// counter, measured over the time since the first call.
struct cycle_clock {
    bool started;
    uint64_t first_tsc;
    int64_t first_ns;
};

cycle_clock cycles;

bool cycles_as_ns(uint64_t count, int64_t* ns) {
    const uint64_t tsc = __rdtsc();
    const int64_t now = monotonic_ns();
    if (!cycles.started) {
        cycles = cycle_clock{true, tsc, now};
        return false;
    }
    const uint64_t tsc_span = tsc - cycles.first_tsc;
    const int64_t ns_span = now - cycles.first_ns;
    if (tsc_span == 0 || ns_span <= 0) {
        return false;
    }
    const long double value = static_cast<long double>(count) * static_cast<long double>(ns_span) /
                              static_cast<long double>(tsc_span);
    *ns = value < 9.2e18L ? static_cast<int64_t>(value) : INT64_MAX;
    return true;
}

// The monitor's process, opened once for each process id it is given.
HANDLE monitor_process(long pid) {
    static long open_pid = 0;
    static HANDLE process = nullptr;
    if (pid != open_pid) {
        if (process != nullptr) {
            CloseHandle(process);
        }
        process = pid != 0 ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         static_cast<DWORD>(pid))
                           : nullptr;
        open_pid = pid;
    }
    return process;
}

}  // namespace

void read_os_counters(long monitor_pid, os_counters* c) {
    static const auto interrupt_time = find_call<interrupt_time_call>("QueryInterruptTime");
    static const auto unbiased_time = find_call<unbiased_time_call>("QueryUnbiasedInterruptTime");
    static const auto system_cycles = find_call<system_cycle_call>("GetProcessorSystemCycleTime");
    c->suspended_read = c->interrupts_read = c->monitor_cpu_read = false;
    ULONGLONG biased = 0, unbiased = 0;
    // Interrupt time counts the time asleep; unbiased interrupt time does not (100 ns).
    if (interrupt_time != nullptr && unbiased_time != nullptr) {
        interrupt_time(&biased);
        if (unbiased_time(&unbiased)) {
            c->suspended_ns = static_cast<int64_t>(biased - unbiased) * 100;
            c->suspended_read = true;
        }
    }
    SYSTEM_PROCESSOR_CYCLE_TIME_INFORMATION times[max_processors];
    DWORD length = sizeof times;
    int64_t ns = 0;
    const bool calibrated = cycles_as_ns(0, &ns);
    if (system_cycles != nullptr && system_cycles(0, times, &length) && calibrated) {
        c->processors = static_cast<int>(length / sizeof times[0]);
        for (int i = 0; i < c->processors; ++i) {
            cycles_as_ns(times[i].CycleTime, &c->interrupt_ns[i]);
        }
        c->interrupts_read = true;
    }
    ULONG64 monitor_cycles = 0;
    HANDLE process = monitor_process(monitor_pid);
    if (process != nullptr && QueryProcessCycleTime(process, &monitor_cycles) &&
        cycles_as_ns(monitor_cycles, &c->monitor_cpu_ns)) {
        c->monitor_cpu_read = true;
    }
}

namespace {

// One entry of NtQuerySystemInformation's list of processes (SystemProcessInformation,
// 5), as the system lays it out on x86-64; times in 100 ns units.
struct process_entry {
    ULONG next_entry_offset;
    ULONG threads;
    LARGE_INTEGER working_set_private;
    ULONG hard_faults;
    ULONG threads_high_watermark;
    ULONGLONG cycle_time;
    LARGE_INTEGER create_time, user_time, kernel_time;
    USHORT name_length, name_capacity;  // bytes
    PWSTR name;
    LONG base_priority;
    HANDLE process_id;
};

using query_call = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

}  // namespace

int read_process_times(process_time* out, int capacity) {
    static const auto query = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        FARPROC call =
            ntdll != nullptr ? GetProcAddress(ntdll, "NtQuerySystemInformation") : nullptr;
        return reinterpret_cast<query_call>(reinterpret_cast<void*>(call));
    }();
    // Kept from call to call: it grows only when the list outgrows it.
    static std::vector<char> list(1 << 20);
    if (query == nullptr) {
        return 0;
    }
    ULONG length = 0;
    LONG status = query(5, list.data(), static_cast<ULONG>(list.size()), &length);
    if (status == static_cast<LONG>(0xC0000004L) && length > list.size()) {  // too small
        list.resize(length + length / 4);
        status = query(5, list.data(), static_cast<ULONG>(list.size()), &length);
    }
    if (status != 0) {
        return 0;
    }
    int count = 0;
    for (size_t at = 0; count < capacity && at + sizeof(process_entry) <= list.size();) {
        process_entry e;
        memcpy(&e, list.data() + at, sizeof e);
        process_time& p = out[count++];
        p.pid = static_cast<long>(reinterpret_cast<uintptr_t>(e.process_id));
        p.cpu = -1;
        const int64_t ticks = e.user_time.QuadPart + e.kernel_time.QuadPart;
        p.cpu_ns = ticks >= 0 && ticks < INT64_MAX / 100 ? ticks * 100 : 0;
        // The image name, its characters outside ASCII as '?'.
        size_t n = 0;
        for (; e.name != nullptr && n < e.name_length / 2u && n + 1 < sizeof p.name; ++n) {
            const wchar_t c = e.name[n];
            p.name[n] = c > 31 && c < 127 ? static_cast<char>(c) : '?';
        }
        p.name[n] = '\0';
        if (n == 0) {
            snprintf(p.name, sizeof p.name, "%s", p.pid == 0 ? "Idle" : "System");
        }
        if (e.next_entry_offset == 0) {
            break;
        }
        at += e.next_entry_offset;
    }
    return count;
}

std::string own_folder() {
    char path[MAX_PATH] = "";
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    const char* slash = n > 0 ? strrchr(path, '\\') : nullptr;
    return slash != nullptr ? std::string(path, static_cast<size_t>(slash - path)) : "";
}

long start_monitor(const char*, const char*, char* reason, size_t reason_size) {
    // The Windows service runs the monitor into its watch (clockgap-service.exe).
    snprintf(reason, reason_size, "on Windows the service clockgap-service runs the monitor");
    return 0;
}

void stop_monitor(long, char* how, size_t) {
    how[0] = '\0';
}
