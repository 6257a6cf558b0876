// The command line: the optional sleep period in milliseconds.
#pragma once

#include <cstdint>

struct scanned_int {
    bool converted;  // false when no number could be read
    int32_t value;   // the number, clamped to the 32-bit range; 0 when none
};

// Reads a decimal integer the way a "%d" scan does: leading white space, an optional
// sign, one or more digits, stopping at the first non-digit. Numbers outside the
// 32-bit range give the nearest limit.
scanned_int scan_decimal_int(const char* text);

// What the first argument asks for: the monitor, or, by the conventions of every
// command-line tool, the usage (--help, -h) or the version (--version). Any other word
// is a sleep period, or warned about as one.
enum class monitor_request { run, help, version };
monitor_request read_request(const char* argument);
// The usage and the version, on standard output.
void print_monitor_usage();
void print_monitor_version();

// Turns the first argument (nullptr when there is none) into the sleep period and
// writes one line saying what was made of it (none without an argument).
int32_t parse_sleep_period(const char* argument);

// The pause each pass takes for a sleep period: a negative period pauses as 0.
uint32_t pause_milliseconds(int32_t sleep_period);
