// The report tool's calls into the operating system, in one place per platform:
// report_os_posix.cpp and report_os_windows.cpp. Every other file of the tool is the same
// on Linux and on Windows.
#pragma once

#include <cstddef>
#include <cstdio>

#include <cstdint>

// How the input ended: at its own end, or by a signal that asked the watch to stop.
enum class input_end { not_yet, end_of_input, ctrl_c, sigterm };

// A log being read: a file, or standard input.
struct log_input {
    int fd;
    bool interrupted;  // Ctrl-C came: what is already there is read, then the input ends
    bool follow;       // at the end of a file, wait for it to grow (as tail -f does)
    input_end ended;   // set when a read returns 0
    // A read that has had nothing to hand out by this time of monotonic_ms() returns
    // read_quiet; INT64_MAX: wait as long as it takes.
    int64_t quiet_at_ms;
};

inline constexpr long read_quiet = -2;

// Nanoseconds of a clock that only moves forward, whatever happens to the wall clock, and
// the same clock in milliseconds: the watch's timers and its figures read one clock.
int64_t monotonic_ns();
inline int64_t monotonic_ms() {
    return monotonic_ns() / 1'000'000;
}

// Opens `path` for reading, or standard input when `path` is nullptr. On failure returns
// false with the reason (the system's words) in `reason`.
bool open_log(const char* path, log_input* in, char* reason, size_t reason_size);

// Reads up to `size` bytes. Returns how many, 0 at the end of the input, read_quiet when
// nothing came by `quiet_at_ms`, or -1 with the reason. After the first Ctrl-C (or
// SIGTERM), what is already in a pipe is still read, then 0. With `follow`, the end of a
// regular file is waited out until an interrupt.
long read_log(log_input* in, char* data, size_t size, char* reason, size_t reason_size);

void close_log(log_input* in);

// Whether `fd` is a regular file (not a pipe, a named pipe or a terminal).
bool is_regular_file(int fd);

// Whether standard input is a terminal (nobody would type a log).
bool stdin_is_terminal();

// From now on the first Ctrl-C (SIGINT) or SIGTERM ends the input instead of the
// program, like the end of a pipe; a second one ends the program at once.
void end_input_on_interrupt();

// A write to a pipe whose reader has gone fails instead of ending the program.
void ignore_broken_pipe();

// Ends the program as a filter ends when the reader of its output has gone: quietly (on
// Linux by SIGPIPE at its default, as the shell expects; on Windows with status 1).
[[noreturn]] void end_for_broken_pipe();

// How to get gnuplot on this system, for the message when it is missing.
const char* gnuplot_install_hint();

// Whether `program` is found on the PATH.
bool program_on_path(const char* program);

// Starts gnuplot with a pipe to its input; its own messages are discarded. nullptr when
// it cannot be started.
FILE* start_gnuplot();
// Closes the pipe and waits for gnuplot; true when it ended with status 0.
bool finish_gnuplot(FILE* gnuplot);

// Whether `path` is a file of at least one byte.
bool file_has_content(const char* path);

// The process's id, for names of temporary files.
long process_id();

// Moves `from` over `to` in one step: a reader of `to` sees the old file or the new one,
// never a part. On failure returns false with the reason.
bool replace_file(const char* from, const char* to, char* reason, size_t reason_size);

// Where the file name in `path` begins: just after its last folder separator ('/', and
// on Windows '\\' too), or 0 when it names no folder.
size_t file_name_start(const char* path);

// Whether a file can be made in the folder of `path`: makes one and removes it. On
// failure returns false with the reason.
bool folder_writable(const char* path, char* reason, size_t reason_size);

// Whether `path` names an existing folder.
bool is_folder(const char* path);

// Whether a file named `path` can be made: the name is not a folder's, and its folder
// takes files. On failure returns false with the reason.
inline bool file_name_writable(const char* path, char* reason, size_t reason_size) {
    if (is_folder(path)) {
        snprintf(reason, reason_size, "it is a folder, not a file");
        return false;
    }
    return folder_writable(path, reason, reason_size);
}

// Cuts the open `file` back to `size` bytes (a line that could be written only in part).
bool truncate_file(FILE* file, long size);

// Files kept for years reach the disk in order: what was written to a file before it is
// renamed or its source removed, and a rename before what depends on it.
// What was written to `file` reaches the disk (fflush, then fsync / FlushFileBuffers).
bool sync_file(FILE* file);
// The same for the file at `path`, opened for it.
bool sync_path(const char* path);
// The names in the folder of `path` (a rename, a new file) reach the disk. On Windows
// replace_file's move is written through already.
bool sync_folder_of(const char* path);

// Holds an exclusive lock on the file `path` (made if need be) until the process ends,
// and writes the process id into it: flock on Linux, LockFileEx on Windows, so that a
// lock never outlives its process. False when another process holds it: `*holder` is
// its id (0 if it cannot be read); or, `*holder` -1, with the reason the file could not
// be opened or written.
bool hold_lock_file(const char* path, long* holder, char* reason, size_t reason_size);

// Whether a process with the id `pid` runs now.
bool process_running(long pid);

// What the watch reads of the machine and of the monitor, to name the cause of a stall.

// Reads the file `path` (at most `size` - 1 bytes) into `data` as a C string, with no
// allocation: its length, or -1 when it cannot be read.
long read_small_file(const char* path, char* data, size_t size);

// Nanoseconds since 1970 of the wall clock, held at the largest value of its sign for a
// clock set beyond what 64 bits hold (about 292 years from 1970).
int64_t wall_clock_ns();

// The folder that holds /proc's layout ("/proc"), or nullptr on a system without one.
const char* proc_folder();
// The length of a tick of /proc/stat's times, ns.
int64_t ns_per_clock_tick();

// The process of this user named `program` whose standard output is the pipe, named
// pipe or file open as `fd`: the monitor that writes what the watch reads. 0 if none.
long find_input_writer(int fd, const char* program);
// The threads of process `pid`, up to `capacity`; returns how many were found.
int list_threads(long pid, long* tids, int capacity);
// The entries of `folder` named by a whole number above 0 (processes in /proc), up to
// `capacity`; returns how many. 0 where the system has no such folder.
int list_ids(const char* folder, long* ids, int capacity);

// A process's CPU time so far (user and system, ns) and the CPU it last ran on (-1 when
// the system does not say), for who took the monitor's CPU.
struct process_time {
    long pid;
    int cpu;
    int64_t cpu_ns;
    char name[32];
};
// Every process's CPU time from the system's one list of them (Windows), up to
// `capacity`: how many, or -1 on a system that keeps them elsewhere (/proc).
int read_process_times(process_time* out, int capacity);

// Counters the system keeps outside /proc, each ns since some start: time the machine
// spent suspended (sleeping), and on Windows each processor's time in interrupts and
// DPCs and the monitor's own CPU time. `have` takes the cause_figure bits of those read.
inline constexpr int max_processors = 64;
struct os_counters {
    uint32_t have;
    int64_t suspended_ns;
    int processors;
    int64_t interrupt_ns[max_processors];
    int64_t monitor_cpu_ns;
};
// `monitor_pid` 0: no monitor is known.
void read_os_counters(long monitor_pid, os_counters* c);
