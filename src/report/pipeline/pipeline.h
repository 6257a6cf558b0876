// The report's one pipeline: lines -> rows -> one reading of each row's events (and,
// live, their causes) -> the sink. It owns the loop over the input's lines: each line is
// read once; a row goes to the day log, the silence timer and the input stage; a row of
// the window is classified once and then handed to the folds and to the sink, which at
// the end takes the figures and the facts (how the input ended, what was skipped).
#pragma once

#include "report/fold/fleet_host.h"
#include "report/options/report_options.h"
#include "report/outputs/outputs.h"

// Where one pass's rows go: the outputs of a report of its own (opened by the caller), or
// one host of a fleet (nothing printed). Exactly one is set.
struct row_sink {
    outputs* out;
    fleet_host* host;
};

// Reads the inputs of `o` into `sink`; returns the exit status of the sink's finish, or
// of what ended the read.
int run_pipeline(const report_options& o, row_sink sink);

// The whole report the options ask for: its outputs opened, then read; the exit status.
int run_report(const report_options& o);
