// The moments hosts shared. A second is shared for a kind of event when at least two
// hosts, and at least a quarter of the hosts that have rows then (their first row at or
// before it, their last at or after it), have an event of that kind in it or in the
// second after it, by their own row times: events within a second of each other.
// Consecutive shared seconds of a kind make one moment. This takes the hosts' clocks
// to agree within a second.
#pragma once

#include <cstdint>
#include <vector>

#include "report/fold/fleet_host.h"

struct shared_moment {
    fleet_kind kind;
    int64_t first_s, last_s;       // Unix s
    std::vector<int> hosts;        // indices into the hosts given, by name (natural_order.h)
    int of;                        // hosts with rows at its start
    int64_t largest_gap_ns;        // of the hosts' rows in its seconds
    uint32_t causes[cause_kinds];  // the hosts' rows in its seconds, by cause
};

// Whether `h` has rows at Unix second `s`: its first row at or before it, its last at or
// after it.
bool has_rows_at(const fleet_host& h, int64_t s);

// The shared moments of `hosts`, in time order (by start, then kind).
std::vector<shared_moment> find_shared_moments(const std::vector<const fleet_host*>& hosts);
