// The fleet as one page that needs nothing else: a lane a host, worst first, time
// across, each cell the worst gap of its stretch on the colours of the single host's
// page; the hosts' clock steps marked; the shared moments as bands across every lane,
// and listed below with their causes; the hosts named in lanes with their chief cause. At most
// fleet_columns columns, and lanes that thin as hosts grow (the names then go in a list beside
// them), so that the page stays small.
#pragma once

#include <cstddef>
#include <vector>

#include "report/fleet/shared_moments.h"
#include "report/fold/fleet_host.h"

inline constexpr int fleet_columns = 240;

// How the read ended: at every input's end, or cut by a signal, and how many hosts it
// kept from being read.
struct fleet_page_end {
    input_end ended;
    size_t not_started;
};

// Writes the page whole (a part beside it, then a move). False with the reason if not.
bool write_fleet_page(const char* path, const std::vector<const fleet_host*>& hosts,
                      const std::vector<shared_moment>& moments, const fleet_page_end& end,
                      char* reason, size_t reason_size);
