// A row of the window as the pipeline hands it to every sink once: the row, its events
// (classified once, by row_events.h) and the cause figures taken over its time. A sink
// takes these rows, then, at the end, the figures and the facts of the whole input
// (fold/report_figures.h): the outputs of a report, and a host of a fleet.
#pragma once

#include "report/causes/cause_rules.h"
#include "report/events/row_events.h"
#include "report/input/input_stage.h"

struct classified_row {
    window_row in;
    row_events events;
    cause_figures figures;  // over its time, live; none when it was not read live
    bool more_waiting;      // the input already holds the next line
};
