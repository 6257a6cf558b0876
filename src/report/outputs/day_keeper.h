// The day files of --log PATTERN kept for years: each finished day compressed into
// FILE.gz (--gzip), and only the N days written most recently kept (--keep N). A day is
// finished once another day's file is started; a watch that starts finds every other day
// of the pattern finished. The order of the days is the order in which they were last
// started, kept in a file beside them (.NAME.order), never the dates in their names: a
// clock set back or forward cannot make the watch remove more than its share.
// Only files that PATTERN could have written are touched, and never the day being
// written. The work is done by a thread of its own, so that compressing a day never
// holds up the lines of the watch; a file that cannot be compressed or removed is said
// once and tried again every 600 rows. When the watch ends, the keeper first finishes
// the work it was asked for.
#pragma once

#include <memory>

struct day_keeper;
struct day_keeper_free {
    void operator()(day_keeper* keeper) const;  // finish_day_keeper, then frees it
};
using day_keeper_ptr = std::unique_ptr<day_keeper, day_keeper_free>;

// Whether `pattern` names a file a day that the keeper can keep: strftime fields in its
// file name, and none in its folder.
bool day_pattern_ok(const char* pattern);

// Whether `name` (a file name without folder) is one that the file-name part of
// `pattern` could have written, with or without .gz.
bool pattern_could_write(const char* pattern, const char* name);

// Starts the thread. `keep_days` 0 keeps every day.
day_keeper_ptr start_day_keeper(const char* pattern, int64_t keep_days, bool gzip);

// The day file `path` is about to be written: it is the newest day, and every other is
// finished. The caller writes to it only after this returns.
void keeper_day_started(day_keeper* keeper, const char* path);

// Once a row: what failed is tried again every 600 rows.
void keeper_row(day_keeper* keeper);

// Ends the thread once the work it was asked for is done.
void finish_day_keeper(day_keeper* keeper);
