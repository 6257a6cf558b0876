// The summary of a folded log, as text for a person or as one JSON document for scripts.
// Both print the same figures from the same run_fold and fold_reading.
#pragma once

#include <cstdio>

#include "report/run_fold.h"

// What the summary says of the log itself, besides its rows.
struct log_facts {
    const char* name;     // the file, or "standard input"
    long lines;           // lines read
    long cut_short_line;  // the last line, cut short and skipped; 0 if none
    bool window;          // --from or --to was given
    bool interrupted;     // the input was ended by Ctrl-C
};

void print_summary(FILE* out, const run_fold* fold, const log_facts& facts);
void print_json(FILE* out, const run_fold* fold, const log_facts& facts);
