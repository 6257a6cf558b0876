// --csv: the rows of the window, one a line under one clean header, with their run, their
// line in the log and an ISO 8601 UTC time.
#pragma once

#include <cstdint>
#include <cstdio>

#include "monitor/report_format.h"

struct csv_output {
    FILE* out;  // nullptr: off
};

// Writes the header.
void open_csv(csv_output* csv, FILE* out);
void csv_row(csv_output* csv, const report_row& row, long line, int32_t run);
