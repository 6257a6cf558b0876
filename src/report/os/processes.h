// Processes and what the system counts of them, for the causes of a stall: this process,
// the monitor that writes the watch's input, /proc where there is one, every process's
// CPU time, and the counters kept outside /proc. It knows nothing of causes: each
// counter says only whether it was read. One file a platform: processes_posix.cpp,
// processes_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The process's id, for names of temporary files.
long process_id();

// Whether a process with the id `pid` runs now.
bool process_running(long pid);

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
// DPCs and the monitor's own CPU time; each with whether it was read.
inline constexpr int max_processors = 64;
struct os_counters {
    bool suspended_read, interrupts_read, monitor_cpu_read;
    int64_t suspended_ns;
    int processors;
    int64_t interrupt_ns[max_processors];
    int64_t monitor_cpu_ns;
};
// `monitor_pid` 0: no monitor is known.
void read_os_counters(long monitor_pid, os_counters* c);

// The folder of this program's own file ("" when the system does not say): clockgap
// sits beside clockgap-report.
std::string own_folder();

// Starts `program` with its one `argument`, its standard output a pipe that becomes this
// process's standard input (its own standard input is this process's, which it does not
// read): a monitor whose rows this watch reads. Its process id, or 0 with the reason
// (the system's words).
long start_monitor(const char* program, const char* argument, char* reason, size_t reason_size);
// Ends the monitor that start_monitor started and waits for it: SIGTERM unless it has
// ended already. Says in `how` how it ended ("exited with status 1", "was killed by
// signal 9"); "" when it ended by the SIGTERM sent here.
void stop_monitor(long pid, char* how, size_t how_size);
