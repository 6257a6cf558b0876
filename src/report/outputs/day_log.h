// Every line of the monitor that the watch reads, written through to a log file as it
// arrives, a line at a time. A file name with strftime fields ("run-%Y-%m-%d.log") names
// a file a UTC day, by each row's own date (never the clock at write time); each new
// file begins with the run's lines before its header (argument line, start line) and the
// header, so that each is a log on its own that says the monitor's sleep period.
// Files are opened for appending: a restarted watch adds a run, it loses nothing.
// Every line reaches the file whole or not at all: a line that a full disk cut is cut
// back. A failed write is reported once and the file is opened again for the next line,
// and the watch says when lines reach it again. The open file is flushed to disk at
// least once a minute, when its day ends and when the watch ends: a power cut loses a
// minute of rows at most. One watch writes a folder: it holds a lock on a file of its
// own there (.clockgap-watch.lock) for as long as it runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "monitor/report_format.h"
#include "report/events/row_events.h"
#include "report/outputs/day_keeper.h"

struct day_log {
    const char* pattern;  // nullptr: off
    bool dated;           // the pattern has strftime fields
    int64_t day;          // UTC days since 1970 of the open file
    FILE* file;
    char path[4096];
    char top[256];          // the run's lines before its header, each with its line end
    bool top_closed;        // a header or row came since: the next such line begins anew
    bool top_held;          // lines of `top` wait for the row that names their day
    bool header_held;       // so does a header
    bool needs_top;         // the day's file still needs the start line and header
    bool failing;           // the last write failed
    bool failed;            // a write failed at some time: lines (or causes) were lost
    bool causes_failing;    // the last write of a cause failed
    int64_t synced_ms;      // monotonic ms when the open file last reached the disk
    day_keeper_ptr keeper;  // with --keep or --gzip: the finished days' keeper
};

// Checks that files can be made where `pattern` points and that it names no folder, and
// takes the folder's lock; false with the reason if not (`*held_by`: the process that
// holds the lock, 0 when another does that cannot be named, -1 when it is not that). With
// `keep_days` (0: all) or `gzip`, the finished days are kept as day_keeper.h says.
bool start_day_log(day_log* log, const char* pattern, int64_t keep_days, bool gzip, char* reason,
                   size_t reason_size, long* held_by);

inline constexpr const char watch_lock_name[] = ".clockgap-watch.lock";
// Flushed to disk at least this often.
inline constexpr int64_t day_sync_ms = 60'000;

// A start line or other line before a header, the header, or a row (with its fields).
// The lines before a row wait for it: they go into the file of its day, so that a run
// that starts just before midnight, or a replay of several days' files, starts in the
// day of its first row. Lines that no row followed are written when the log ends.
void log_preamble(day_log* log, std::string_view text);
void log_header(day_log* log);
void log_row(day_log* log, std::string_view text, const report_row& row);

// The cause the watch named for `row`'s events, kept beside the row's day file (in
// FILE.causes) for a later report of the day. A failure is said once until one succeeds.
void log_cause(day_log* log, const report_row& row, const row_events& events,
               const cause_figures& figures);

// Closes the open file and ends the keeper. Returns false if a write failed along the way: lines
// were lost.
bool finish_day_log(day_log* log);
