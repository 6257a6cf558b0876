// The causes kept beside a day file, so that a later report of the day names them:
// FILE.causes (FILE without .gz), plain text, a line for each row whose events the watch
// named a cause for, in the order of the rows: "UNIX_MS LARGEST_GAP_NS KIND", then the
// figures as name=value, how the culprits were seen ("culprits_seen=switches", with
// "culprits_lost=N culprits_partial=0|1"), then each culprit as
// "culprit=PID,CPU_NS,NAME,CGROUP[,TID:TID...]" (NAME and CGROUP with '%', ',', spaces and
// control characters as %XX). A row is found again by its time and its largest gap; a
// row that has no line there, or a day file without one, has the cause unknown. Lines of
// older watches read the same: without culprits, or with culprits sampled.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "report/causes/cause_rules.h"

inline constexpr const char causes_suffix[] = ".causes";

// The causes file of the day file `path`.
std::string causes_path(const char* path);

void write_cause_line(FILE* file, int64_t row_ms, int64_t gap_ns, cause_kind kind,
                      const cause_figures& f, const culprit_list& who);

struct cause_entry {
    int64_t ms, gap_ns;
    cause_kind kind;
    int culprits;  // its place in cause_book::culprits; -1: none
};

// The causes of one day file, sorted for lookup; empty when it has none.
struct cause_book {
    std::vector<cause_entry> entries;
    std::vector<culprit_list> culprits;  // only of the rows that have them
};

// Loads the causes kept beside the day file `path` (a missing file: none). Lines that do
// not parse are passed over.
void load_causes(const char* path, cause_book* book);
// The cause of the row at `ms` with the largest gap `gap_ns`, and who took the CPU.
cause_kind find_cause(const cause_book* book, int64_t ms, int64_t gap_ns, culprit_list* who);
