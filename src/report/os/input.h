// Reading a log: a file or standard input, waited on with a time limit, followed as it
// grows, and ended by Ctrl-C (signals.h) as a pipe's end ends it. One file a platform:
// input_posix.cpp, input_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

// How the input ended: at its own end, or by a signal that asked the watch to stop.
enum class input_end { not_yet, end_of_input, ctrl_c, sigterm };

// A log being read: a file, or standard input.
struct log_input {
    int fd;
    bool interrupted;  // Ctrl-C came: what is already there is read, then the input ends
    bool follow;       // at the end of a file, wait for it to grow (as tail -f does)
    bool waits;        // a pipe, named pipe or terminal: a read waits for its writer
    input_end ended;   // set when a read returns 0
    // A read that has had nothing to hand out by this time of monotonic_ms() returns
    // read_quiet; INT64_MAX: wait as long as it takes.
    int64_t quiet_at_ms;
};

inline constexpr long read_quiet = -2;

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
