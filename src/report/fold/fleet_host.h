// One host of a fleet: read by the same pipeline as a report of its own, its figures
// taken from the same fold, and its events kept as stretches of seconds (one for a
// stall every second of a day), never its rows. The shared moments and the lanes of
// the page are made from these records once every host is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/events/classified_row.h"
#include "report/events/row_events.h"
#include "report/fold/report_figures.h"
#include "report/fold/run_fold.h"
#include "report/input/input_stage.h"

// The kinds of event that hosts can share.
enum class fleet_kind : uint8_t { stall, clock_set_back, gap_above_5s, no_rows };
inline constexpr int fleet_kinds = 4;
const char* fleet_kind_name(fleet_kind kind);

// A row with an event of one kind, at its second (Unix s, by the host's own row time):
// its largest gap (or step back, or time without rows) and its cause. A shared moment
// counts exactly the rows of its own seconds.
struct event_second {
    int64_t s;
    int64_t gap_ns;
    cause_kind cause;
};

struct fleet_host {
    std::string name;
    std::vector<std::string> inputs;  // its files and folders
    bool read;                        // read, whole or cut; false: named and left out
    bool started;                     // its read began (a Ctrl-C may come before)
    input_end ended;                  // how its read ended: at its end, or cut by a signal
    // Its figures, as its own report gives them.
    uint64_t rows;
    int32_t runs;
    uint64_t stall_rows;
    uint64_t causes[cause_kinds];
    culprit_tally culprits[3];  // who took its CPU in most stall rows, most first
    int culprit_count;
    int64_t largest_gap_ns, largest_gap_ms;         // and when (Unix ms)
    uint64_t steps_back, gaps_above_5s, silences;   // rows with such an event
    int64_t first_ms, last_ms;                      // its first and last row
    std::vector<event_second> events[fleet_kinds];  // in the order of its rows
    // Its lane: the worst gap of each column of its own picture's grid.
    int64_t column_ms, first_column;
    std::vector<int64_t> worst_ns;
};

// Whether the host's own rows show a clock step (a step back, or a gap above 5 s): its
// times may be off against the others'.
inline bool clock_stepped(const fleet_host& h) {
    return h.steps_back > 0 || h.gaps_above_5s > 0;
}

// The cause of most of the host's stall rows; nullptr without any.
const char* chief_cause(const fleet_host& h);

// A row of the window and its events, as the pipeline hands them to every sink.
void fold_fleet_host(fleet_host* host, const classified_row& row);
// The host's figures once its input has ended. Returns 0, or 1 (said) when it holds no
// row of clockgap's.
int finish_fleet_host(fleet_host* host, const report_figures& figures);
