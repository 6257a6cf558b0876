// The summary of a folded log, as text for a person or as one JSON document for scripts.
// Both print the same figures from the same fold and fold_reading. The text goes to a
// FILE or into a string (the page takes it so).
#pragma once

#include <cstdio>

#include "report/fold/report_figures.h"
#include "report/util/text_out.h"

void print_summary(text_out* out, const report_figures& figures);
// Pretty: a member a line; otherwise the whole document on one line.
void print_json(FILE* out, const report_figures& figures, bool pretty);
