#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <intrin.h>

#include "report/causes/cause_rules.h"
#include "report/os/report_os.h"

bool open_log(const char* path, log_input* in, char* reason, size_t reason_size) {
    in->interrupted = false;
    in->ended = input_end::not_yet;
    in->quiet_at_ms = INT64_MAX;
    if (path == nullptr) {
        // Bytes as written: the reader takes CR LF and LF alike.
        _setmode(_fileno(stdin), _O_BINARY);
        in->fd = _fileno(stdin);
        return true;
    }
    struct _stat64 st {};
    if (_stat64(path, &st) == 0 && (st.st_mode & _S_IFDIR) != 0) {
        snprintf(reason, reason_size, "%s", strerror(EISDIR));
        return false;
    }
    in->fd = _open(path, _O_RDONLY | _O_BINARY);
    if (in->fd < 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    return true;
}

namespace {

// A read from a pipe blocks with no time limit, so a pipe is watched until it holds
// bytes, its writer has gone (the read then tells) or `quiet_at_ms` passes; false when
// it passed. Other inputs are read as they are.
bool wait_for_input(int fd, int64_t quiet_at_ms) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (GetFileType(handle) != FILE_TYPE_PIPE) {
        return true;
    }
    for (;;) {
        DWORD available = 0;
        if (PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) == 0 || available > 0) {
            return true;
        }
        if (monotonic_ms() >= quiet_at_ms) {
            return false;
        }
        ::Sleep(20);
    }
}

}  // namespace

long read_log(log_input* in, char* data, size_t size, char* reason, size_t reason_size) {
    const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
    if (in->quiet_at_ms != INT64_MAX && !wait_for_input(in->fd, in->quiet_at_ms)) {
        return read_quiet;
    }
    int n = _read(in->fd, data, chunk);
    while (n == 0 && in->follow &&
           GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(in->fd))) == FILE_TYPE_DISK) {
        if (in->quiet_at_ms != INT64_MAX && monotonic_ms() >= in->quiet_at_ms) {
            return read_quiet;
        }
        ::Sleep(100);
        n = _read(in->fd, data, chunk);
    }
    if (n < 0) {
        // A pipe whose writer has gone reads as its end.
        if (errno == EPIPE) {
            in->ended = input_end::end_of_input;
            return 0;
        }
        snprintf(reason, reason_size, "%s", strerror(errno));
        return -1;
    }
    if (n == 0) {
        in->ended = input_end::end_of_input;
    }
    return n;
}

void close_log(log_input* in) {
    if (in->fd != _fileno(stdin)) {
        _close(in->fd);
    }
}

bool is_regular_file(int fd) {
    struct _stat64 st {};
    return fd >= 0 && _fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

bool stdin_is_terminal() {
    return _isatty(_fileno(stdin)) != 0;
}

// The console's Ctrl-C ends the program as usual: a pipe's reader on Windows cannot be
// woken from its wait, and the monitor on the other side ends anyway.
void end_input_on_interrupt() {}

// Windows sends no signal for a broken pipe: the write fails.
void ignore_broken_pipe() {}

void end_for_broken_pipe() {
    _exit(1);
}

bool program_on_path(const char* program) {
    char found[MAX_PATH];
    return SearchPathA(nullptr, program, ".exe", MAX_PATH, found, nullptr) > 0;
}

const char* gnuplot_install_hint() {
    return "Windows: install gnuplot for Windows and let its installer add it to the PATH, "
           "or add its bin folder to the PATH";
}

FILE* start_gnuplot() {
    return _popen("gnuplot 2>NUL", "w");
}

bool finish_gnuplot(FILE* gnuplot) {
    return _pclose(gnuplot) == 0;
}

long process_id() {
    return static_cast<long>(GetCurrentProcessId());
}

bool replace_file(const char* from, const char* to, char* reason, size_t reason_size) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        snprintf(reason, reason_size, "error %lu", GetLastError());
        return false;
    }
    return true;
}

size_t file_name_start(const char* path) {
    const char* slash = strrchr(path, '/');
    const char* backslash = strrchr(path, '\\');
    const char* end = backslash > slash ? backslash : slash;
    return end != nullptr ? static_cast<size_t>(end - path) + 1 : 0;
}

bool folder_writable(const char* path, char* reason, size_t reason_size) {
    char probe[4096];
    const int folder = static_cast<int>(file_name_start(path));
    snprintf(probe, sizeof probe, "%.*s.clockgap-check.%lu", folder, path, GetCurrentProcessId());
    int fd = _open(probe, _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno == EEXIST) {
        // A probe left by a process that was killed, and whose id came again.
        _unlink(probe);
        fd = _open(probe, _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
    }
    if (fd < 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    _close(fd);
    _unlink(probe);
    return true;
}

bool file_has_content(const char* path) {
    struct _stat64 st {};
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFREG) != 0 && st.st_size > 0;
}

bool is_folder(const char* path) {
    struct _stat64 st {};
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFDIR) != 0;
}

bool truncate_file(FILE* file, long size) {
    return _chsize_s(_fileno(file), size) == 0;
}

long read_small_file(const char* path, char* data, size_t size) {
    const int fd = _open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0 || size == 0) {
        if (fd >= 0) {
            _close(fd);
        }
        return -1;
    }
    size_t got = 0;
    while (got + 1 < size) {
        const int n = _read(fd, data + got, static_cast<unsigned>(size - 1 - got));
        if (n < 0) {
            _close(fd);
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    _close(fd);
    data[got] = '\0';
    return static_cast<long>(got);
}

bool sync_file(FILE* file) {
    return fflush(file) == 0 &&
           FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != 0;
}

bool sync_path(const char* path) {
    // FlushFileBuffers needs a handle that may write.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool synced = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return synced;
}

bool sync_folder_of(const char*) {
    return true;  // MoveFileEx's MOVEFILE_WRITE_THROUGH returns once the move is on disk
}

bool hold_lock_file(const char* path, long* holder, char* reason, size_t reason_size) {
    *holder = -1;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        snprintf(reason, reason_size, "error %lu", GetLastError());
        return false;
    }
    // A byte far past the process id is locked, so that the id itself stays readable.
    OVERLAPPED at{};
    at.Offset = 0x40000000;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        char text[32] = "";
        DWORD n = 0;
        *holder = 0;
        if (ReadFile(file, text, sizeof text - 1, &n, nullptr)) {
            text[n] = '\0';
            *holder = strtol(text, nullptr, 10);
        }
        snprintf(reason, reason_size, "another process holds it");
        CloseHandle(file);
        return false;
    }
    // Held until the process ends: the handle stays open, and the lock goes with it.
    char text[32];
    const int n = snprintf(text, sizeof text, "%lu\r\n", GetCurrentProcessId());
    DWORD written = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !SetEndOfFile(file) || !WriteFile(file, text, static_cast<DWORD>(n), &written, nullptr)) {
        snprintf(reason, reason_size, "error %lu", GetLastError());
        CloseHandle(file);
        return false;
    }
    return true;
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

int64_t monotonic_ns() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const int64_t f = frequency.QuadPart;
    return now.QuadPart / f * 1'000'000'000 + now.QuadPart % f * 1'000'000'000 / f;
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

// The calls of newer Windows, looked up by name: a system without them (or Wine) leaves
// their figures out instead of failing to start the program.
template <typename Call>
Call find_call(const char* name) {
    for (const char* dll : {"kernelbase.dll", "kernel32.dll"}) {
        if (HMODULE module = GetModuleHandleA(dll)) {
            if (FARPROC call = GetProcAddress(module, name)) {
                return reinterpret_cast<Call>(reinterpret_cast<void*>(call));
            }
        }
    }
    return nullptr;
}

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

int64_t wall_clock_ns() {
    // The precise call (Windows 8 and later) reads the clock to well under a
    // microsecond; the one before it, to a tick of up to 15.6 ms.
    static const auto precise =
        find_call<void(WINAPI*)(LPFILETIME)>("GetSystemTimePreciseAsFileTime");
    FILETIME now;
    if (precise != nullptr) {
        precise(&now);
    } else {
        GetSystemTimeAsFileTime(&now);
    }
    // 100 ns units since 1601; 1970 is 11644473600 s later.
    const auto ticks =
        static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    const int64_t since_1970 = ticks - 116'444'736'000'000'000;
    if (since_1970 > INT64_MAX / 100 || since_1970 < INT64_MIN / 100) {
        return since_1970 < 0 ? INT64_MIN : INT64_MAX;
    }
    return since_1970 * 100;
}

void read_os_counters(long monitor_pid, os_counters* c) {
    static const auto interrupt_time = find_call<interrupt_time_call>("QueryInterruptTime");
    static const auto unbiased_time = find_call<unbiased_time_call>("QueryUnbiasedInterruptTime");
    static const auto system_cycles = find_call<system_cycle_call>("GetProcessorSystemCycleTime");
    c->have = 0;
    ULONGLONG biased = 0, unbiased = 0;
    // Interrupt time counts the time asleep; unbiased interrupt time does not (100 ns).
    if (interrupt_time != nullptr && unbiased_time != nullptr) {
        interrupt_time(&biased);
        if (unbiased_time(&unbiased)) {
            c->suspended_ns = static_cast<int64_t>(biased - unbiased) * 100;
            c->have |= have_suspend;
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
        c->have |= have_interrupts;
    }
    ULONG64 monitor_cycles = 0;
    HANDLE process = monitor_process(monitor_pid);
    if (process != nullptr && QueryProcessCycleTime(process, &monitor_cycles) &&
        cycles_as_ns(monitor_cycles, &c->monitor_cpu_ns)) {
        c->have |= have_monitor_cpu;
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
