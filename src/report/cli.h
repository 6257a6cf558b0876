// The command line of clockgap-report: one table of options (options/option_table.h),
// read into the options record and checked as a whole before anything is read. Reading
// never ends the program; it returns the exit status of wrong usage (2) after saying
// why, with the usage.
#pragma once

#include <cstdio>

#include "report/options/report_options.h"

// Returns 0, or 2 after saying on standard error what is wrong, with the usage.
int read_options(int argc, char** argv, report_options* o);

void print_usage(FILE* out);
// The version and the build: compiler and platform.
void print_version(FILE* out);
