// The report's one pipeline: lines -> rows -> one reading of each row's events -> the
// outputs. It owns the loop over the input's lines: each line is read once; a row goes
// to the day log, the silence timer and the input stage; a row of the window is
// classified once and then handed, with its events, to the folds and the outputs.
#pragma once

#include "report/cli.h"

// Runs the whole report the options ask for; returns the exit status.
int run_report(const report_options& o);
