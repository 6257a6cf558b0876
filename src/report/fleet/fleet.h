// clockgap-report --fleet: each INPUT one host, read by the report's own pipeline on its
// own (as many at once as there are CPUs), then set side by side: a table of the hosts,
// worst first, and the moments they shared (shared_moments.h), as text, --json, and a
// page of lanes with --html.
#pragma once

#include "report/options/report_options.h"

// Returns the exit status: 0; 1 when a host could not be read (the others are
// reported); 2 wrong usage.
int run_fleet(const report_options& o);
