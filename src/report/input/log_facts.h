// What is known of the log itself, besides its rows: its name, the lines read and those
// skipped, how it ended. The input stage and the bad-line notes fill it; the summary, the
// JSON and the page say it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/input/input_stage.h"
#include "report/os/input.h"

struct log_facts {
    const char* name;          // the input as a whole: a file, a folder, "standard input"
    const char* file;          // the file being read, named in notes on its lines
    long lines;                // lines read (of the files before the one being read, while it is)
    long cut_short_line;       // the last line, cut short and skipped; 0 if none
    const input_stage* input;  // the runs' starts, the window and the rows outside it
    input_end ended;           // at its end, or by Ctrl-C or SIGTERM
    bool follow;               // a watch: the end of its input is news
    uint64_t skipped_lines;    // lines that are not the monitor's, skipped
    long first_skipped_line;   // 0 if none
    bool fragment_first;       // line 1 was the rest of a line whose start is missing
    uint64_t nul_bytes;        // NUL bytes passed over where lines begin
    long days_not_read;        // day files of a folder wholly outside the window
    bool not_a_log_said;       // the note that the file is no log at all was given
    // Several inputs, or a folder: a line is named with its file and counted within it.
    bool several_files;
    struct file_span {
        long first_line;  // the first line of the file, as the lines of all are counted
        std::string name;
    };
    std::vector<file_span> files;  // in the order read
};

// Where the line `line` (counted over all the files read) is: its file (nullptr with one
// input) and its line there, as an editor counts it.
struct line_place {
    const char* file;
    long line;
};
line_place place_of(const log_facts& facts, long line);
// "line 11", or with several files "logs/clockgap-2026-12-04.log.gz line 4", into
// `text` (at most `size` - 1 characters).
const char* place_words(const log_facts& facts, long line, char* text, size_t size);

// How the input ended, in words: "end of input", "Ctrl-C" or "SIGTERM".
const char* end_words(input_end ended);
