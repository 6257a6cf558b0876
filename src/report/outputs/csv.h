// --csv: the rows of the window, one a line under one clean header, with their run, their
// line in the log and an ISO 8601 UTC time.
#pragma once

#include "report/input/log_facts.h"

#include <cstdint>
#include <cstdio>

#include "monitor/report_format.h"

struct csv_output {
    FILE* out;  // nullptr: off
};

// Writes the header.
// `several`: several files are read, and each row names its file (a column "file"
// before "line", the line counted within the file).
void open_csv(csv_output* csv, FILE* out, bool several);
void csv_row(csv_output* csv, const report_row& row, line_place at, int32_t run);
