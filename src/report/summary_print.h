// The summary of a folded log, as text for a person or as one JSON document for scripts.
// Both print the same figures from the same run_fold and fold_reading.
#pragma once

#include <cstdio>

#include "report/input_stage.h"
#include "report/report_os.h"
#include "report/run_fold.h"

// What the summary says of the log itself, besides its rows.
struct log_facts {
    const char* name;          // the file, or "standard input"
    long lines;                // lines read
    long cut_short_line;       // the last line, cut short and skipped; 0 if none
    const input_stage* input;  // the runs' starts, the window and the rows outside it
    input_end ended;           // at its end, or by Ctrl-C or SIGTERM
    bool follow;               // a watch: the end of its input is news
    uint64_t skipped_lines;    // lines that are not the monitor's, skipped
    long first_skipped_line;   // 0 if none
    bool fragment_first;       // line 1 was the rest of a line whose start is missing
    uint64_t nul_bytes;        // NUL bytes passed over where lines begin
};

// How the input ended, in words: "end of input", "Ctrl-C" or "SIGTERM".
const char* end_words(input_end ended);

void print_summary(FILE* out, const run_fold* fold, const log_facts& facts);
// Pretty: a member a line; otherwise the whole document on one line.
void print_json(FILE* out, const run_fold* fold, const log_facts& facts, bool pretty);
