// The lines of a log as they arrive, without their line ends (LF, or CR LF). The monitor
// writes every line whole, so a last line without its line end was cut short: it is
// handed out as such, never as a line. A partial line is held until its end arrives.
// A log compressed with gzip is read as its text. A run of NUL bytes where a line begins is passed
// over and counted. Memory is one buffer for the life of the source, whatever the size of the log.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "report/input/gzip_input.h"

// Longer than any line the monitor writes (a row is at most about 300 characters).
inline constexpr size_t longest_line = 4096;

struct line_source {
    gzip_input in;  // the input, inflated when it is compressed
    std::unique_ptr<char[]> buffer;
    size_t capacity, start, end;  // unread bytes are buffer[start, end)
    bool at_end;
    bool line_started;  // bytes of the next line have been taken (a NUL run is not one)
    long number;        // of the line last handed out, from 1
    // NUL bytes passed over where a line begins: the hole that a log truncated while it
    // was written (logrotate's copytruncate) leaves before the next line.
    uint64_t nul_bytes;
    // The input's first bytes, to tell a file that is no log at all (compressed, binary).
    unsigned char first_bytes[4];
    size_t first_bytes_seen;
};

enum class line_status {
    line,       // a whole line
    cut_short,  // the input ended inside this line
    too_long,   // a line longer than longest_line: not a line of the monitor
    end,        // no more input
    quiet,      // nothing more came by the input's quiet_at_ms; a partial line is kept
    failed,     // the input could not be read; `reason` says why
};

void open_line_source(line_source* source, const log_input& input);

// Whether a whole line is already waiting in the buffer: the next call hands it out
// without reading.
bool line_waiting(const line_source* source);

// The next line in `text`, valid until the next call.
line_status next_line(line_source* source, std::string_view* text, char* reason,
                      size_t reason_size);
