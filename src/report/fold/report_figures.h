// Everything the outputs read once the input has ended: the fold's figures, the picture's
// grid, the stall rule in force and what is known of the log itself.
#pragma once

#include "report/events/row_events.h"
#include "report/fold/heat_grid.h"
#include "report/fold/run_fold.h"
#include "report/input/log_facts.h"

struct report_figures {
    const run_fold* fold;
    const heat_grid* grid;
    const stall_rule* rule;
    const log_facts* facts;
};
